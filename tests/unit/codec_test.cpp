#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/Events.h"

namespace parley {
namespace {

using namespace std::string_literals;

std::string U64(uint64_t v) {
  std::string s;
  wire::PutU64(s, v);
  return s;
}
std::string Str(const std::string& s) { return U64(s.size()) + s; }
std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string h;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    h += d[c >> 4];
    h += d[c & 15];
  }
  return h;
}

TEST(Codec, Strings) {
  struct Case {
    const char* name;
    std::string field;
    size_t avail;  // bytes given to the decoder (from the front of `field`)
    bool ok;
    std::string value;
  } cases[] = {
      {"abc", Str("abc"), 11, true, "abc"},
      {"abc one byte short", Str("abc"), 10, false, ""},
      {"exact fit of an empty string", Str(""), 8, true, ""},
      {"zero bytes inside", Str("a\0b\0"s), 12, true, "a\0b\0"s},
      {"length with the top bit set", U64(1ull << 63) + "xyz", 11, false, ""},
      {"all-ones length", U64(~0ull) + "xyz", 11, false, ""},
  };
  for (const auto& c : cases) {
    auto [value, used] = ExtractString(c.field.data(), c.avail);
    EXPECT_EQ(used != kDecodeFail, c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(std::string(value), c.value) << c.name;
      EXPECT_EQ(used, c.value.size() + 8) << c.name;
    }
  }
  for (size_t n = 0; n < 8; ++n) {
    const std::string eight(8, '\0');
    EXPECT_EQ(ExtractString(eight.data(), n).second, kDecodeFail) << n;
    EXPECT_EQ(ExtractInt(eight.data(), n).second, kDecodeFail) << n;
    EXPECT_EQ(ExtractArr(eight.data(), n).second, kDecodeFail) << n;
  }
}

TEST(Codec, IntegersAndArrays) {
  const std::string forty_two = U64(42);
  EXPECT_EQ(ExtractInt(forty_two.data(), 8), (std::pair<size_t, size_t>{42, 8}));
  const std::string ones(8, '\xff');
  auto all = ExtractInt(ones.data(), 8);
  EXPECT_EQ(all.second, 8u);  // a valid value: the marker is only in the count
  EXPECT_EQ(static_cast<long long>(all.first), -1);

  const std::string two = U64(2) + U64(5) + U64(9);
  auto arr = ExtractArr(two.data(), two.size());
  EXPECT_EQ(arr.first, (std::vector<size_t>{5, 9}));
  EXPECT_EQ(arr.second, 24u);
  EXPECT_EQ(ExtractArr(two.data(), two.size() - 1).second, kDecodeFail);
  const std::string empty = U64(0);
  EXPECT_EQ(ExtractArr(empty.data(), 8), (std::pair<std::vector<size_t>, size_t>{{}, 8}));
  for (uint64_t huge : {3ull, 1ull << 61, 1ull << 63, ~0ull}) {
    const std::string f = U64(huge) + U64(1) + U64(2);
    EXPECT_EQ(ExtractArr(f.data(), f.size()).second, kDecodeFail) << huge;
  }
}

std::string Payload(uint64_t type, const std::string& body) { return U64(type) + body; }

TEST(Decoders, GoodShortAndTrailingPayloads) {
  const std::string id = U64(77);
  struct Case {
    uint64_t type;
    std::string body;  // the smallest good body
  } kinds[] = {
      {EV_REGISTER, Str("u")},
      {EV_CREATECHAT, Str("u") + Str("c")},
      {EV_JOINCHAT, Str("u") + Str("c")},
      {EV_SENGMSG, Str("u") + Str("c") + Str("hi")},
      {EV_EDITMSG, Str("u") + Str("c") + id + Str("hi")},
      {EV_DELETEMSG, Str("u") + Str("c") + id},
      {EV_FORWARDMSG, Str("u") + Str("c") + Str("d") + id},
      {EV_GETMSG, Str("c") + id},
      {EV_GETCHAT, Str("c")},
  };
  for (const auto& k : kinds) {
    const std::string good = Payload(k.type, k.body);
    auto ev = DecodeRequest(good.data(), good.size());
    ASSERT_TRUE(ev) << k.type;
    EXPECT_EQ(ev->GetType(), k.type);
    const std::string trailing = good + "trailing bytes";
    EXPECT_TRUE(DecodeRequest(trailing.data(), trailing.size())) << k.type;
    // Every proper prefix of the body is a payload cut mid-field.
    for (size_t cut = 0; cut < k.body.size(); ++cut) {
      const std::string shorter = Payload(k.type, k.body.substr(0, cut));
      EXPECT_FALSE(DecodeRequest(shorter.data(), shorter.size())) << k.type << " cut at " << cut;
    }
  }
}

