// The client library against the real server and against broken stand-ins.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "FakeServer.h"
#include "Frames.h"
#include "ServerProcess.h"
#include "parley/Client.h"

namespace parley {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::BuildFrame;
using test::RawBytes;
using test::Unique;

class ClientTest : public test::SharedServerTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client_.Connect("127.0.0.1", static_cast<uint16_t>(port()))) << "port " << port();
    client_.set_timeout(10s);
  }

  Client client_;
};

// Every call does what it says, byte for byte; a "no" is kRefused and leaves the connection usable.
TEST_F(ClientTest, EveryCallTakesEffectOrReportsARefusal) {
  const std::string alice = Unique("alice"), bob = Unique("bob"), room = Unique("room"), other = Unique("other");
  auto& c = client_;
  ASSERT_TRUE(c.Register(alice) && c.Register(bob) && c.CreateChat(alice, room) && c.CreateChat(bob, other));
  const std::string body = "zero\0byte \xff\xfe and \n newline"s;
  ASSERT_TRUE(c.Send(alice, room, body) && c.JoinChat(bob, room) && c.Send(bob, room, ""));
  auto ids = c.List(room);
  ASSERT_TRUE(ids) << ids.error;
  ASSERT_EQ(ids.value.size(), 2u);
  const MessageId first = ids.value[0], empty = ids.value[1];
  auto m = c.Fetch(room, first);
  EXPECT_TRUE(m && m.value.sender == alice && m.value.body == body) << m.error;
  m = c.Fetch(room, empty);
  EXPECT_TRUE(m && m.value.sender == bob && m.value.body.empty()) << m.error;

  ASSERT_TRUE(c.Edit(alice, room, first, "edited"));
  EXPECT_EQ(c.Fetch(room, first).value.body, "edited");
  ASSERT_TRUE(c.Forward(bob, room, other, first));
  auto copies = c.List(other);
  ASSERT_TRUE(copies && copies.value.size() == 1u);
  m = c.Fetch(other, copies.value[0]);
  EXPECT_TRUE(m && m.value.sender == bob && m.value.body == "edited");
  ASSERT_TRUE(c.Delete(bob, room, empty));
  EXPECT_EQ(c.List(room).value, std::vector<MessageId>{first});

  const std::string nowhere = Unique("nowhere");
  auto status_of = [](const auto& r) { return Result<>{r.status, {}, r.error}; };
  const std::pair<const char*, std::function<Result<>()>> refusals[] = {
      {"register", [&] { return c.Register(alice); }},
      {"create", [&] { return c.CreateChat(bob, room); }},
      {"join", [&] { return c.JoinChat(bob, nowhere); }},
      {"send", [&] { return c.Send(Unique("carol"), room, "x"); }},
      {"list", [&] { return status_of(c.List(nowhere)); }},
      {"fetch", [&] { return status_of(c.Fetch(room, empty)); }},
      {"edit", [&] { return c.Edit(bob, room, first, "y"); }},
      {"forward", [&] { return c.Forward(alice, room, nowhere, first); }},
      {"delete", [&] { return c.Delete(bob, room, first); }},
  };
  for (const auto& [what, call] : refusals) {
    Result<> r = call();
    EXPECT_EQ(ToString(r.status), std::string(ToString(Status::kRefused))) << what << ": " << r.error;
    ASSERT_TRUE(c.connected()) << what;
  }
  EXPECT_EQ(c.Fetch(room, first).value.body, "edited");
}

