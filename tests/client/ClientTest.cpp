// The client library against the real server, and against fake peers that
// answer with broken replies.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "ServerProcess.h"
#include "TestClient.h"
#include "parley/Client.h"

namespace parley {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::ServerProcess;

// One server for the whole suite; every test uses names of its own.
class ClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<ServerProcess>();
    ASSERT_TRUE(server_->Start()) << server_->Stderr();
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    ASSERT_TRUE(client_.Connect("127.0.0.1", static_cast<uint16_t>(server_->port())))
        << "server at port " << server_->port();
    client_.set_timeout(10s);
  }

  // A name unique to this test: `base` plus the test's name.
  static std::string Name(const std::string& base) {
    return base + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }

  static std::unique_ptr<ServerProcess> server_;
  Client client_;
};
std::unique_ptr<ServerProcess> ClientTest::server_;

TEST_F(ClientTest, EveryCallAnswersOkOrNo) {
  const std::string alice = Name("alice"), bob = Name("bob"), carol = Name("carol"), ghost = Name("ghost");
  const std::string room = Name("room"), other = Name("other"), nowhere = Name("nowhere");
  // Only what the server promises: ok/no per request, in the order of the steps.
  struct Step {
    const char* what;
    std::function<Result<>()> call;
    Status want;
  };
  auto& c = client_;
  MessageId mine = 0;  // alice's message, learnt from the listing
  auto status_of = [](const auto& r) { return Result<>{r.status, {}, r.error}; };
  auto list_first = [&] {
    auto r = c.List(room);
    if (r && !r.value.empty()) mine = r.value.front();
    return status_of(r);
  };
  const Step steps[] = {
      {"register alice", [&] { return c.Register(alice); }, Status::kOk},
      {"register alice again", [&] { return c.Register(alice); }, Status::kRefused},
      {"register bob", [&] { return c.Register(bob); }, Status::kOk},
      {"register carol", [&] { return c.Register(carol); }, Status::kOk},
      {"create by an unknown user", [&] { return c.CreateChat(ghost, room); }, Status::kRefused},
      {"create", [&] { return c.CreateChat(alice, room); }, Status::kOk},
      {"create a taken name", [&] { return c.CreateChat(bob, room); }, Status::kRefused},
      {"create other", [&] { return c.CreateChat(bob, other); }, Status::kOk},
      {"join by an unknown user", [&] { return c.JoinChat(ghost, room); }, Status::kRefused},
      {"join a missing chat", [&] { return c.JoinChat(bob, nowhere); }, Status::kRefused},
      {"join", [&] { return c.JoinChat(bob, room); }, Status::kOk},
      {"join again", [&] { return c.JoinChat(bob, room); }, Status::kOk},
      {"send by an unknown user", [&] { return c.Send(ghost, room, "x"); }, Status::kRefused},
      {"send to a missing chat", [&] { return c.Send(alice, nowhere, "x"); }, Status::kRefused},
      {"send by a non-member", [&] { return c.Send(carol, room, "x"); }, Status::kRefused},
      {"send", [&] { return c.Send(alice, room, "hello"); }, Status::kOk},
      {"list", list_first, Status::kOk},
      {"list a missing chat", [&] { return status_of(c.List(nowhere)); }, Status::kRefused},
      {"fetch", [&] { return status_of(c.Fetch(room, mine)); }, Status::kOk},
      {"fetch from a missing chat", [&] { return status_of(c.Fetch(nowhere, mine)); }, Status::kRefused},
      {"fetch a missing id", [&] { return status_of(c.Fetch(room, mine + 4242)); }, Status::kRefused},
      {"edit by an unknown user", [&] { return c.Edit(ghost, room, mine, "y"); }, Status::kRefused},
      {"edit in a missing chat", [&] { return c.Edit(alice, nowhere, mine, "y"); }, Status::kRefused},
      {"edit by a non-member", [&] { return c.Edit(carol, room, mine, "y"); }, Status::kRefused},
      {"edit someone else's message", [&] { return c.Edit(bob, room, mine, "y"); }, Status::kRefused},
      {"edit", [&] { return c.Edit(alice, room, mine, "hello again"); }, Status::kOk},
      {"forward by an unknown user", [&] { return c.Forward(ghost, room, other, mine); }, Status::kRefused},
      {"forward from a missing chat", [&] { return c.Forward(bob, nowhere, other, mine); }, Status::kRefused},
      {"forward to a missing chat", [&] { return c.Forward(bob, room, nowhere, mine); }, Status::kRefused},
      {"forward to a chat the user is not in", [&] { return c.Forward(carol, room, other, mine); },
       Status::kRefused},
      {"forward", [&] { return c.Forward(bob, room, other, mine); }, Status::kOk},
      {"delete by an unknown user", [&] { return c.Delete(ghost, room, mine); }, Status::kRefused},
      {"delete in a missing chat", [&] { return c.Delete(alice, nowhere, mine); }, Status::kRefused},
      {"delete someone else's message", [&] { return c.Delete(bob, room, mine); }, Status::kRefused},
      {"delete", [&] { return c.Delete(alice, room, mine); }, Status::kOk},
      {"fetch the deleted message", [&] { return status_of(c.Fetch(room, mine)); }, Status::kRefused},
  };
  for (const Step& s : steps) {
    Result<> r = s.call();
    EXPECT_EQ(ToString(r.status), std::string(ToString(s.want))) << s.what << ": " << r.error;
    ASSERT_TRUE(client_.connected()) << s.what;
  }
}