TEST(Decoders, RejectShortPayloadsAndUnknownCodes) {
  for (size_t n = 0; n < 8; ++n) {
    const std::string p(n, '\0');
    EXPECT_FALSE(DecodeRequest(p.data(), p.size())) << n;
  }
  for (uint64_t code : {9ull, 10ull, 1ull << 63, ~0ull}) {
    const std::string p = Payload(code, Str("x") + Str("y") + Str("z") + U64(1));
    EXPECT_FALSE(DecodeRequest(p.data(), p.size())) << code;
  }
}

TEST(Decoders, NamesStopAtZeroBodiesDoNot) {
  const std::string p = Payload(EV_SENGMSG, Str("abc\0x"s) + Str("ch\0at"s) + Str("b\0dy"s));
  auto ev = DecodeRequest(p.data(), p.size());
  auto* send = dynamic_cast<SendMsg*>(ev.get());
  ASSERT_NE(send, nullptr);
  EXPECT_EQ(send->username, "abc");
  EXPECT_EQ(send->chatname, "ch");
  EXPECT_EQ(send->data, "b\0dy"s);

  const std::string f = Payload(EV_FORWARDMSG, Str("u") + Str("a") + Str("b") + std::string(8, '\xff'));
  auto* fwd = dynamic_cast<ForwardMsg*>(DecodeRequest(f.data(), f.size()).get());
  ASSERT_NE(fwd, nullptr);
  EXPECT_EQ(fwd->newchat, "b");
  EXPECT_EQ(fwd->id, -1);
}

// Exposes the reply encoders.
struct Encoder : Event {
  explicit Encoder(uint64_t code, std::string* buffer) {
    SetType(code);
    SetOutput(buffer);
  }
  using Event::SendData;
  using Event::SendMessage;
  using Event::SendVector;
};

TEST(Replies, EncodeByteForByte) {
  struct Case {
    const char* name;
    std::string got;
    std::string want_hex;
  };
  auto encode = [](uint64_t type, auto&& f) {
    std::string out;
    Encoder e(type, &out);
    f(e);
    return out;
  };
  Case cases[] = {
      {"ok to register (22 bytes)", encode(0, [](Encoder& e) { e.SendData("ok", 2); }),
       "12000000" "0000000000000000" "0200000000000000" "6f6b"},
      {"no to a list request", encode(8, [](Encoder& e) { e.SendData("no", 2); }),
       "12000000" "0800000000000000" "0200000000000000" "6e6f"},
      {"empty list (20 bytes)", encode(8, [](Encoder& e) { e.SendVector({}); }),
       "10000000" "0800000000000000" "0000000000000000"},
      {"two ids (36 bytes)", encode(8, [](Encoder& e) { e.SendVector({1, -2}); }),
       "20000000" "0800000000000000" "0200000000000000" "0100000000000000" "feffffffffffffff"},
      {"message from abc saying hi (33 bytes)",
       encode(7, [](Encoder& e) { e.SendMessage(MessageView{5, "abc", "hi"}); }),
       "1d000000" "0700000000000000" "0300000000000000" "616263" "0200000000000000" "6869"},
      {"empty sender, body with a zero byte",
       encode(7, [](Encoder& e) { e.SendMessage(MessageView{5, "", "a\0"s}); }),
       "1a000000" "0700000000000000" "0000000000000000" "0200000000000000" "6100"},
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(c.got), c.want_hex) << c.name;
  std::string three;
  Encoder(8, &three).SendVector({1, 2, 3});
  EXPECT_EQ(three.size(), 44u);
}

}  // namespace
}  // namespace parley
