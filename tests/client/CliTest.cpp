// The `parley` binary against the real server, in its every mode.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "ServerProcess.h"
#include "parley/Client.h"
#include <parley/Version.h>

namespace parley {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::RunProcess;
using test::RunResult;
using test::Terminal;
using test::Unique;

// `line` split at its spaces.
std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), {}};
}

class CliTest : public test::SharedServerTest {
 protected:
  // Runs `parley --port P args...` with `input` on stdin.
  static RunResult Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {PARLEY_CLI_PATH, "--port", std::to_string(port())});
    return RunProcess(args, input);
  }
  // The ids of `chat`, through the library.
  static std::vector<MessageId> Ids(const std::string& chat) {
    Client c;
    if (!c.Connect("127.0.0.1", static_cast<uint16_t>(port()))) return {};
    return c.List(chat).value;
  }
};

TEST_F(CliTest, StatusCommandsPrintOkOrExitOneWithAReason) {
  const std::string a = Unique("alice"), b = Unique("bob"), room = Unique("room"), other = Unique("other");
  const std::string ghost = Unique("ghost"), nowhere = Unique("nowhere");
  struct Step {
    std::vector<std::string> args;
    int exit_status;
    std::string reason;  // expected on stderr after "parley: refused: ", for exit status 1
  };
  const Step steps[] = {
      {{"register", a}, 0, ""},
      {{"register", a}, 1, "the user name is already registered (or the server takes only 'signup')"},
      {{"register", b}, 0, ""},
      {{"create", ghost, room}, 1, "user not registered or chat name already taken"},
      {{"create", a, room}, 0, ""},
      {{"create", b, other}, 0, ""},
      {{"join", b, nowhere}, 1, "user not registered or no such chat"},
      {{"join", b, room}, 0, ""},
      {{"send", a, nowhere, "hi"}, 1, "user not registered, no such chat or not a member of the chat"},
      {{"send", a, room, "hello", "world"}, 0, ""},
      {{"send", ghost, room, "hi"}, 1, "user not registered, no such chat or not a member of the chat"},
      {{"edit", b, room, "1", "x"}, 1, "not a member of the chat or no such message of the user"},
      {{"forward", b, room, nowhere, "1"}, 1, "no such message, or not a member of the target chat"},
      {{"delete", ghost, room, "1"}, 1, "no such message of the user in the chat"},
      {{"list", nowhere}, 1, "no such chat"},
      {{"history", nowhere}, 1, "no such chat"},
      {{"chat", ghost, room}, 1, "user '" + ghost + "' is not registered (try 'parley register " + ghost + "')"},
  };
  for (const Step& s : steps) {
    RunResult r = Run(s.args);
    std::string cmd = s.args[0] + " " + s.args[1];
    EXPECT_EQ(r.exit_status, s.exit_status) << cmd << "\n" << r.err;
    if (s.exit_status == 0) {
      EXPECT_EQ(r.out, "ok\n") << cmd;
      EXPECT_EQ(r.err, "") << cmd;
    } else {
      EXPECT_EQ(r.out, "") << cmd;
      EXPECT_EQ(r.err, "parley: refused: " + s.reason + "\n") << cmd;
    }
  }
}

