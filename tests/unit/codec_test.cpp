// Request decoding by kind. (The field codec and every decoder are also
// checked against an independent decoder by the fuzz_decode corpus replay.)
#include <gtest/gtest.h>

#include <string>

#include "Frames.h"
#include "protocol/Events.h"

namespace parley {
namespace {

using namespace test;

// Each kind decodes from its fields, with bytes after them ignored, and from
// no proper prefix of them. Every prefix gets a buffer of its own size, so
// that a sanitized build catches a read past it.
TEST(Decoders, NeedEveryFieldWholeAndIgnoreTrailingBytes) {
  for (const std::string& frame : {Register("u"), CreateChatReq("u", "c"), JoinChatReq("u", "c"), SendReq("u", "c", "hi"),
                                   EditReq("u", "c", 77, "hi"), DeleteReq("u", "c", 77), ForwardReq("u", "c", "d", 77),
                                   GetMsgReq("c", 77), GetChatReq("c")}) {
    const std::string good = frame.substr(4), trailing = good + "trailing bytes";
    const uint64_t type = wire::LoadU64(good.data());
    auto ev = DecodeRequest(good.data(), good.size());
    ASSERT_TRUE(ev) << type;
    EXPECT_EQ(ev->GetType(), type);
    EXPECT_TRUE(DecodeRequest(trailing.data(), trailing.size())) << type;
    for (size_t cut = 0; cut < good.size(); ++cut) {
      const std::string shorter = good.substr(0, cut);
      EXPECT_FALSE(DecodeRequest(shorter.data(), shorter.size())) << type << " cut at " << cut;
    }
  }
  for (uint64_t code : {9ull, 10ull, 1ull << 63, ~0ull}) {
    const std::string p = BuildFrame(code, "x", "y", "z", 1).substr(4);
    EXPECT_FALSE(DecodeRequest(p.data(), p.size())) << code;
  }
}

}  // namespace
}  // namespace parley
