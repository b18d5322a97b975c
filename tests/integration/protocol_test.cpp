// Every request kind over a real socket, byte for byte, and the rules each
// one follows.
#include <gtest/gtest.h>
#include <signal.h>

#include "Peer.h"
#include "ServerProcess.h"

namespace parley::test {
namespace {

using namespace std::string_literals;
using namespace parley::wire;
using Message = std::pair<std::string, std::string>;  // sender, body

class Protocol : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    srv_ = new ServerProcess();
    ASSERT_TRUE(srv_->Start()) << srv_->Stderr();
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(srv_->Stop(SIGTERM), 0);
    delete srv_;
  }
  void SetUp() override { ASSERT_TRUE(c.Connect(srv_->port())); }

  // Names unique to this test, so tests sharing the server do not collide.
  static std::string N(const std::string& base) {
    return base + "." + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  // The raw bytes of the next reply frame; Raw(request) sends `request` first.
  std::string Next() {
    auto f = c.ReadFrame();
    return f ? f->raw : "<no reply>";
  }
  std::string Raw(const std::string& request) { return c.Send(request) ? Next() : "<not sent>"; }
  int64_t LastId(const std::string& chat) {
    auto ids = c.List(chat);
    return ids && !ids->empty() ? ids->back() : -1;
  }

  inline static ServerProcess* srv_ = nullptr;
  Peer c;
};

TEST_F(Protocol, StatusRepliesAreExactly22BytesAndARefusalIsOneFrame) {
  const std::string u = N("abc");
  EXPECT_EQ(Raw(Register(u)), "\x12\0\0\0\0\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0ok"s);
  EXPECT_EQ(Raw(Register(u)), "\x12\0\0\0\0\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0no"s);
  EXPECT_EQ(Raw(SendReq(N("ghost"), N("c"), "x")), "\x12\0\0\0\x03\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0no"s);
  EXPECT_EQ(Raw(GetChatReq(N("none"))), "\x12\0\0\0\x08\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0no"s);
  EXPECT_EQ(Raw(GetMsgReq(N("none"), 0)), "\x12\0\0\0\x07\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0no"s);
  EXPECT_TRUE(c.Quiet());
}

TEST_F(Protocol, ListAndFetchSendTwoFrames) {
  const std::string u = N("abc"), chat = N("c1");
  ASSERT_EQ(c.Status(Register(u)), true);
  ASSERT_EQ(c.Status(CreateChatReq(u, chat)), true);
  EXPECT_EQ(Raw(GetChatReq(chat)), StatusFrame(EV_GETCHAT, true));
  EXPECT_EQ(Next(), "\x10\0\0\0\x08\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"s);  // the empty list, 20 bytes

  for (const std::string& body : {"hi"s, ""s, "b\0dy"s}) ASSERT_EQ(c.Status(SendReq(u, chat, body)), true);
  EXPECT_EQ(Raw(GetChatReq(chat)), StatusFrame(EV_GETCHAT, true));
  auto list = c.ReadFrame();
  ASSERT_TRUE(list);
  ASSERT_EQ(list->raw.size(), 44u);
  EXPECT_EQ(list->raw.substr(0, 20), "\x28\0\0\0\x08\0\0\0\0\0\0\0\x03\0\0\0\0\0\0\0"s);
  auto ids = BodyReader(list->body).IdList();
  ASSERT_TRUE(ids && ids->size() == 3);
  EXPECT_EQ(list->raw, ListFrame(*ids));
  EXPECT_TRUE((*ids)[0] >= 0 && (*ids)[0] != (*ids)[1] && (*ids)[1] != (*ids)[2] && (*ids)[0] != (*ids)[2]);

  // Sender then body, no id; the sender's name as registered.
  std::string want = "?\0\0\0\x07\0\0\0\0\0\0\0"s + char(u.size()) + "\0\0\0\0\0\0\0"s + u + "\x02\0\0\0\0\0\0\0hi"s;
  want[0] = static_cast<char>(want.size() - 4);
  EXPECT_EQ(Raw(GetMsgReq(chat, (*ids)[0])), StatusFrame(EV_GETMSG, true));
  EXPECT_EQ(Next(), want);
  EXPECT_EQ(c.Fetch(chat, (*ids)[1]), Message(u, ""));
  EXPECT_EQ(c.Fetch(chat, (*ids)[2]), Message(u, "b\0dy"s));
  // A message with an empty body is deleted like any other.
  EXPECT_EQ(c.Status(DeleteReq(u, chat, (*ids)[1])), true);
  EXPECT_EQ(c.List(chat), (std::vector<int64_t>{(*ids)[0], (*ids)[2]}));
}

TEST_F(Protocol, EveryKindFollowsItsRules) {
  const std::string a = N("a"), b = N("b"), out = N("out"), room = N("room"), far = N("far"), ghost = N("ghost");
  const std::string nowhere = N("nowhere"), free = N("free"), side = N("side");
  for (const auto& u : {a, b, out}) ASSERT_EQ(c.Status(Register(u)), true);
  ASSERT_EQ(c.Status(CreateChatReq(a, room)), true);
  ASSERT_EQ(c.Status(CreateChatReq(out, far)), true);
  ASSERT_EQ(c.Status(JoinChatReq(b, room)), true);
  ASSERT_EQ(c.Status(SendReq(a, room, "first")), true);
  const int64_t mine = LastId(room);
  ASSERT_EQ(c.Status(CreateChatReq(a, side)), true);
  ASSERT_EQ(c.Status(SendReq(a, side, "aside")), true);
  const int64_t aside = LastId(side);  // a's own message, in another chat
  ASSERT_GE(mine, 0);
  ASSERT_GE(aside, 0);

  struct Case {
    const char* what;
    std::string request;
    bool ok;
  } cases[] = {
      {"register twice", Register(a), false},
      {"register a name that is cut at its zero byte to a taken one", Register(a + "\0tail"s), false},
      {"register a name differing in case", Register(N("A")), true},
      {"register a name differing by a trailing space", Register(a + " "), true},
      {"register the empty name", Register(""), true},
      {"register the empty name again", Register(""), false},
      {"join as the empty name", JoinChatReq("", room), true},
      {"send as the empty name", SendReq("", room, "a\0"s), true},
      {"create by an unknown user", CreateChatReq(ghost, free), false},
      {"create an existing chat, even by its creator", CreateChatReq(a, room), false},
      {"create a chat differing in case", CreateChatReq(a, N("Room")), true},
      {"join by an existing member", JoinChatReq(a, room), true},
      {"join an unknown chat", JoinChatReq(a, nowhere), false},
      {"join by an unknown user", JoinChatReq(ghost, room), false},
      {"send by a non-member", SendReq(out, room, "x"), false},
      {"send by an unknown user", SendReq(ghost, room, "x"), false},
      {"send to an unknown chat", SendReq(a, nowhere, "x"), false},
      {"edit someone else's message", EditReq(b, room, mine, "x"), false},
      {"edit an unknown id", EditReq(a, room, mine + 77, "x"), false},
      {"edit an id of another chat", EditReq(a, room, aside, "x"), false},
      {"edit by a non-member", EditReq(out, room, mine, "x"), false},
      {"delete someone else's message", DeleteReq(b, room, mine), false},
      {"delete an unknown id", DeleteReq(a, room, mine + 77), false},
      {"delete in an unknown chat", DeleteReq(a, nowhere, mine), false},
      {"delete an id of another chat", DeleteReq(a, room, aside), false},
      {"forward into an unknown chat", ForwardReq(b, room, nowhere, mine), false},
      {"forward into a chat the user is not in", ForwardReq(b, room, far, mine), false},
      {"forward an unknown id", ForwardReq(b, room, room, mine + 77), false},
      {"forward from an unknown chat", ForwardReq(b, nowhere, room, mine), false},
      {"forward by an unknown user", ForwardReq(ghost, room, room, mine), false},
      {"fetch from an unknown chat", GetMsgReq(nowhere, mine), false},
      {"fetch an id of another chat", GetMsgReq(far, mine), false},
      {"send with trailing bytes", RawFrame(SendReq(b, room, "tb").substr(4) + "trailer"), true},
      {"forward by a member of the target", ForwardReq(b, room, room, mine), true},
      {"forward from a chat the user is not in", ForwardReq(out, room, far, mine), true},
      {"create the chat a refused create named", CreateChatReq(a, free), true},
      {"edit own message", EditReq(a, room, mine, "edited"), true},
  };
  for (const auto& cs : cases) EXPECT_EQ(c.Status(cs.request), cs.ok) << cs.what;
  EXPECT_TRUE(c.Quiet());

  // The copies have the forwarder as their sender and ids of their own; the
  // edit changed only the original.
  auto ids = c.List(room);
  ASSERT_TRUE(ids && ids->size() == 4);
  EXPECT_EQ((*ids)[0], mine);
  EXPECT_EQ(c.Fetch(room, mine), Message(a, "edited"));
  EXPECT_EQ(c.Fetch(room, (*ids)[1]), Message("", "a\0"s));
  EXPECT_EQ(c.Fetch(room, (*ids)[2]), Message(b, "tb"));
  EXPECT_EQ(c.Fetch(room, (*ids)[3]), Message(b, "first"));
  const int64_t copy = LastId(far);
  EXPECT_NE(copy, mine);
  EXPECT_EQ(c.Fetch(far, copy), Message(out, "first"));
  EXPECT_EQ(c.Status(DeleteReq(out, far, copy)), true);  // the forwarder may delete its copy

  // Deleted, everything about that id is refused.
  EXPECT_EQ(c.Status(DeleteReq(a, room, mine)), true);
  for (const std::string& r : {DeleteReq(a, room, mine), GetMsgReq(room, mine), EditReq(a, room, mine, "again"),
                               ForwardReq(b, room, room, mine)})
    EXPECT_EQ(c.Status(r), false);
  EXPECT_EQ(c.List(room), (std::vector<int64_t>{(*ids)[1], (*ids)[2], (*ids)[3]}));
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
  ASSERT_FALSE(c.Expect(OksFor(batch)));
  auto list = c.ReadFrame();
  ASSERT_TRUE(list);
  auto ids = BodyReader(list->body).IdList();
  ASSERT_TRUE(ids);
  ASSERT_EQ(ids->size(), static_cast<size_t>(kSends));
  std::string fetches, expect;
  for (int i = 0; i < kSends; ++i) {
    fetches += GetMsgReq(chat, (*ids)[static_cast<size_t>(i)]);
    expect += StatusFrame(EV_GETMSG, true) + MessageFrame(u, "m" + std::to_string(i));
  }
  ASSERT_TRUE(c.Send(fetches));
  EXPECT_FALSE(c.Expect(expect));
}

}  // namespace
}  // namespace parley::test