TEST_F(CliTest, DataCommandsInTextAndJson) {
  const std::string a = Unique("alice"), b = Unique("bob"), room = Unique("room"), other = Unique("other");
  ASSERT_EQ(Run({"register", a}).exit_status, 0);
  ASSERT_EQ(Run({"register", b}).exit_status, 0);
  ASSERT_EQ(Run({"create", a, room}).exit_status, 0);
  ASSERT_EQ(Run({"create", b, other}).exit_status, 0);
  ASSERT_EQ(Run({"send", a, room, "first"}).exit_status, 0);
  ASSERT_EQ(Run({"send", a, room, "say \"hi\"\tnow"}).exit_status, 0);
  auto ids = Ids(room);
  ASSERT_EQ(ids.size(), 2u);
  const std::string id0 = std::to_string(ids[0]), id1 = std::to_string(ids[1]);

  RunResult list = Run({"list", room});
  EXPECT_EQ(list.exit_status, 0);
  EXPECT_EQ(list.out, id0 + "\n" + id1 + "\n");
  EXPECT_EQ(Run({"--json", "list", room}).out, "{\"id\":" + id0 + "}\n{\"id\":" + id1 + "}\n");

  EXPECT_EQ(Run({"get", room, id0}).out, a + "\nfirst\n");
  EXPECT_EQ(Run({"--json", "get", room, id1}).out,
            "{\"id\":" + id1 + ",\"sender\":\"" + a + "\",\"body\":\"say \\\"hi\\\"\\tnow\"}\n");
  RunResult missing = Run({"get", room, std::to_string(ids[1] + 4242)});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.err, "parley: refused: no such chat or no such message\n");

  EXPECT_EQ(Run({"history", room}).out, id0 + " " + a + ": first\n" + id1 + " " + a + ": say \"hi\"\tnow\n");
  EXPECT_EQ(Run({"history", room, "--last", "1"}).out, id1 + " " + a + ": say \"hi\"\tnow\n");
  EXPECT_EQ(Run({"--json", "history", "--last=1", room}).out,
            "{\"id\":" + id1 + ",\"sender\":\"" + a + "\",\"body\":\"say \\\"hi\\\"\\tnow\"}\n");
  EXPECT_EQ(Run({"history", room, "--last", "0"}).out, "");

  EXPECT_EQ(Run({"edit", a, room, id0, "first,", "edited"}).out, "ok\n");
  EXPECT_EQ(Run({"get", room, id0}).out, a + "\nfirst, edited\n");
  EXPECT_EQ(Run({"forward", b, room, other, id0}).out, "ok\n");
  auto copies = Ids(other);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(Run({"history", other}).out, std::to_string(copies[0]) + " " + b + ": first, edited\n");
  EXPECT_EQ(Run({"delete", a, room, id0}).out, "ok\n");
  EXPECT_EQ(Run({"list", room}).out, id1 + "\n");
  EXPECT_EQ(Run({"--json", "send", a, room, "x"}).out, "{\"status\":\"ok\"}\n");
}

TEST_F(CliTest, SendFromStdinIsBinarySafe) {
  const std::string a = Unique("alice"), room = Unique("room");
  ASSERT_EQ(Run({"register", a}).exit_status, 0);
  ASSERT_EQ(Run({"create", a, room}).exit_status, 0);
  std::string body;
  for (int i = 0; i < 256; ++i) body += static_cast<char>(i);
  body += std::string("\0\0end\r\n", 7);
  RunResult sent = Run({"send", a, room, "-"}, body);
  ASSERT_EQ(sent.exit_status, 0) << sent.err;
  auto ids = Ids(room);
  ASSERT_EQ(ids.size(), 1u);
  RunResult got = Run({"get", room, std::to_string(ids[0])});
  EXPECT_EQ(got.out, a + "\n" + body + "\n");
  // The terminal rendering escapes what could drive a terminal.
  RunResult hist = Run({"history", room});
  EXPECT_EQ(hist.out.find('\x1b'), std::string::npos);
  EXPECT_NE(hist.out.find("\\x1b"), std::string::npos);
  EXPECT_EQ(std::count(hist.out.begin(), hist.out.end(), '\n'), 1);

  // A request holds at most 3200 bytes: the type, the names and the body,
  // each field with an 8-byte length (an edit adds the id). A body that fits
  // exactly is sent; one byte more is a usage error naming the limit, unsent.
  const size_t send_max = 3200 - 32 - a.size() - room.size(), edit_max = send_max - 8;
  EXPECT_EQ(Run({"send", a, room, "-"}, std::string(send_max, 'x')).exit_status, 0);
  EXPECT_EQ(Run({"edit", a, room, std::to_string(ids[0]), "-"}, std::string(edit_max, 'y')).exit_status, 0);
  for (const auto& [args, max] : {std::pair{Words("send " + a + " " + room + " -"), send_max},
                                  {Words("edit " + a + " " + room + " " + std::to_string(ids[0]) + " -"), edit_max}}) {
    RunResult big = Run(args, std::string(max + 1, 'z'));
    EXPECT_EQ(big.exit_status, 2) << args[0];
    EXPECT_NE(big.err.find("at most " + std::to_string(max) + " fit"), std::string::npos) << big.err;
  }
  EXPECT_EQ(Ids(room).size(), 2u);
  EXPECT_EQ(Run({"get", room, std::to_string(ids[0])}).out, a + "\n" + std::string(edit_max, 'y') + "\n");
}

