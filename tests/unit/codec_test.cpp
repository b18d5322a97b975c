// Request decoding by kind (and against a reference decoder: fuzz_decode).
#include <gtest/gtest.h>

#include <string>

#include "Frames.h"
#include "protocol/Events.h"

namespace parley {
namespace {

using namespace test;

// Each kind decodes from its fields, trailing bytes ignored, and from no proper prefix of them.
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
}

}  // namespace
}  // namespace parley
