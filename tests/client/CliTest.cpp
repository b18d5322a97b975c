// The `parley` binary: its commands, outputs and exit statuses, run as a
// separate process against the real server.
#include <gtest/gtest.h>

#include <algorithm>

#include "ServerProcess.h"
#include "parley/Client.h"

namespace parley {
namespace {

using test::RunProcess;
using test::RunResult;

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<test::ServerProcess>();
    ASSERT_TRUE(server_->Start()) << server_->Stderr();
  }
  static void TearDownTestSuite() { server_.reset(); }

  // Runs `parley --port P args...` with `input` on stdin.
  static RunResult Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {PARLEY_CLI_PATH, "--port", std::to_string(server_->port())});
    return RunProcess(args, input);
  }
  static std::string Name(const std::string& base) {
    return base + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  // The ids of `chat`, through the library.
  static std::vector<MessageId> Ids(const std::string& chat) {
    Client c;
    if (!c.Connect("127.0.0.1", static_cast<uint16_t>(server_->port()))) return {};
    return c.List(chat).value;
  }

  static std::unique_ptr<test::ServerProcess> server_;
};
std::unique_ptr<test::ServerProcess> CliTest::server_;

TEST_F(CliTest, StatusCommandsPrintOkOrExitOneWithAReason) {
  const std::string a = Name("alice"), b = Name("bob"), room = Name("room"), other = Name("other");
  struct Step {
    std::vector<std::string> args;
    int exit_status;
    const char* reason;  // expected on stderr after "parley: refused: ", for exit status 1
  };
  const Step steps[] = {
      {{"register", a}, 0, ""},
      {{"register", a}, 1, "the user name is already registered"},
      {{"register", b}, 0, ""},
      {{"create", Name("ghost"), room}, 1, "user not registered or chat name already taken"},
      {{"create", a, room}, 0, ""},
      {{"create", b, other}, 0, ""},
      {{"join", b, Name("nowhere")}, 1, "user not registered or no such chat"},
      {{"join", b, room}, 0, ""},
      {{"send", a, Name("nowhere"), "hi"},
       1,
       "user not registered, no such chat or not a member of the chat"},
      {{"send", a, room, "hello", "world"}, 0, ""},
      {{"send", Name("ghost"), room, "hi"},
       1,
       "user not registered, no such chat or not a member of the chat"},
      {{"edit", b, room, "1", "x"}, 1, "not a member of the chat or no such message of the user"},
      {{"forward", b, room, Name("nowhere"), "1"}, 1, "no such message, or not a member of the target chat"},
      {{"delete", Name("ghost"), room, "1"}, 1, "no such message of the user in the chat"},
      {{"list", Name("nowhere")}, 1, "no such chat"},
      {{"history", Name("nowhere")}, 1, "no such chat"},
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
      EXPECT_EQ(r.err, std::string("parley: refused: ") + s.reason + "\n") << cmd;
    }
  }
}

TEST_F(CliTest, DataCommandsInTextAndJson) {
  const std::string a = Name("alice"), b = Name("bob"), room = Name("room"), other = Name("other");
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

  // Edit, forward and delete, seen through the data commands.
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
  const std::string a = Name("alice"), room = Name("room");
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

  // A body too large for one request is a usage error; nothing is sent.
  RunResult big = Run({"send", a, room, "-"}, std::string(4000, 'x'));
  EXPECT_EQ(big.exit_status, 2);
  EXPECT_NE(big.err.find("3200"), std::string::npos) << big.err;
  EXPECT_EQ(Ids(room).size(), 1u);
}

TEST_F(CliTest, UsageErrorsExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"send", "alice", "room"},
      {"register"},
      {"register", "a", "b"},
      {"edit", "alice", "room", "notanumber", "text"},
      {"get", "room", "12x"},
      {"history", "room", "--last"},
      {"history", "room", "--last", "-1"},
      {"history", "room", "other"},
      {"frobnicate"},
      {"--bogus", "list", "room"},
      {"--port"},
      {"--port", "99999", "list", "room"},
      {"help", "frobnicate"},
  };
  for (const auto& args : cases) {
    RunResult r = Run(args);
    EXPECT_EQ(r.exit_status, 2) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_TRUE(r.err.starts_with("parley: ")) << r.err;
  }
}

TEST_F(CliTest, HelpAtEveryLevel) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"},
                                             {"-h"},
                                             {"help"},
                                             {"help", "send"},
                                             {"send", "--help"},
                                             {"history", "-h"},
                                             {"chat", "--help"},
                                             {"list", "room", "--help"}}) {
    RunResult r = Run(args);
    EXPECT_EQ(r.exit_status, 0) << args[0];
    EXPECT_TRUE(r.out.starts_with("usage: parley")) << r.out;
    EXPECT_EQ(r.err, "");
  }
  EXPECT_NE(Run({"chat", "--help"}).out.find("/forward N CHAT"), std::string::npos);
  // "--" ends the options: the text may then look like one.
  const std::string a = Name("alice"), room = Name("room");
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
           {"register", "alice"}, {"list", "room"}, {"history", "room"}, {"chat", "alice", "room"}}) {
    std::vector<std::string> argv{PARLEY_CLI_PATH, "--host", "127.0.0.1", "--port", port};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = RunProcess(argv);
    EXPECT_EQ(r.exit_status, 3) << args[0];
    EXPECT_TRUE(r.err.starts_with("parley: cannot reach the server")) << r.err;
  }
}

TEST_F(CliTest, ShellRunsCommandsFromItsInput) {
  const std::string a = Name("alice"), room = Name("room");
  RunResult r = Run({}, "register " + a + "\n\ncreate " + a + " " + room + "\nsend " + a + " " + room +
                            " 'two  spaces' and \"a \\\"quote\\\"\"\nhistory " + room +
                            " --last 1\nlist nowhere-" + room + "\nquit\nregister never-run\n");
  EXPECT_EQ(r.exit_status, 1);  // the status of the last command
  auto ids = Ids(room);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(r.out, "ok\nok\nok\n" + std::to_string(ids[0]) + " " + a + ": two  spaces and a \"quote\"\n");
  EXPECT_EQ(r.err, "parley: refused: no such chat\n");
}

}  // namespace
}  // namespace parley