// Usage errors exit 2 with a reason and no output; help, at every level, exits 0.
TEST_F(CliTest, UsageErrorsExitTwoAndHelpZero) {
  for (const char* line : {"send alice room", "register", "register a b", "edit alice room notanumber text",
                           "get room 12x", "history room --last", "history room --last -1", "history room other",
                           "frobnicate", "--bogus list room", "--port", "--port 99999 list room", "help frobnicate",
                           "watch alice room extra"}) {
    RunResult r = Run(Words(line));
    EXPECT_EQ(r.exit_status, 2) << line;
    EXPECT_EQ(r.out, "") << line;
    EXPECT_TRUE(r.err.starts_with("parley: ")) << r.err;
  }
  for (const char* line :
       {"--help", "-h", "help", "help send", "send --help", "history -h", "chat --help", "watch --help"}) {
    RunResult r = Run(Words(line));
    EXPECT_EQ(r.exit_status, 0) << line;
    EXPECT_TRUE(r.out.starts_with("Usage: parley")) << r.out;
    EXPECT_EQ(r.err, "");
  }
  EXPECT_NE(Run({"chat", "--help"}).out.find("/forward ID CHAT"), std::string::npos);
}

// With --json a failure is also one object on stdout, with the exit status and
// the reason printed on stderr; a failure before --json is seen prints none.
TEST_F(CliTest, JsonFailuresAreObjectsOnStdout) {
  const std::string closed = std::to_string(test::ClosedLoopbackPort());
  const struct {
    std::string line;
    int exit_status;
    std::string status;  // empty: no object
  } cases[] = {
      {"--json list " + Unique("nowhere"), 1, "refused"},
      {"--json get room 12x", 2, "usage"},
      {"--json --bogus list room", 2, "usage"},
      {"--json list", 2, "usage"},
      {"--port=" + closed + " --json list room", 3, "unreachable"},
      {"watch alice --json", 2, "usage"},
      {"--bogus --json list room", 2, ""},
  };
  for (const auto& c : cases) {
    RunResult r = Run(Words(c.line));
    EXPECT_EQ(r.exit_status, c.exit_status) << c.line;
    std::string reason = r.err.substr(0, r.err.size() - 1);  // "parley: [refused: ]REASON\n"
    for (const char* prefix : {"parley: ", "refused: "})
      if (reason.starts_with(prefix)) reason.erase(0, std::strlen(prefix));
    EXPECT_EQ(r.out, c.status.empty() ? "" : "{\"status\":\"" + c.status + "\",\"exit\":" +
                                             std::to_string(c.exit_status) + ",\"error\":\"" + reason + "\"}\n")
        << c.line;
  }
}