TEST_F(ClientTest, MessagesComeBackByteForByte) {
  const std::string alice = Name("alice"), bob = Name("bob"), room = Name("room"), other = Name("other");
  ASSERT_TRUE(client_.Register(alice));
  ASSERT_TRUE(client_.Register(bob));
  ASSERT_TRUE(client_.CreateChat(alice, room));
  ASSERT_TRUE(client_.CreateChat(bob, other));
  const std::string body = "zero\0byte \xff\xfe and \n newline"s;
  ASSERT_TRUE(client_.Send(alice, room, body));
  ASSERT_TRUE(client_.Send(alice, room, ""));

  auto ids = client_.List(room);
  ASSERT_TRUE(ids) << ids.error;
  ASSERT_EQ(ids.value.size(), 2u);
  auto first = client_.Fetch(room, ids.value[0]);
  ASSERT_TRUE(first) << first.error;
  EXPECT_EQ(first.value.sender, alice);
  EXPECT_EQ(first.value.body, body);
  auto empty = client_.Fetch(room, ids.value[1]);
  ASSERT_TRUE(empty) << empty.error;
  EXPECT_EQ(empty.value.body, "");

  ASSERT_TRUE(client_.Edit(alice, room, ids.value[0], "edited"));
  EXPECT_EQ(client_.Fetch(room, ids.value[0]).value.body, "edited");

  ASSERT_TRUE(client_.Forward(bob, room, other, ids.value[0]));
  auto copies = client_.List(other);
  ASSERT_TRUE(copies);
  ASSERT_EQ(copies.value.size(), 1u);
  auto copy = client_.Fetch(other, copies.value[0]);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy.value.sender, bob);
  EXPECT_EQ(copy.value.body, "edited");

  ASSERT_TRUE(client_.Delete(alice, room, ids.value[1]));
  auto left = client_.List(room);
  ASSERT_TRUE(left);
  EXPECT_EQ(left.value, std::vector<MessageId>{ids.value[0]});
}