// Every change after a subscription arrives once, in order, also while replies are
// awaited on the same connection; history pages hold the deleted messages in place.
TEST_F(ClientTest, SubscriptionPushesEveryChangeAndHistoryPagesTheChat) {
  const std::string alice = Unique("alice"), bob = Unique("bob"), room = Unique("room"), other = Unique("other");
  auto& c = client_;
  Client writer;
  ASSERT_TRUE(writer.Connect("127.0.0.1", static_cast<uint16_t>(port())));
  ASSERT_TRUE(c.Register(alice) && c.Register(bob) && c.CreateChat(alice, room) && c.CreateChat(bob, other));
  EXPECT_EQ(c.Subscribe(bob, room).status, Status::kRefused);  // not a member
  auto last = c.Subscribe(alice, room);
  ASSERT_TRUE(last && last.value == kNoMessage) << last.error;
  for (const char* body : {"one", "two", "three"}) ASSERT_EQ(c.Queue(Request::Send(alice, room, body)), Status::kOk);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(c.ReadReply().status, Status::kOk);
  ASSERT_TRUE(writer.Send(bob, other, "fwd\0"s) && writer.JoinChat(bob, room));
  const MessageId original = writer.List(other).value.at(0);
  const auto sent = c.List(room).value;
  ASSERT_EQ(sent.size(), 3u);
  ASSERT_TRUE(writer.Forward(bob, other, room, original) && writer.Edit(alice, room, sent[0], "uno") &&
              writer.Delete(alice, room, sent[1]));
  const MessageId copy = c.List(room).value.back();
  const Event want[] = {{EventKind::kMessage, room, sent[0], alice, "one"},
                        {EventKind::kMessage, room, sent[1], alice, "two"},
                        {EventKind::kMessage, room, sent[2], alice, "three"},
                        {EventKind::kMessage, room, copy, bob, "fwd\0"s},
                        {EventKind::kEdit, room, sent[0], "", "uno"},
                        {EventKind::kDelete, room, sent[1], "", ""}};
  for (const Event& w : want) {
    auto e = c.NextEvent(10s);
    ASSERT_TRUE(e) << ToString(w.kind) << " " << w.id << ": " << e.error;
    EXPECT_EQ(std::tie(e.value.kind, e.value.chat, e.value.id, e.value.sender, e.value.body),
              std::tie(w.kind, w.chat, w.id, w.sender, w.body));
  }
  EXPECT_EQ(c.NextEvent(100ms).status, Status::kTimeout);
  EXPECT_EQ(c.Subscribe(alice, room).value, copy);  // again: the last id, no event twice

  auto page = c.History(room, kNoMessage, 2);
  ASSERT_TRUE(page && page.value.entries.size() == 2u && page.value.more) << page.error;
  const HistoryEntry& deleted = page.value.entries[1];
  EXPECT_TRUE(page.value.entries[0].body == "uno" && deleted.id == sent[1] && deleted.deleted);
  page = c.History(room, sent[1]);
  ASSERT_TRUE(page && page.value.entries.size() == 2u && !page.value.more) << page.error;
  EXPECT_EQ(page.value.entries[1].id, copy);
  EXPECT_EQ(c.History(room, original).status, Status::kRefused);  // an id of another chat
  EXPECT_EQ(c.History(Unique("nowhere"), kNoMessage).status, Status::kRefused);

  ASSERT_TRUE(c.Unsubscribe(alice, room));
  EXPECT_EQ(c.Unsubscribe(alice, room).status, Status::kRefused);
  ASSERT_TRUE(writer.Send(bob, room, "unseen"));
  EXPECT_EQ(c.NextEvent(300ms).status, Status::kTimeout);
  EXPECT_TRUE(c.connected());
}

// More requests at once than the network thread runs itself (256): the
// replies, refusals of data requests included, come back in order.
TEST_F(ClientTest, PipelinedRepliesComeBackInOrder) {
  const std::string alice = Unique("alice"), room = Unique("room");
  constexpr int kMessages = 300;
  ASSERT_EQ(client_.Queue(Request::Register(alice)), Status::kOk);
  ASSERT_EQ(client_.Queue(Request::Register(alice)), Status::kOk);  // refused
  ASSERT_EQ(client_.Queue(Request::CreateChat(alice, room)), Status::kOk);
  for (int i = 0; i < kMessages; ++i)
    ASSERT_EQ(client_.Queue(Request::Send(alice, room, "message " + std::to_string(i))), Status::kOk);
  ASSERT_EQ(client_.Queue(Request::Fetch(Unique("nowhere"), 0)), Status::kOk);  // refused: no data frame
  ASSERT_EQ(client_.Queue(Request::List(room)), Status::kOk);
  EXPECT_EQ(client_.pending(), static_cast<size_t>(kMessages + 5));
  auto flushed = client_.Flush();
  ASSERT_TRUE(flushed) << flushed.error;

  EXPECT_EQ(client_.ReadReply().status, Status::kOk);
  EXPECT_EQ(client_.ReadReply().status, Status::kRefused);
  EXPECT_EQ(client_.ReadReply().status, Status::kOk);
  for (int i = 0; i < kMessages; ++i) ASSERT_EQ(client_.ReadReply().status, Status::kOk) << i;
  EXPECT_EQ(client_.ReadReply().status, Status::kRefused);
  auto list = client_.ReadReply();
  ASSERT_TRUE(list) << list.error;
  auto* ids = std::get_if<std::vector<MessageId>>(&list.value);
  ASSERT_NE(ids, nullptr);
  ASSERT_EQ(ids->size(), static_cast<size_t>(kMessages));
  EXPECT_EQ(client_.pending(), 0u);

  for (MessageId id : *ids) ASSERT_EQ(client_.Queue(Request::Fetch(room, id)), Status::kOk);
  for (size_t i = 0; i < ids->size(); ++i) {
    auto r = client_.ReadReply();  // flushes first
    ASSERT_TRUE(r) << i << ": " << r.error;
    EXPECT_EQ(std::get<Message>(r.value).body, "message " + std::to_string(i));
  }
  EXPECT_EQ(client_.ReadReply().status, Status::kBadRequest);  // nothing pending
  EXPECT_TRUE(client_.connected());
}

