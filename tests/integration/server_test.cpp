// The server over a real socket: every request kind byte for byte, framing, start-up and shutdown.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "Peer.h"
#include "Process.h"
#include "ServerProcess.h"

namespace parley::test {
namespace {

using namespace std::string_literals;
using namespace parley::wire;
using Message = std::pair<std::string, std::string>;  // sender, body

class Protocol : public SharedServerTest {
 protected:
  void SetUp() override { ASSERT_TRUE(c.Connect(port())); }

  static std::string N(const std::string& base) { return Unique(base); }
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
      {"register a name that is cut at its zero byte to a taken one", Register(a + "\0tail"s), false},
      {"register a name differing in case", Register(N("A")), true},
      {"register a name differing by a trailing space", Register(a + " "), true},
      {"register the empty name", Register(""), true},
      {"register the empty name again", Register(""), false},
      {"join as the empty name", JoinChatReq("", room), true},
      {"send as the empty name", SendReq("", room, "a\0"s), true},
      {"create by an unknown user", CreateChatReq(ghost, free), false},
      {"create a chat differing in case", CreateChatReq(a, N("Room")), true},
      {"join an unknown chat", JoinChatReq(a, nowhere), false},
      {"join by an unknown user", JoinChatReq(ghost, room), false},
      {"send by an unknown user", SendReq(ghost, room, "x"), false},
      {"send to an unknown chat", SendReq(a, nowhere, "x"), false},
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

  // Copies have the forwarder as sender and ids of their own; the edit changed the original only.
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

TEST_F(Protocol, ConnectionsArePrintedAndUndecodableFramesDropped) {
  ASSERT_TRUE(server_->WaitStdout("Accepted "));
  EXPECT_TRUE(std::regex_search(server_->Stdout(), std::regex("^Accepted [0-9]+\n")));

  // An unknown type code, a payload shorter than one, a body that does not decode: no reply.
  ASSERT_TRUE(c.Send(BuildFrame(9) + RawFrame("1234567") + BuildFrame(wire::EV_REGISTER)));
  EXPECT_TRUE(server_->WaitStdout("error read msgerror read msgerror read msg"));
  EXPECT_TRUE(c.Quiet());
  EXPECT_EQ(c.Status(Register("after")), true);  // the connection is still good
}

// Frames arrive in any pieces, up to 3200 bytes (past it: Faults.OversizedFrames...).
TEST_F(Protocol, FramesArriveInAnyPiecesUpToTheLargest) {
  for (char ch : Register("slow")) {
    ASSERT_TRUE(c.Send(std::string(1, ch)));
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_FALSE(c.Expect(StatusFrame(wire::EV_REGISTER, true)));

  const std::string big = Register("u" + std::string(3200 - 16 - 1, 'x'));
  ASSERT_EQ(big.size(), 3204u);
  EXPECT_EQ(c.Status(big), true);
  EXPECT_EQ(c.Status(big), false);
  ASSERT_EQ(c.Status(CreateChatReq("slow", "big")), true);
  std::string body(3200 - 32 - 4 - 3, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31);
  ASSERT_EQ(SendReq("slow", "big", body).size(), 3204u);
  ASSERT_EQ(c.Status(SendReq("slow", "big", body)), true);
  auto ids = c.List("big");
  ASSERT_TRUE(ids && ids->size() == 1);
  EXPECT_EQ(c.Fetch("big", ids->front()), std::make_pair(std::string("slow"), body));
}

TEST(Server, StartUpFailuresExitWithAStatusAndAReason) {
  ServerProcess first;
  ASSERT_TRUE(first.Start()) << first.Stderr();
  RunResult in_use = RunProcess({PARLEYD_PATH, "--port", std::to_string(first.port())});
  EXPECT_EQ(in_use.exit_status, 1);
  EXPECT_NE(in_use.err.find("cannot bind port"), std::string::npos) << in_use.err;
  EXPECT_EQ(in_use.out, "");
  for (std::vector<std::string> args : {std::vector<std::string>{"--port", "70000"}, {"--threads", "0"}, {"--bogus"}, {"--port"}}) {
    args.insert(args.begin(), PARLEYD_PATH);
    RunResult r = RunProcess(args);
    EXPECT_EQ(r.exit_status, 2) << args[1];
    EXPECT_NE(r.err.find("Usage:"), std::string::npos) << r.err;
  }
}

TEST(Server, SigtermAndSigintExitCleanly) {
  for (int sig : {SIGTERM, SIGINT}) {
    ServerProcess srv;
    ASSERT_TRUE(srv.Start({"--threads", "2"})) << srv.Stderr();
    Peer c;
    ASSERT_TRUE(c.Connect(srv.port()));
    ASSERT_EQ(c.Status(Register("x")), true);
    EXPECT_EQ(srv.Stop(sig), 0) << srv.Stderr();
    EXPECT_TRUE(c.WaitEof());
  }
}

// Under systemd (a unit of Type=notify) READY=1 comes once the history is
// recovered and the port takes connections; STOPPING=1 comes on SIGTERM.
TEST(Server, TellsSystemdWhenReadyAndWhenStopping) {
  const std::string dir = ::testing::TempDir() + "parley-notify-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir + "/data");
  {
    ServerProcess first;
    ASSERT_TRUE(first.Start({"--data-dir", dir + "/data"})) << first.Stderr();
    Peer c;
    ASSERT_TRUE(c.Connect(first.port()));
    ASSERT_EQ(c.Status(Register("kept")), true);
    ASSERT_EQ(first.Stop(SIGTERM), 0) << first.Stderr();
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = dir + "/notify";
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  path.copy(addr.sun_path, path.size());
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  // The next state the server sends, or "" after ten seconds.
  auto next = [fd] {
    pollfd p{fd, POLLIN, 0};
    char buf[512];
    if (poll(&p, 1, 10000 * kSlowdown) != 1) return std::string();
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  };
  Child srv;
  ASSERT_TRUE(srv.Start({PARLEYD_PATH, "--port", "0", "--data-dir", dir + "/data"},
                        {"", false, 0, {"NOTIFY_SOCKET=" + path}}));
  EXPECT_EQ(next(), "STATUS=recovering the history from " + dir + "/data");
  const std::string ready = next();
  std::smatch port;
  ASSERT_TRUE(std::regex_match(ready, port, std::regex("READY=1\nSTATUS=listening on port ([0-9]+)"))) << ready;
  Peer c;  // at once: the port takes connections and the history is back
  ASSERT_TRUE(c.Connect(std::stoi(port[1]), After(100ms)));
  EXPECT_EQ(c.Status(Register("kept")), false);
  EXPECT_EQ(srv.Stop(SIGTERM), 0) << srv.Stderr();
  EXPECT_EQ(next(), "STOPPING=1\nSTATUS=shutting down");
  close(fd);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace parley::test