TEST_F(ClientTest, PipelinedRepliesComeBackInOrder) {
  const std::string alice = Name("alice"), room = Name("room");
  constexpr int kMessages = 300;
  ASSERT_EQ(client_.Queue(Request::Register(alice)), Status::kOk);
  ASSERT_EQ(client_.Queue(Request::Register(alice)), Status::kOk);  // refused
  ASSERT_EQ(client_.Queue(Request::CreateChat(alice, room)), Status::kOk);
  for (int i = 0; i < kMessages; ++i)
    ASSERT_EQ(client_.Queue(Request::Send(alice, room, "message " + std::to_string(i))), Status::kOk);
  ASSERT_EQ(client_.Queue(Request::List(room)), Status::kOk);
  EXPECT_EQ(client_.pending(), static_cast<size_t>(kMessages + 4));
  auto flushed = client_.Flush();
  ASSERT_TRUE(flushed) << flushed.error;

  EXPECT_EQ(client_.ReadReply().status, Status::kOk);
  EXPECT_EQ(client_.ReadReply().status, Status::kRefused);
  EXPECT_EQ(client_.ReadReply().status, Status::kOk);
  for (int i = 0; i < kMessages; ++i) ASSERT_EQ(client_.ReadReply().status, Status::kOk) << i;
  auto list = client_.ReadReply();
  ASSERT_TRUE(list) << list.error;
  auto* ids = std::get_if<std::vector<MessageId>>(&list.value);
  ASSERT_NE(ids, nullptr);
  ASSERT_EQ(ids->size(), static_cast<size_t>(kMessages));
  EXPECT_EQ(client_.pending(), 0u);

  // Fetch them all in one pipeline, with a missing chat in the middle.
  for (size_t i = 0; i < ids->size(); ++i) {
    ASSERT_EQ(client_.Queue(Request::Fetch(room, (*ids)[i])), Status::kOk);
    if (i == 100) {
      ASSERT_EQ(client_.Queue(Request::Fetch(Name("nowhere"), (*ids)[i])), Status::kOk);
    }
  }
  for (size_t i = 0; i < ids->size(); ++i) {
    auto r = client_.ReadReply();  // flushes first
    ASSERT_TRUE(r) << i << ": " << r.error;
    EXPECT_EQ(std::get<Message>(r.value).body, "message " + std::to_string(i));
    if (i == 100) {
      ASSERT_EQ(client_.ReadReply().status, Status::kRefused);
    }
  }
  EXPECT_EQ(client_.ReadReply().status, Status::kBadRequest);  // nothing pending
  EXPECT_TRUE(client_.connected());
}

TEST_F(ClientTest, MisuseIsReportedWithoutSendingAnything) {
  const std::string alice = Name("alice"), room = Name("room");
  ASSERT_TRUE(client_.Register(alice));
  ASSERT_TRUE(client_.CreateChat(alice, room));

  // A typed call while queued replies are unread would take their replies.
  ASSERT_EQ(client_.Queue(Request::List(room)), Status::kOk);
  EXPECT_EQ(client_.Register(Name("bob")).status, Status::kBadRequest);
  EXPECT_EQ(client_.ReadReply().status, Status::kOk);
  EXPECT_TRUE(client_.Register(Name("bob")));  // was not sent before

  // The largest request that fits is accepted; one byte more is not sent.
  const size_t overhead = Request::Send(alice, room, "").payload_size();
  const std::string largest(kMaxRequestPayload - overhead, 'x');
  EXPECT_TRUE(Request::Send(alice, room, largest).fits());
  EXPECT_TRUE(client_.Send(alice, room, largest));
  auto too_big = client_.Send(alice, room, largest + "x");
  EXPECT_EQ(too_big.status, Status::kBadRequest);
  EXPECT_EQ(client_.Queue(Request::Send(alice, room, largest + "x")), Status::kBadRequest);
  EXPECT_TRUE(client_.connected());
  auto ids = client_.List(room);
  ASSERT_TRUE(ids);
  ASSERT_EQ(ids.value.size(), 1u);
  EXPECT_EQ(client_.Fetch(room, ids.value[0]).value.body, largest);

  client_.Close();
  EXPECT_EQ(client_.Register(Name("carol")).status, Status::kConnectionLost);
  EXPECT_EQ(client_.Queue(Request::List(room)), Status::kConnectionLost);
}