TEST_F(ClientTest, MisuseIsReportedWithoutSendingAnything) {
  const std::string alice = Unique("alice"), room = Unique("room");
  ASSERT_TRUE(client_.Register(alice));
  ASSERT_TRUE(client_.CreateChat(alice, room));

  // A typed call while queued replies are unread would take their replies.
  ASSERT_EQ(client_.Queue(Request::List(room)), Status::kOk);
  EXPECT_EQ(client_.Register(Unique("bob")).status, Status::kBadRequest);
  EXPECT_EQ(client_.ReadReply().status, Status::kOk);
  EXPECT_TRUE(client_.Register(Unique("bob")));  // was not sent before

  // The largest request that fits is accepted; one byte more is not sent.
  const size_t overhead = Request::Send(alice, room, "").payload_size();
  const std::string largest(kMaxRequestPayload - overhead, 'x');
  EXPECT_TRUE(client_.Send(alice, room, largest));
  EXPECT_EQ(client_.Send(alice, room, largest + "x").status, Status::kBadRequest);
  EXPECT_EQ(client_.Queue(Request::Send(alice, room, largest + "x")), Status::kBadRequest);
  EXPECT_TRUE(client_.connected());
  auto ids = client_.List(room);
  ASSERT_TRUE(ids);
  ASSERT_EQ(ids.value.size(), 1u);
  EXPECT_EQ(client_.Fetch(room, ids.value[0]).value.body, largest);

  client_.Close();
  EXPECT_EQ(client_.Register(Unique("carol")).status, Status::kConnectionLost);
  EXPECT_EQ(client_.Queue(Request::List(room)), Status::kConnectionLost);
}

TEST(ClientConnect, ClosedPortIsConnectionLost) {
  const int port = test::ClosedLoopbackPort();
  ASSERT_GT(port, 0);
  Client c;
  auto r = c.Connect("127.0.0.1", static_cast<uint16_t>(port), 2s);
  EXPECT_EQ(r.status, Status::kConnectionLost);
  EXPECT_NE(r.error.find("refused"), std::string::npos) << r.error;
  EXPECT_FALSE(c.connected());
}

// A stand-in that answers the first request with `reply` and then closes.
test::FakeServer::Handler Answer(std::string reply) {
  return [reply](std::string_view, std::string& out) {
    out += reply;
    return false;
  };
}

const std::string kOk = test::StatusFrame(0, true), kListOk = test::StatusFrame(8, true),
                  kFetchOk = test::StatusFrame(7, true), kSubOk = test::StatusFrame(9, true),
                  kHistOk = test::StatusFrame(11, true);
const std::string kEvent = BuildFrame(wire::PUSH_EDIT, "room", 5, "new");