// Every program: --help and --version on stdout with status 0; a bad command
// line, a flag without its value and a bad "--flag=value" exit 2 with the reason on stderr.
TEST(Programs, HelpVersionAndUsageErrors) {
  const struct {
    const char* path;
    std::string name, bad_port;
  } programs[] = {{PARLEYD_PATH, "parleyd", "invalid value for --port: x"},
                  {PARLEY_CLI_PATH, "parley", "--port needs a port number"},
                  {PARLEY_BENCH_PATH, "parley-bench", "bad value 'x' for --port"}};
  for (const auto& p : programs) {
    const struct {
      std::vector<std::string> args;
      int exit_status;
      std::string out, err;  // expected at the start of stdout, and within stderr
    } cases[] = {
        {{"--help"}, 0, "Usage: " + p.name + " [", ""},
        {{"-h"}, 0, "Usage: " + p.name + " [", ""},
        {{"--version"}, 0, p.name + " " + PARLEY_VERSION + "\n", ""},
        {{"--bogus"}, 2, "", p.name + ": "},
        {{"--version=1"}, 2, "", "--version takes no value"},
        {{"--port"}, 2, "", "--port needs a value"},
        {{"--port=x"}, 2, "", p.bad_port},
    };
    for (const auto& c : cases) {
      std::vector<std::string> argv{p.path};
      argv.insert(argv.end(), c.args.begin(), c.args.end());
      RunResult r = RunProcess(argv);
      EXPECT_EQ(r.exit_status, c.exit_status) << p.name << " " << c.args[0];
      EXPECT_TRUE(r.out.starts_with(c.out)) << p.name << " " << c.args[0] << ": " << r.out;
      EXPECT_NE(r.err.find(c.err), std::string::npos) << p.name << " " << c.args[0] << ": " << r.err;
      if (c.exit_status == 0) EXPECT_EQ(r.err, "") << p.name;
      else EXPECT_EQ(r.out, "") << p.name;
    }
  }
}

// "--" ends the options: the text may then look like one.
TEST_F(CliTest, DoubleDashEndsTheOptions) {
  const std::string a = Unique("alice"), room = Unique("room");
  ASSERT_EQ(Run({"register", a}).exit_status, 0);
  ASSERT_EQ(Run({"create", a, room}).exit_status, 0);
  EXPECT_EQ(Run({"send", a, room, "--", "--help"}).out, "ok\n");
  auto ids = Ids(room);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(Run({"get", room, std::to_string(ids[0])}).out, a + "\n--help\n");
}

TEST_F(CliTest, UnreachableServerExitsThree) {
  const int closed = test::ClosedLoopbackPort();
  ASSERT_GT(closed, 0);
  const std::string port = std::to_string(closed);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"register", "alice"}, {"list", "room"}, {"history", "a"}, {"chat", "alice", "room"}, {"watch", "a", "b"}}) {
    std::vector<std::string> argv{PARLEY_CLI_PATH, "--host", "127.0.0.1", "--port", port};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = RunProcess(argv);
    EXPECT_EQ(r.exit_status, 3) << args[0];
    EXPECT_TRUE(r.err.starts_with("parley: cannot reach the server")) << r.err;
  }
}

TEST_F(CliTest, ShellRunsCommandsFromItsInput) {
  const std::string a = Unique("alice"), room = Unique("room");
  RunResult r = Run({}, "register " + a + "\n\ncreate " + a + " " + room + "\nsend " + a + " " + room +
                            " 'two  spaces' and \"a \\\"quote\\\"\"\nhistory " + room +
                            " --last 1\nlist nowhere-" + room + "\nquit\nregister never-run\n");
  EXPECT_EQ(r.exit_status, 1);  // the status of the last command
  auto ids = Ids(room);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(r.out, "ok\nok\nok\n" + std::to_string(ids[0]) + " " + a + ": two  spaces and a \"quote\"\n");
  EXPECT_EQ(r.err, "parley: refused: no such chat\n");
}

