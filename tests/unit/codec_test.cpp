// Request decoding by kind (and against a reference decoder: fuzz_decode).
#include <gtest/gtest.h>

#include <string>

#include "Frames.h"
#include "protocol/Events.h"
#include "protocol/RequestBlocks.h"

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

// The look-ahead's view of a payload: the name a registration's request would
// register (the decoder's own, cut at a zero byte), and nothing for any other
// kind or for a payload its request would not decode from.
TEST(Decoders, RegisteredNameIsTheNameTheRequestRegisters) {
  for (const std::string& frame : {Register("ann"), Register(std::string("b\0hidden", 8)), Register(""),
                                   CreateChatReq("ann", "c"), GetChatReq("ann"), SendReq("ann", "c", "hi")}) {
    const std::string payload = frame.substr(4);
    const auto ev = DecodeRequest(payload.data(), payload.size());
    ASSERT_TRUE(ev);
    const std::string_view want =
        ev->GetType() == EV_REGISTER ? static_cast<const RegisterAccount&>(*ev).username : std::string_view{};
    EXPECT_EQ(RegisteredName(payload.data(), payload.size()), want) << ev->GetType();
    for (size_t cut = 0; cut < payload.size(); ++cut)
      EXPECT_EQ(RegisteredName(payload.data(), cut), "") << ev->GetType() << " cut at " << cut;
  }
}

// Request blocks released on another thread come back through the shared
// pool; no block is ever handed out twice while held, and each holds the
// bytes asked for (small, exactly one block, larger).
TEST(RequestBlocks, NoBlockIsHeldTwiceAcrossThreads) {
  const size_t sizes[] = {1, request_blocks::kBlockBytes, request_blocks::kBlockBytes + 1, 4000};
  auto take_all = [&](std::vector<std::pair<char*, size_t>>& held) {
    for (size_t i = 0; i < 1000; ++i) {
      const size_t n = sizes[i % 4];
      char* p = request_blocks::Take(n);
      std::memset(p, static_cast<int>(i & 0xff), n);
      held.emplace_back(p, n);
    }
    std::set<char*> distinct;
    for (const auto& [p, n] : held) distinct.insert(p);
    EXPECT_EQ(distinct.size(), held.size());
  };
  std::vector<std::pair<char*, size_t>> first, second;
  take_all(first);
  std::thread([&] {
    for (const auto& [p, n] : first) request_blocks::Give(p, n);
  }).join();
  take_all(second);
  for (size_t i = 0; i < second.size(); ++i)
    for (size_t k = 0; k < second[i].second; k += 97) ASSERT_EQ(second[i].first[k], static_cast<char>(i & 0xff)) << i;
  for (const auto& [p, n] : second) request_blocks::Give(p, n);
}

}  // namespace
}  // namespace parley