// Each reply, well formed or broken (cut short, lying about a length, the
// wrong kind), gets its status; a broken one closes the connection, with a reason.
TEST(ClientFakeServer, EveryBrokenReplyIsReportedAndClosesTheConnection) {
  constexpr auto kReg = RequestKind::kRegister, kSub = RequestKind::kSubscribe, kHist = RequestKind::kHistory;
  const struct {
    const char* name;
    RequestKind kind;
    std::string reply;
    Status want;
  } cases[] = {
      // Well-formed answers, so that the stand-in itself is known to work.
      {"ok", RequestKind::kRegister, kOk, Status::kOk},
      {"no", RequestKind::kRegister, test::StatusFrame(0, false), Status::kRefused},
      {"list", RequestKind::kList, kListOk + test::ListFrame({5, 6}), Status::kOk},
      {"fetch", RequestKind::kFetch, kFetchOk + test::MessageFrame("bob", "hi"), Status::kOk},
      {"closed without reply", RequestKind::kRegister, "", Status::kConnectionLost},
      {"closed mid-frame", RequestKind::kRegister, kOk.substr(0, 13), Status::kConnectionLost},
      {"closed mid-length", RequestKind::kRegister, kOk.substr(0, 2), Status::kConnectionLost},
      {"negative length", RequestKind::kRegister, test::Prefix(-5) + kOk, Status::kMalformed},
      {"length below a type code", RequestKind::kRegister, test::Prefix(4) + "abcd", Status::kMalformed},
      {"huge length", RequestKind::kRegister, test::Prefix(0x7fffffff) + "x", Status::kMalformed},
      {"answers another kind", RequestKind::kRegister, test::StatusFrame(3, true), Status::kMalformed},
      {"status neither ok nor no", RequestKind::kRegister, BuildFrame(0, "ko"), Status::kMalformed},
      {"status string overruns", RequestKind::kRegister, BuildFrame(0, 1000, RawBytes{"ok"}), Status::kMalformed},
      {"status string length 2^63", RequestKind::kRegister, BuildFrame(0, 1ull << 63, RawBytes{"ok"}),
       Status::kMalformed},
      {"bytes after the status", RequestKind::kRegister, BuildFrame(0, "ok", RawBytes{"!"}), Status::kMalformed},
      {"empty body", RequestKind::kRegister, BuildFrame(0), Status::kMalformed},
      {"list closed after ok", RequestKind::kList, kListOk, Status::kConnectionLost},
      {"list closed mid-ids", RequestKind::kList, kListOk + test::ListFrame({5, 6}).substr(0, 25),
       Status::kConnectionLost},
      {"list count beyond body", RequestKind::kList, kListOk + BuildFrame(8, 5, 1, 2), Status::kMalformed},
      {"list count 2^61", RequestKind::kList, kListOk + BuildFrame(8, 1ull << 61), Status::kMalformed},
      {"list with a stray byte", RequestKind::kList, kListOk + BuildFrame(8, 1, 1, RawBytes{"x"}), Status::kMalformed},
      {"list as another kind", RequestKind::kList, kListOk + BuildFrame(7, 0), Status::kMalformed},
      {"fetch closed mid-body", RequestKind::kFetch, kFetchOk + test::MessageFrame("bob", "hi").substr(0, 32),
       Status::kConnectionLost},
      {"fetch without body", RequestKind::kFetch, kFetchOk + BuildFrame(7, "bob"), Status::kMalformed},
      {"fetch sender overruns", RequestKind::kFetch, kFetchOk + BuildFrame(7, 1ull << 62, RawBytes{"bob"}),
       Status::kMalformed},
      {"fetch body overruns", RequestKind::kFetch, kFetchOk + BuildFrame(7, "bob", 99, RawBytes{"hi"}),
       Status::kMalformed},
      {"fetch third string", RequestKind::kFetch, kFetchOk + BuildFrame(7, "bob", "hi", "!"), Status::kMalformed},
      {"events before a reply", kReg, kEvent + BuildFrame(wire::PUSH_DELETE, "r", 6) + kOk, Status::kOk},
      {"event inside a reply", RequestKind::kList, kListOk + kEvent + test::ListFrame({5}), Status::kMalformed},
      {"event of unknown kind", kReg, BuildFrame(wire::kPushBit | 4, "room", 5) + kOk, Status::kMalformed},
      {"message event cut short", kReg, BuildFrame(wire::PUSH_MESSAGE, "room", 5, "bob") + kOk, Status::kMalformed},
      {"edit event overruns", kReg, BuildFrame(wire::PUSH_EDIT, "r", 5, 99, RawBytes{"x"}) + kOk, Status::kMalformed},
      {"delete, stray byte", kReg, BuildFrame(wire::PUSH_DELETE, "r", 5, RawBytes{"x"}) + kOk, Status::kMalformed},
      {"event with a negative id", kReg, BuildFrame(wire::PUSH_DELETE, "room", -1) + kOk, Status::kMalformed},
      {"subscribe", kSub, kSubOk + BuildFrame(9, -1), Status::kOk},
      {"subscribe last id -2", kSub, kSubOk + BuildFrame(9, -2), Status::kMalformed},
      {"history", kHist, kHistOk + BuildFrame(11, 2, 0, 5, 0, "bob", "hi", 6, 1, "", ""), Status::kOk},
      {"history count beyond body", kHist, kHistOk + BuildFrame(11, 2, 0, 5, 0, "bob", "hi"), Status::kMalformed},
      {"history count 2^60", kHist, kHistOk + BuildFrame(11, 1ull << 60, 0), Status::kMalformed},
      {"history unknown flag", kHist, kHistOk + BuildFrame(11, 1, 0, 5, 2, "bob", "hi"), Status::kMalformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::FakeServer server(Answer(c.reply));
    Client client;
    ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(server.port())));
    client.set_timeout(10s);
    auto r = client.Call(c.kind == RequestKind::kList    ? Request::List("room")
                         : c.kind == RequestKind::kFetch ? Request::Fetch("room", 7)
                         : c.kind == kSub                ? Request::Subscribe("alice", "room")
                         : c.kind == kHist               ? Request::History("room", kNoMessage, 50)
                                                         : Request::Register("alice"));
    EXPECT_EQ(ToString(r.status), std::string(ToString(c.want))) << r.error;
    EXPECT_EQ(client.connected(), c.want == Status::kOk || c.want == Status::kRefused);
    EXPECT_TRUE(client.connected() || !r.error.empty()) << "no reason given";
  }
}