// `watch` prints each event on one line as it happens, as text and as JSON, until interrupted.
TEST_F(CliTest, WatchPrintsEveryEventAsItHappens) {
  const std::string a = Unique("alice"), room = Unique("room");
  ASSERT_EQ(Run({"register", a}).exit_status, 0);
  ASSERT_EQ(Run({"create", a, room}).exit_status, 0);
  EXPECT_EQ(Run({"watch", Unique("ghost"), room}).err,
            "parley: refused: user not registered, no such chat or not a member of the chat\n");
  test::Child text, json;
  ASSERT_TRUE(text.Start({PARLEY_CLI_PATH, "--port", std::to_string(port()), "watch", a, room}, {}));
  ASSERT_TRUE(json.Start({PARLEY_CLI_PATH, "--port", std::to_string(port()), "watch", a, room, "--json"}, {}));
  for (test::Child* w : {&text, &json}) ASSERT_NE(w->WaitFor("watching", true, 10s), std::string::npos) << w->Stderr();
  ASSERT_EQ(Run({"send", a, room, "say \"hi\"\tnow\n"}).exit_status, 0);
  const std::string id = std::to_string(Ids(room).at(0)), head = "{\"event\":";
  ASSERT_EQ(Run({"edit", a, room, id, "yo"}).exit_status, 0);
  ASSERT_EQ(Run({"delete", a, room, id}).exit_status, 0);
  for (test::Child* w : {&text, &json}) {
    EXPECT_NE(w->WaitFor("delete", false, 10s), std::string::npos) << w->Stdout();
    EXPECT_EQ(w->Stop(SIGINT), 0);
  }
  EXPECT_EQ(text.Stdout(),
            "message " + id + " " + a + ": say \"hi\"\tnow\\n\nedit " + id + ": yo\ndelete " + id + "\n");
  const std::string where = "\"chat\":\"" + room + "\",\"id\":" + id;
  EXPECT_EQ(json.Stdout(), head + "\"message\"," + where + ",\"sender\":\"" + a +
                               "\",\"body\":\"say \\\"hi\\\"\\tnow\\n\"}\n" + head + "\"edit\"," + where +
                               ",\"body\":\"yo\"}\n" + head + "\"delete\"," + where + "}\n");
}

// A server that requires log-ins: accounts come from signup, commands log in with --user
// (the secret from a file or the environment), a wrong or missing log-in is refused, and
// no secret ever shows in the output.
TEST(CliAuthTest, CommandsLogInWithTheSecretFromEachSource) {
  test::ServerProcess server;
  ASSERT_TRUE(server.Start({"--auth", "required"})) << server.Stderr();
  const std::string dir = ::testing::TempDir(), good = dir + "parley-good", bad = dir + "parley-bad",
                    fresh = dir + "parley-fresh", none = "parley: no secret: give --secret-file FILE, set "
                                                           "PARLEY_SECRET, or run on a terminal\n";
  const std::string refused = "parley: refused: cannot log in as 'alice': no such user or wrong secret\n";
  for (const auto& [file, text] : {std::pair{good, "g00d secret\nignored\n"s}, {bad, "wr0ng\n"s}, {fresh, "n\0w"s}})
    std::ofstream(file, std::ios::binary) << text;
  const std::string ok = "ok\n", as_alice = "--user=alice";
  const struct {
    std::vector<std::string> args;
    std::string env;  // NAME=value, or empty
    int exit_status;
    std::string out, err;
  } steps[] = {
      {{"--secret-file", good, "signup", "alice"}, "", 0, ok, ""},
      {{"signup", "bob"}, "", 2, "", none},
      {{"register", "bob"}, "", 1, "", "parley: refused: the user name is already registered (or the server takes only 'signup')\n"},
      {{"create", "alice", "room"}, "", 1, "", "parley: refused: user not registered or chat name already taken\n"},
      {{as_alice, "--secret-file", good, "create", "alice", "room"}, "", 0, ok, ""},
      {{as_alice, "send", "alice", "room", "hi"}, "PARLEY_SECRET=g00d secret", 0, ok, ""},
      {{as_alice, "list", "room"}, "", 2, "", none},
      {{as_alice, "--secret-file", bad, "list", "room"}, "", 1, "", refused},
      {{as_alice, "--secret-file", bad, "passwd", "alice"}, "PARLEY_NEW_SECRET=x", 1, "", refused},
      {{"--json", "--secret-file", good, "--new-secret-file", fresh, "passwd", "alice"}, "", 0, "{\"status\":\"ok\"}\n", ""},
      {{as_alice, "--secret-file", good, "join", "alice", "room"}, "", 1, "", refused},
      {{as_alice, "--secret-file", fresh, "join", "alice", "room"}, "", 0, ok, ""},
      {{as_alice, "--secret-file", fresh, "join", "bob", "room"}, "", 1, "", "parley: refused: user not registered or no such chat\n"},
  };
  for (const auto& s : steps) {
    std::vector<std::string> argv{PARLEY_CLI_PATH, "--port", std::to_string(server.port())};
    argv.insert(argv.end(), s.args.begin(), s.args.end());
    test::Child cli;
    ASSERT_TRUE(cli.Start(argv, {"", false, 0, s.env.empty() ? std::vector<std::string>{} : std::vector{s.env}}));
    const int status = cli.Wait(60s);
    const std::string what = s.args[s.args.size() - 2] + " " + s.args.back(), all = cli.Stdout() + cli.Stderr();
    EXPECT_EQ(status, s.exit_status) << what;
    EXPECT_EQ(cli.Stdout(), s.out) << what;
    EXPECT_EQ(cli.Stderr(), s.err) << what;
    for (const std::string& secret : {"g00d"s, "wr0ng"s, "n\0w"s})
      EXPECT_EQ(all.find(secret), std::string::npos) << what;
  }
}

