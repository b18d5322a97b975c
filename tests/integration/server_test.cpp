// The server process itself: start-up, its texts, framing over a real
// socket, shutdown.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "Peer.h"
#include "Process.h"
#include "ServerProcess.h"

namespace parley::test {
namespace {

TEST(Server, PrintsAcceptedAndRejectsUndecodableFrames) {
  ServerProcess srv;
  ASSERT_TRUE(srv.Start()) << srv.Stderr();
  Peer c;
  ASSERT_TRUE(c.Connect(srv.port()));
  ASSERT_TRUE(srv.WaitStdout("Accepted "));
  EXPECT_TRUE(std::regex_search(srv.Stdout(), std::regex("^Accepted [0-9]+\n")));

  // Unknown type code, a payload shorter than a type code, a body that does
  // not decode: each is dropped without a reply.
  ASSERT_TRUE(c.Send(BuildFrame(9) + RawFrame("1234567") + BuildFrame(wire::EV_REGISTER)));
  EXPECT_TRUE(srv.WaitStdout("error read msgerror read msgerror read msg"));
  EXPECT_TRUE(c.Quiet());
  EXPECT_EQ(c.Status(Register("after")), true);  // the connection is still good
}

// Frames are reassembled however the bytes arrive, up to the largest
// payload (3200 bytes); one byte more is dropped unanswered.
TEST(Server, FramesArriveInAnyPiecesUpToTheLargest) {
  ServerProcess srv;
  ASSERT_TRUE(srv.Start()) << srv.Stderr();
  Peer c;
  ASSERT_TRUE(c.Connect(srv.port()));
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
  // (What follows the rejected length prefix is read as further frames.)
  ASSERT_TRUE(c.Send(SendReq("slow", "big", body + "x")));
  EXPECT_TRUE(c.Quiet()) << "a 3201-byte payload must be dropped";
  Peer other;
  ASSERT_TRUE(other.Connect(srv.port()));
  EXPECT_EQ(other.List("big"), *ids);
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
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << r.err;
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

}  // namespace
}  // namespace parley::test
