// Every request kind over a real socket, byte for byte.
#include <gtest/gtest.h>

#include <set>

#include "ServerProcess.h"
#include "TestClient.h"

namespace parley::test {
namespace {

using namespace std::string_literals;

class Protocol : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    srv_ = new ServerProcess();
    ASSERT_TRUE(srv_->Start()) << srv_->Stderr();
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(srv_->Stop(SIGTERM), 0);
    delete srv_;
    srv_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(c.Connect(srv_->port())); }

  // Names unique to this test, so tests sharing the server do not collide.
  std::string N(const std::string& base) {
    return base + "." + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  // Sends and returns the raw bytes of one reply frame.
  std::string Raw(const std::string& request) {
    EXPECT_TRUE(c.Send(request));
    auto f = c.Read();
    return f ? f->raw : "<no reply>";
  }
  int64_t LastId(const std::string& chat) {
    auto ids = c.List(chat);
    return ids && !ids->empty() ? ids->back() : -1;
  }

  static ServerProcess* srv_;
  TestClient c;
};
ServerProcess* Protocol::srv_ = nullptr;

TEST_F(Protocol, StatusRepliesAreExactly22Bytes) {
  const std::string u = N("abc");
  EXPECT_EQ(Raw(Register(u)), "\x12\0\0\0\0\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0ok"s);
  EXPECT_EQ(Raw(Register(u)), "\x12\0\0\0\0\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0no"s);
  EXPECT_EQ(Raw(SendReq(N("ghost"), N("c"), "x")), "\x12\0\0\0\x03\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0no"s);
  EXPECT_EQ(Raw(GetChatReq(N("none"))), "\x12\0\0\0\x08\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0no"s);
  EXPECT_TRUE(c.Silent());  // a refused list is one frame
}

TEST_F(Protocol, ListAndFetchSendTwoFrames) {
  const std::string u = N("abc"), chat = N("c1");
  ASSERT_EQ(c.Status(Register(u)), true);
  ASSERT_EQ(c.Status(CreateChatReq(u, chat)), true);
  EXPECT_EQ(Raw(GetChatReq(chat)), StatusFrame(8, true));
  EXPECT_EQ(c.Read()->raw, "\x10\0\0\0\x08\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"s);  // 20-byte empty list

  ASSERT_EQ(c.Status(SendReq(u, chat, "hi")), true);
  ASSERT_EQ(c.Status(SendReq(u, chat, "b\0dy"s)), true);
  EXPECT_EQ(Raw(GetChatReq(chat)), StatusFrame(8, true));
  auto list = c.Read();
  ASSERT_TRUE(list);
  ASSERT_EQ(list->raw.size(), 36u);
  EXPECT_EQ(list->raw.substr(0, 20), "\x20\0\0\0\x08\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0"s);
  auto ids = wire::BodyReader(list->body).IdList();
  ASSERT_TRUE(ids && ids->size() == 2);
  EXPECT_NE((*ids)[0], (*ids)[1]);
  for (int64_t id : *ids) EXPECT_GE(id, 0);

  // Sender then body, no id; names sent with the request's exact bytes.
  std::string want_msg = "\x1d\0\0\0\x07\0\0\0\0\0\0\0"s;
  wire::PutString(want_msg, u);
  wire::PutString(want_msg, "hi");
  want_msg[0] = static_cast<char>(want_msg.size() - 4);
  EXPECT_EQ(Raw(GetMsgReq(chat, (*ids)[0])), StatusFrame(7, true));
  EXPECT_EQ(c.Read()->raw, want_msg);
  EXPECT_EQ(c.Fetch(chat, (*ids)[1]), std::make_pair(u, "b\0dy"s));
}

TEST_F(Protocol, EveryKindsRefusals) {
  const std::string a = N("a"), b = N("b"), out = N("out"), room = N("room"), far = N("far");
  for (const auto& u : {a, b, out}) ASSERT_EQ(c.Status(Register(u)), true);
  ASSERT_EQ(c.Status(CreateChatReq(a, room)), true);
  ASSERT_EQ(c.Status(CreateChatReq(out, far)), true);
  ASSERT_EQ(c.Status(JoinChatReq(b, room)), true);
  ASSERT_EQ(c.Status(SendReq(a, room, "first")), true);
  const int64_t mine = LastId(room);
  ASSERT_GE(mine, 0);

  struct Case {
    const char* what;
    std::string request;
    bool ok;
  } cases[] = {
      {"register twice", Register(a), false},
      {"register a name that is cut at its zero byte", Register(a + "\0tail"s), false},
      {"create by an unknown user", CreateChatReq(N("ghost"), N("free")), false},
      {"create an existing chat", CreateChatReq(a, room), false},
      {"join by an existing member", JoinChatReq(a, room), true},
      {"join an unknown chat", JoinChatReq(a, N("nowhere")), false},
      {"send by a non-member", SendReq(out, room, "x"), false},
      {"send to an unknown chat", SendReq(a, N("nowhere"), "x"), false},
      {"edit someone else's message", EditReq(b, room, mine, "x"), false},
      {"edit an unknown id", EditReq(a, room, mine + 77, "x"), false},
      {"edit by a non-member", EditReq(out, room, mine, "x"), false},
      {"delete someone else's message", DeleteReq(b, room, mine), false},
      {"delete an unknown id", DeleteReq(a, room, mine + 77), false},
      {"forward into an unknown chat", ForwardReq(b, room, N("nowhere"), mine), false},
      {"forward into a chat the user is not in", ForwardReq(b, room, far, mine), false},
      {"forward an unknown id", ForwardReq(b, room, room, mine + 77), false},
      {"fetch from an unknown chat", GetMsgReq(N("nowhere"), mine), false},
      {"fetch an id of another chat", GetMsgReq(far, mine), false},
      {"send with trailing bytes", RawFrame(SendReq(b, room, "tb").substr(4) + "trailer"), true},
      {"forward by a member of the target", ForwardReq(b, room, room, mine), true},
      {"edit own message", EditReq(a, room, mine, "edited"), true},
  };
  for (const auto& cs : cases) EXPECT_EQ(c.Status(cs.request), cs.ok) << cs.what;
  EXPECT_TRUE(c.Silent());

  auto ids = c.List(room);
  ASSERT_TRUE(ids);
  ASSERT_EQ(ids->size(), 3u);
  EXPECT_EQ(c.Fetch(room, mine), std::make_pair(a, "edited"s));
  EXPECT_EQ(c.Fetch(room, (*ids)[2]), std::make_pair(b, "first"s));  // the forwarded copy

  // Delete, then everything about that id is refused.
  EXPECT_EQ(c.Status(DeleteReq(a, room, mine)), true);
  EXPECT_EQ(c.Status(DeleteReq(a, room, mine)), false);
  EXPECT_EQ(c.Status(GetMsgReq(room, mine)), false);
  EXPECT_EQ(c.Status(EditReq(a, room, mine, "again")), false);
  EXPECT_EQ(c.Status(ForwardReq(b, room, room, mine)), false);
  EXPECT_EQ(c.List(room)->size(), 2u);
}

TEST_F(Protocol, TrailingBytesAreIgnoredAndCutFieldsDropped) {
  const std::string u = N("t");
  std::string payload;
  wire::PutU64(payload, wire::EV_REGISTER);
  wire::PutString(payload, u);
  EXPECT_EQ(c.Status(RawFrame(payload + "extra bytes")), true);
  // Cut inside the name: no reply at all, then the next request is served.
  ASSERT_TRUE(c.Send(RawFrame(payload.substr(0, payload.size() - 1))));
  EXPECT_TRUE(c.Silent());
  EXPECT_EQ(c.Status(Register(u)), false);
}

// More requests than the network thread runs itself in one pass: the rest go
// to the event threads, and the replies must still come back in order.
TEST_F(Protocol, PipelinedDependentRequestsAreAnsweredInOrder) {
  const std::string u = N("p"), chat = N("pc");
  constexpr int kSends = 700;
  std::string batch = Register(u) + CreateChatReq(u, chat);
  for (int i = 0; i < kSends; ++i) batch += SendReq(u, chat, "m" + std::to_string(i));
  batch += GetChatReq(chat);
  ASSERT_TRUE(c.Send(batch));
  for (int i = 0; i < kSends + 2; ++i) {
    auto f = c.Read();
    ASSERT_TRUE(f) << i;
    EXPECT_EQ(f->raw, StatusFrame(i == 0 ? 0 : i == 1 ? 1 : 3, true)) << i;
  }
  EXPECT_EQ(c.ReadStatus(), true);
  auto list = c.Read();
  ASSERT_TRUE(list);
  auto ids = wire::BodyReader(list->body).IdList();
  ASSERT_TRUE(ids);
  ASSERT_EQ(ids->size(), static_cast<size_t>(kSends));
  std::string fetches;
  for (int64_t id : *ids) fetches += GetMsgReq(chat, id);
  ASSERT_TRUE(c.Send(fetches));
  for (int i = 0; i < kSends; ++i) {
    ASSERT_EQ(c.ReadStatus(), true);
    auto m = c.Read();
    ASSERT_TRUE(m);
    wire::BodyReader r(m->body);
    EXPECT_EQ(r.String(), std::string_view(u));
    EXPECT_EQ(r.String(), "m" + std::to_string(i));
  }
}

TEST_F(Protocol, LargestBodyWorksEndToEnd) {
  const std::string u = N("big"), chat = N("bc");
  ASSERT_EQ(c.Status(Register(u)), true);
  ASSERT_EQ(c.Status(CreateChatReq(u, chat)), true);
  std::string body(3200 - 32 - u.size() - chat.size(), '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31);
  const std::string req = SendReq(u, chat, body);
  ASSERT_EQ(req.size(), 3204u);
  ASSERT_EQ(c.Status(req), true);
  ASSERT_TRUE(c.Send(SendReq(u, chat, body + "x")));
  EXPECT_TRUE(c.Silent()) << "a 3201-byte payload must be dropped";
  EXPECT_EQ(c.Fetch(chat, LastId(chat)), std::make_pair(u, body));
}

}  // namespace
}  // namespace parley::test