// On pseudo-terminals, with a server of the test's own where "alice" and "bob" are registered.
class ChatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start()) << server_.Stderr();
    Client c;
    ASSERT_TRUE(c.Connect("127.0.0.1", static_cast<uint16_t>(server_.port())));
    for (const char* user : {"alice", "bob"}) ASSERT_TRUE(c.Register(user));
  }

  std::vector<std::string> Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {PARLEY_CLI_PATH, "--port", std::to_string(server_.port())});
    return args;
  }
  // The id of message `i` of `chat`, as text.
  std::string Id(const std::string& chat, size_t i) {
    Client c;
    const bool up = c.Connect("127.0.0.1", static_cast<uint16_t>(server_.port())).ok();
    auto ids = up ? c.List(chat).value : std::vector<MessageId>{};
    return i < ids.size() ? std::to_string(ids[i]) : "?";
  }

  test::ServerProcess server_;
};

TEST_F(ChatTest, TwoUsersInOneRoomSeeEachOthersLines) {
  Terminal alice, bob;
  ASSERT_TRUE(alice.Start(Cli({"chat", "alice", "room"})));
  ASSERT_TRUE(alice.WaitFor("* created chat room")) << alice.Stdout();
  ASSERT_TRUE(alice.WaitFor("alice@room> ")) << alice.Stdout();
  ASSERT_TRUE(bob.Start(Cli({"chat", "bob", "room"})));
  ASSERT_TRUE(bob.WaitFor("bob@room> ")) << bob.Stdout();

  alice.Type("hello from alice\r");
  ASSERT_TRUE(bob.WaitFor(" alice: hello from alice")) << bob.Stdout();
  const std::string first = Id("room", 0);  // the rooms show the server's ids
  EXPECT_TRUE(alice.WaitFor(first + " alice: hello from alice")) << alice.Stdout();

  // A message arriving while Bob types is printed above his line, which comes back intact.
  bob.Type("half a li");
  ASSERT_TRUE(bob.WaitFor("half a li")) << bob.Stdout();
  alice.Type("are you there?\r");
  EXPECT_TRUE(bob.WaitFor(" alice: are you there?\r\nbob@room> half a li")) << bob.Stdout();
  bob.Type("ne\r");
  EXPECT_TRUE(alice.WaitFor(" bob: half a line")) << alice.Stdout();
  const std::string second = Id("room", 1), third = Id("room", 2);

  alice.Type("/edit " + second + " still there?\r");
  EXPECT_TRUE(bob.WaitFor(second + " alice (edited): still there?")) << bob.Stdout();
  bob.Type("/delete " + third + "\r");
  EXPECT_TRUE(alice.WaitFor("* " + third + " by bob was deleted")) << alice.Stdout();
  bob.Type("/delete " + first + "\r");  // not his message: accepted and ignored, or refused
  bob.Type("/edit 9x nothing\r");
  EXPECT_TRUE(bob.WaitFor("! not a message id: 9x")) << bob.Stdout();

  alice.Type("\x03");  // Ctrl-C leaves
  EXPECT_EQ(alice.Wait(), 0) << alice.Stdout();
  bob.Type("\x04");  // Ctrl-D on an empty line
  EXPECT_EQ(bob.Wait(), 0) << bob.Stdout();

  Client c;
  ASSERT_TRUE(c.Connect("127.0.0.1", static_cast<uint16_t>(server_.port())));
  auto ids = c.List("room");
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids.value.size(), 2u);  // bob's message is gone, alice's first one is not
}