TEST_F(ClientTest, ServerGoneIsConnectionLost) {
  ServerProcess doomed;
  ASSERT_TRUE(doomed.Start()) << doomed.Stderr();
  const uint16_t port = static_cast<uint16_t>(doomed.port());
  Client c;
  ASSERT_TRUE(c.Connect("127.0.0.1", port));
  ASSERT_TRUE(c.Register("someone"));
  doomed.Stop(SIGKILL);
  // The first write may still be accepted by the kernel; the reply never comes.
  auto r = c.Register("someone else");
  EXPECT_EQ(r.status, Status::kConnectionLost) << r.error;
  EXPECT_FALSE(c.connected());
  auto again = c.Connect("127.0.0.1", port, 2s);
  EXPECT_EQ(again.status, Status::kConnectionLost) << again.error;
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

// ------------------------------------------------------------ fake peers

// A one-shot server on 127.0.0.1: accepts one connection, reads one request
// frame, answers with `reply` and then closes, or stays silent and open when
// `hold` is set, until destroyed.
class FakePeer {
 public:
  FakePeer(std::string reply, bool hold) : reply_(std::move(reply)), hold_(hold) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_, 1) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakePeer() {
    shutdown(listen_, SHUT_RDWR);
    if (conn_ >= 0) shutdown(conn_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (conn_ >= 0) close(conn_);
    close(listen_);
  }
  uint16_t port() const { return port_; }

 private:
  void Serve() {
    conn_ = accept(listen_, nullptr, nullptr);
    if (conn_ < 0) return;
    std::string got;
    char buf[4096];
    while (got.size() < 4 || got.size() < 4 + static_cast<size_t>(wire::LoadI32(got.data()))) {
      ssize_t n = recv(conn_, buf, sizeof buf, 0);
      if (n <= 0) return;
      got.append(buf, static_cast<size_t>(n));
    }
    if (hold_) {
      while (recv(conn_, buf, sizeof buf, 0) > 0) {
      }
      return;
    }
    send(conn_, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    shutdown(conn_, SHUT_WR);
  }

  std::string reply_;
  bool hold_;
  int listen_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

std::string Frame(uint64_t type, const std::string& body) {
  std::string f;
  wire::PutU32(f, static_cast<uint32_t>(8 + body.size()));
  wire::PutU64(f, type);
  return f + body;
}
std::string Str(const std::string& s) {
  std::string out;
  wire::PutString(out, s);
  return out;
}
std::string U64(uint64_t v) {
  std::string out;
  wire::PutU64(out, v);
  return out;
}

struct BadReply {
  const char* name;
  RequestKind kind;
  std::string reply;
  Status want;
};

void PrintTo(const BadReply& r, std::ostream* os) { *os << r.name; }

class ClientBadReplyTest : public ::testing::TestWithParam<BadReply> {};

TEST_P(ClientBadReplyTest, IsReportedAndClosesTheConnection) {
  const BadReply& c = GetParam();
  FakePeer peer(c.reply, false);
  ASSERT_NE(peer.port(), 0);
  Client client;
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
  client.set_timeout(10s);
  Request req = c.kind == RequestKind::kList    ? Request::List("room")
                : c.kind == RequestKind::kFetch ? Request::Fetch("room", 7)
                                                : Request::Register("alice");
  auto r = client.Call(req);
  EXPECT_EQ(ToString(r.status), std::string(ToString(c.want))) << r.error;
  if (c.want == Status::kOk || c.want == Status::kRefused) {
    EXPECT_TRUE(client.connected());
  } else {
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(r.error.empty());
  }
}

const std::string kOk = Frame(0, Str("ok"));
const std::string kListOk = Frame(8, Str("ok"));
const std::string kFetchOk = Frame(7, Str("ok"));

INSTANTIATE_TEST_SUITE_P(
    FakePeer, ClientBadReplyTest,
    ::testing::Values(
        // Well-formed answers, so that the fake itself is known to work.
        BadReply{"ok", RequestKind::kRegister, kOk, Status::kOk},
        BadReply{"no", RequestKind::kRegister, Frame(0, Str("no")), Status::kRefused},
        BadReply{"list", RequestKind::kList, kListOk + Frame(8, U64(2) + U64(5) + U64(6)), Status::kOk},
        BadReply{"fetch", RequestKind::kFetch, kFetchOk + Frame(7, Str("bob") + Str("hi")), Status::kOk},
        // Broken ones.
        BadReply{"closed without reply", RequestKind::kRegister, "", Status::kConnectionLost},
        BadReply{"closed mid-frame", RequestKind::kRegister, kOk.substr(0, 13), Status::kConnectionLost},
        BadReply{"closed mid-length", RequestKind::kRegister, kOk.substr(0, 2), Status::kConnectionLost},
        BadReply{"negative length", RequestKind::kRegister, U64(0xfffffffbu).substr(0, 4) + kOk,
                 Status::kMalformed},
        BadReply{"length below a type code", RequestKind::kRegister, std::string("\x04\0\0\0abcd", 8),
                 Status::kMalformed},
        BadReply{"huge length", RequestKind::kRegister, std::string("\xff\xff\xff\x7f", 4) + "x",
                 Status::kMalformed},
        BadReply{"answers another kind", RequestKind::kRegister, Frame(3, Str("ok")), Status::kMalformed},
        BadReply{"status neither ok nor no", RequestKind::kRegister, Frame(0, Str("ko")), Status::kMalformed},
        BadReply{"status string overruns", RequestKind::kRegister, Frame(0, U64(1000) + "ok"),
                 Status::kMalformed},
        BadReply{"status string length 2^63", RequestKind::kRegister, Frame(0, U64(1ull << 63) + "ok"),
                 Status::kMalformed},
        BadReply{"bytes after the status", RequestKind::kRegister, Frame(0, Str("ok") + "!"),
                 Status::kMalformed},
        BadReply{"empty body", RequestKind::kRegister, Frame(0, ""), Status::kMalformed},
        BadReply{"list closed after ok", RequestKind::kList, kListOk, Status::kConnectionLost},
        BadReply{"list count beyond body", RequestKind::kList, kListOk + Frame(8, U64(5) + U64(1) + U64(2)),
                 Status::kMalformed},
        BadReply{"list count 2^61", RequestKind::kList, kListOk + Frame(8, U64(1ull << 61)),
                 Status::kMalformed},
        BadReply{"list with a stray byte", RequestKind::kList, kListOk + Frame(8, U64(1) + U64(1) + "x"),
                 Status::kMalformed},
        BadReply{"list as another kind", RequestKind::kList, kListOk + Frame(7, U64(0)), Status::kMalformed},
        BadReply{"fetch without body", RequestKind::kFetch, kFetchOk + Frame(7, Str("bob")),
                 Status::kMalformed},
        BadReply{"fetch sender overruns", RequestKind::kFetch, kFetchOk + Frame(7, U64(1ull << 62) + "bob"),
                 Status::kMalformed},
        BadReply{"fetch body overruns", RequestKind::kFetch, kFetchOk + Frame(7, Str("bob") + U64(99) + "hi"),
                 Status::kMalformed},
        BadReply{"fetch third string", RequestKind::kFetch,
                 kFetchOk + Frame(7, Str("bob") + Str("hi") + Str("!")), Status::kMalformed}),
    [](const ::testing::TestParamInfo<BadReply>& param_info) {
      std::string n = param_info.param.name;
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

// Valid list and fetch replies with random bytes changed or cut off: whatever
// the damage, the client answers with a status and stays sound (run under the
// address sanitizer, this catches reads past a reply).
TEST(ClientFakePeer, DamagedRepliesNeverCrash) {
  const std::string list = kListOk + Frame(8, U64(3) + U64(5) + U64(6) + U64(7));
  const std::string fetch = kFetchOk + Frame(7, Str("bob") + Str("hello"));
  std::mt19937 rng(20261206);
  for (int round = 0; round < 150; ++round) {
    const bool is_list = round % 2 == 0;
    std::string reply = is_list ? list : fetch;
    if (round % 3 == 0) {
      reply.resize(std::uniform_int_distribution<size_t>(0, reply.size() - 1)(rng));
    } else {
      for (int k = 0; k < 1 + round % 4; ++k)
        reply[std::uniform_int_distribution<size_t>(0, reply.size() - 1)(rng)] = static_cast<char>(rng());
    }
    FakePeer peer(reply, false);
    Client client;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
    client.set_timeout(10s);  // the peer closes after its reply, so nothing waits this long
    auto r = client.Call(is_list ? Request::List("room") : Request::Fetch("room", 7));
    if (r.ok()) {
      // Only damage the shape cannot reveal (inside ids or text) can pass.
      const size_t size =
          is_list ? std::get<std::vector<MessageId>>(r.value).size() : std::get<Message>(r.value).body.size();
      EXPECT_EQ(size, is_list ? 3u : 5u) << round;
    } else {
      EXPECT_TRUE(r.status == Status::kRefused || !client.connected()) << round << ": " << r.error;
    }
  }
}

TEST(ClientFakePeer, SilentServerTimesOut) {
  FakePeer peer("", true);
  Client client;
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
  client.set_timeout(300ms);
  auto r = client.Register("alice");
  EXPECT_EQ(r.status, Status::kTimeout) << r.error;
  EXPECT_FALSE(client.connected());
}

TEST(ClientFakePeer, GarbageAfterGoodRepliesInAPipeline) {
  FakePeer peer(kOk + Frame(0, Str("no")) + "\x01\x02", false);
  Client client;
  ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(client.Queue(Request::Register("u" + std::to_string(i))), Status::kOk);
  EXPECT_EQ(client.ReadReply().status, Status::kOk);
  EXPECT_EQ(client.ReadReply().status, Status::kRefused);
  EXPECT_EQ(client.ReadReply().status, Status::kConnectionLost);
  EXPECT_EQ(client.pending(), 0u);
}

}  // namespace
}  // namespace parley
