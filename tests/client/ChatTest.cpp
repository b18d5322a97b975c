// The live chat room and the interactive shell, driven through
// pseudo-terminals as a person would use them.
#include <gtest/gtest.h>

#include "ServerProcess.h"
#include "parley/Client.h"

namespace parley {
namespace {

using test::Terminal;

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

  test::ServerProcess server_;
};

TEST_F(ChatTest, TwoUsersInOneRoomSeeEachOthersLines) {
  Terminal alice, bob;
  ASSERT_TRUE(alice.Start(Cli({"chat", "alice", "room"})));
  ASSERT_TRUE(alice.WaitFor("* created chat room")) << alice.output();
  ASSERT_TRUE(alice.WaitFor("alice@room> ")) << alice.output();
  ASSERT_TRUE(bob.Start(Cli({"chat", "bob", "room"})));
  ASSERT_TRUE(bob.WaitFor("bob@room> ")) << bob.output();

  alice.Type("hello from alice\r");
  EXPECT_TRUE(bob.WaitFor("#1 alice: hello from alice")) << bob.output();
  EXPECT_TRUE(alice.WaitFor("#1 alice: hello from alice")) << alice.output();

  // Bob is half-way through a line when Alice's next message arrives: the
  // message is printed above, and his prompt and typing come back intact.
  bob.Type("half a li");
  ASSERT_TRUE(bob.WaitFor("half a li")) << bob.output();
  alice.Type("are you there?\r");
  EXPECT_TRUE(bob.WaitFor("#2 alice: are you there?\r\nbob@room> half a li")) << bob.output();
  bob.Type("ne\r");
  EXPECT_TRUE(alice.WaitFor("#3 bob: half a line")) << alice.output();

  // Edits and deletions reach the other side.
  alice.Type("/edit 2 still there?\r");
  EXPECT_TRUE(bob.WaitFor("#2 alice (edited): still there?")) << bob.output();
  bob.Type("/delete 3\r");
  EXPECT_TRUE(alice.WaitFor("* #3 by bob was deleted")) << alice.output();
  bob.Type("/delete 1\r");  // not his message: accepted and ignored, or refused
  bob.Type("/edit 9 nothing\r");
  EXPECT_TRUE(bob.WaitFor("! no message #9 here")) << bob.output();

  alice.Type("/quit\r");
  EXPECT_EQ(alice.Wait(), 0) << alice.output();
  bob.Type("\x04");  // Ctrl-D on an empty line
  EXPECT_EQ(bob.Wait(), 0) << bob.output();

  Client c;
  ASSERT_TRUE(c.Connect("127.0.0.1", static_cast<uint16_t>(server_.port())));
  auto ids = c.List("room");
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids.value.size(), 2u);  // bob's message is gone, alice's first one is not
}

TEST_F(ChatTest, ForwardAndSlashMessages) {
  Client c;
  ASSERT_TRUE(c.Connect("127.0.0.1", static_cast<uint16_t>(server_.port())));
  ASSERT_TRUE(c.CreateChat("bob", "elsewhere"));
  ASSERT_TRUE(c.JoinChat("alice", "elsewhere"));
  ASSERT_TRUE(c.CreateChat("alice", "room"));
  ASSERT_TRUE(c.Send("alice", "room", "from before"));

  Terminal alice;
  ASSERT_TRUE(alice.Start(Cli({"chat", "alice", "room"})));
  ASSERT_TRUE(alice.WaitFor("#1 alice: from before")) << alice.output();
  ASSERT_TRUE(alice.WaitFor("alice@room> ")) << alice.output();
  alice.Type("//slash\r");
  EXPECT_TRUE(alice.WaitFor("#2 alice: /slash")) << alice.output();
  alice.Type("/forward 1 elsewhere\r");
  EXPECT_TRUE(alice.WaitFor("* forwarded #1 to elsewhere")) << alice.output();
  alice.Type("/frob\r");
  EXPECT_TRUE(alice.WaitFor("! unknown command /frob")) << alice.output();
  alice.Type("\x03");  // Ctrl-C leaves too
  EXPECT_EQ(alice.Wait(), 0) << alice.output();

  auto ids = c.List("elsewhere");
  ASSERT_TRUE(ids);
  ASSERT_EQ(ids.value.size(), 1u);
  auto m = c.Fetch("elsewhere", ids.value[0]);
  EXPECT_EQ(m.value.sender, "alice");
  EXPECT_EQ(m.value.body, "from before");
}

TEST_F(ChatTest, UnregisteredUserIsRefused) {
  Terminal ghost;
  ASSERT_TRUE(ghost.Start(Cli({"chat", "ghost", "room"})));
  EXPECT_EQ(ghost.Wait(), 1) << ghost.output();
  EXPECT_NE(ghost.output().find("parley: refused: user 'ghost' is not registered"), std::string::npos)
      << ghost.output();
}

TEST_F(ChatTest, InteractiveShellCompletesAndRunsCommands) {
  Terminal shell;
  const std::string home = ::testing::TempDir();
  ASSERT_TRUE(shell.Start(Cli({}), {"HOME=" + home}));
  ASSERT_TRUE(shell.WaitFor("parley> ")) << shell.output();
  shell.Type("regis\t");  // completes the command name
  ASSERT_TRUE(shell.WaitFor("register ")) << shell.output();
  shell.Type("carol\r");
  EXPECT_TRUE(shell.WaitFor("ok\r\n")) << shell.output();
  shell.Type("register carol\r");
  EXPECT_TRUE(shell.WaitFor("parley: refused: the user name is already registered")) << shell.output();
  shell.Type("chat carol lounge\r");  // the chat room runs inside the shell
  ASSERT_TRUE(shell.WaitFor("carol@lounge> ")) << shell.output();
  shell.Type("hi\r");
  EXPECT_TRUE(shell.WaitFor("#1 carol: hi")) << shell.output();
  shell.Type("/quit\r");
  ASSERT_TRUE(shell.WaitFor("parley> ")) << shell.output();
  shell.Type("quit\r");
  EXPECT_EQ(shell.Wait(), 0) << shell.output();
}

}  // namespace
}  // namespace parley