// A room whose server restarts says so, comes back by itself and shows what it missed, once.
TEST_F(ChatTest, RoomReconnectsAndCatchesUp) {
  const std::string dir = ::testing::TempDir() + "parley-chat-reconnect";
  std::filesystem::remove_all(dir);
  test::ServerProcess durable;
  ASSERT_TRUE(durable.Start({"--data-dir", dir, "--auth", "required"})) << durable.Stderr();
  const std::string port = std::to_string(durable.port());
  Client c;  // the room must log in again after reconnecting, or it may not subscribe
  ASSERT_TRUE(c.Connect("127.0.0.1", static_cast<uint16_t>(durable.port())) && c.RegisterWithSecret("alice", "pw") &&
              c.Login("alice", "pw") && c.CreateChat("alice", "room") && c.Send("alice", "room", "before"));
  const std::string before = std::to_string(c.List("room").value.at(0));
  Terminal alice;
  ASSERT_TRUE(alice.Start({PARLEY_CLI_PATH, "--port", port, "--user", "alice", "chat", "alice", "room"}, {"PARLEY_SECRET=pw"}));
  ASSERT_TRUE(alice.WaitFor(before + " alice: before")) << alice.Stdout();
  ASSERT_EQ(durable.Stop(SIGTERM), 0);
  EXPECT_TRUE(alice.WaitFor("! connection to 127.0.0.1:" + port + " lost")) << alice.Stdout();
  ASSERT_TRUE(durable.Start({"--port", port, "--data-dir", dir, "--auth", "required"})) << durable.Stderr();
  // One step at a time: a failure names its step, the client's reason and the server's side.
  auto step = [&](const char* what, const auto& r) {
    return r ? ::testing::AssertionSuccess()
             : ::testing::AssertionFailure() << what << ": " << r.error << "\n" << durable.Stderr();
  };
  ASSERT_TRUE(step("connect", c.Connect("127.0.0.1", static_cast<uint16_t>(durable.port()))));
  ASSERT_TRUE(step("log in", c.Login("alice", "pw")));
  ASSERT_TRUE(step("send", c.Send("alice", "room", "missed")));
  ASSERT_TRUE(step("edit", c.Edit("alice", "room", std::stoll(before), "changed")));
  // Caught up after the reconnection or pushed after it, in either order.
  const std::string back = "* back on 127.0.0.1:" + port;
  for (const std::string& line : {before + " alice (edited): changed", std::string(" alice: missed"), back})
    EXPECT_NE(alice.Child::WaitFor(line, false, 15s), std::string::npos) << line << "\n" << alice.Stdout();
  alice.Type("/quit\r");
  EXPECT_EQ(alice.Wait(), 0) << alice.Stdout();
  EXPECT_EQ(alice.Stdout().find("missed"), alice.Stdout().rfind("missed")) << alice.Stdout();
  std::filesystem::remove_all(dir);
}