// The account calls send their fields byte for byte (a zero byte kept in a
// secret), take the status of their own kind, and refuse one of another kind.
TEST(ClientFakeServer, AccountCallsEncodeEveryByteAndCheckTheReply) {
  const std::string secret = "s\0cr\xff"s, fresh = "n\0w"s;
  const struct {
    std::function<Result<>(Client&)> call;
    std::string want;  // the request frame
  } cases[] = {
      {[&](Client& c) { return c.RegisterWithSecret("al\0ice"s, secret); },
       BuildFrame(wire::EV_REGISTER_SECRET, "al\0ice"s, secret)},
      {[&](Client& c) { return c.Login("alice", secret); }, BuildFrame(wire::EV_LOGIN, "alice", secret)},
      {[&](Client& c) { return c.ChangeSecret("alice", secret, fresh); },
       BuildFrame(wire::EV_CHANGE_SECRET, "alice", secret, fresh)},
  };
  for (const auto& c : cases) {
    const uint64_t type = wire::LoadU64(c.want.data() + wire::kLengthSize);
    SCOPED_TRACE(type);
    const std::pair<std::string, Status> replies[] = {{test::StatusFrame(type, true), Status::kOk},
                                                      {test::StatusFrame(type, false), Status::kRefused},
                                                      {test::StatusFrame(wire::EV_REGISTER, true), Status::kMalformed}};
    for (const auto& [reply, want] : replies) {
      std::string got;
      test::FakeServer server([&](std::string_view payload, std::string& out) {
        got = std::string(payload);
        out += reply;
        return true;
      });
      Client client;
      ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(server.port())));
      EXPECT_EQ(ToString(c.call(client).status), std::string(ToString(want)));
      EXPECT_EQ(got, c.want.substr(wire::kLengthSize));
    }
  }
}

// An event that came with a reply is ready without reading; a reply to no request is malformed.
TEST(ClientFakeServer, NextEventTakesQueuedEventsAndRejectsStrayReplies) {
  test::FakeServer server(Answer(kEvent + kOk + kOk));
  Client client;
  ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(server.port())));
  ASSERT_TRUE(client.Register("alice"));
  ASSERT_TRUE(client.event_ready());
  auto e = client.NextEvent(0ms);
  EXPECT_TRUE(e && e.value.kind == EventKind::kEdit && e.value.id == 5 && e.value.body == "new") << e.error;
  EXPECT_EQ(client.NextEvent(10s).status, Status::kMalformed);
  EXPECT_FALSE(client.connected());
}

TEST(ClientFakeServer, SilentServerTimesOut) {
  test::FakeServer server([](std::string_view, std::string&) { return true; });  // reads, never answers
  Client client;
  ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(server.port())));
  client.set_timeout(300ms);
  auto r = client.Register("alice");
  EXPECT_EQ(r.status, Status::kTimeout) << r.error;
  EXPECT_FALSE(client.connected());
}

TEST(ClientFakeServer, GarbageAfterGoodRepliesInAPipeline) {
  test::FakeServer server(Answer(kOk + test::StatusFrame(0, false) + "\x01\x02"));
  Client client;
  ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(server.port())));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(client.Queue(Request::Register("u" + std::to_string(i))), Status::kOk);
  EXPECT_EQ(client.ReadReply().status, Status::kOk);
  EXPECT_EQ(client.ReadReply().status, Status::kRefused);
  EXPECT_EQ(client.ReadReply().status, Status::kConnectionLost);
  EXPECT_EQ(client.pending(), 0u);
}

}  // namespace
}  // namespace parley