// Typed secrets are not echoed; signup asks twice and insists on the same answer.
TEST_F(ChatTest, SecretsTypedOnTheTerminal) {
  Terminal signup, mismatch, room;
  ASSERT_TRUE(signup.Start(Cli({"signup", "carol"})));
  for (const char* prompt : {"Secret for carol: ", "Again: "}) {
    ASSERT_TRUE(signup.WaitFor(prompt)) << signup.Stdout();
    signup.Type("t0ps3cret\r");
  }
  EXPECT_EQ(signup.Wait(), 0) << signup.Stdout();
  ASSERT_TRUE(mismatch.Start(Cli({"signup", "dave"})));
  for (const char* typed : {"0ne\r", "tw0\r"}) {
    ASSERT_TRUE(mismatch.WaitFor(": ")) << mismatch.Stdout();
    mismatch.Type(typed);
  }
  EXPECT_EQ(mismatch.Wait(), 2);
  EXPECT_NE(mismatch.Stdout().find("parley: the two secrets typed differ"), std::string::npos) << mismatch.Stdout();
  ASSERT_TRUE(room.Start(Cli({"--user", "carol", "chat", "carol", "lounge"})));
  ASSERT_TRUE(room.WaitFor("Secret for carol: ")) << room.Stdout();
  room.Type("t0ps3cret\r");
  ASSERT_TRUE(room.WaitFor("carol@lounge> ")) << room.Stdout();
  room.Type("/quit\r");
  EXPECT_EQ(room.Wait(), 0);
  for (Terminal* t : {&signup, &mismatch, &room}) EXPECT_EQ(t->Stdout().find("s3cret"), std::string::npos);
  EXPECT_EQ(mismatch.Stdout().find("tw0"), std::string::npos);
}

// The shell completes and runs commands, and runs the chat room, which shows
// the history first, takes "//" for a leading "/", and forwards.
TEST_F(ChatTest, InteractiveShellCompletesAndRunsCommands) {
  Terminal shell;
  const std::string home = ::testing::TempDir();
  ASSERT_TRUE(shell.Start(Cli({}), {"HOME=" + home}));
  ASSERT_TRUE(shell.WaitFor("parley> ")) << shell.Stdout();
  shell.Type("regis\t");  // completes the command name
  ASSERT_TRUE(shell.WaitFor("register ")) << shell.Stdout();
  shell.Type("carol\r");
  EXPECT_TRUE(shell.WaitFor("ok\r\n")) << shell.Stdout();
  shell.Type("register carol\r");
  EXPECT_TRUE(shell.WaitFor("parley: refused: the user name is already registered")) << shell.Stdout();
  shell.Type("create carol elsewhere\rcreate carol lounge\rsend carol lounge from before\r");
  shell.Type("chat carol lounge\r");
  ASSERT_TRUE(shell.WaitFor("carol@lounge> ")) << shell.Stdout();
  const std::string id = Id("lounge", 0);
  EXPECT_NE(shell.Stdout().find(id + " carol: from before"), std::string::npos) << shell.Stdout();
  shell.Type("//slash\r");
  EXPECT_TRUE(shell.WaitFor(" carol: /slash")) << shell.Stdout();
  shell.Type("/forward " + id + " elsewhere\r");
  EXPECT_TRUE(shell.WaitFor("* forwarded " + id + " (written by carol) to elsewhere")) << shell.Stdout();
  shell.Type("/frob\r");
  EXPECT_TRUE(shell.WaitFor("! unknown command /frob")) << shell.Stdout();
  shell.Type("/quit\r");
  ASSERT_TRUE(shell.WaitFor("parley> ")) << shell.Stdout();
  shell.Type("history elsewhere\r");
  EXPECT_TRUE(shell.WaitFor(" carol: from before\r\n")) << shell.Stdout();
  shell.Type("quit\r");
  EXPECT_EQ(shell.Wait(), 0) << shell.Stdout();
}

}  // namespace
}  // namespace parley
