// The server process itself: start-up, its texts, framing over a real
// socket, shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <regex>

#include "ServerProcess.h"
#include "TestClient.h"

namespace parley::test {
namespace {

using namespace std::chrono_literals;

TEST(Server, PrintsAcceptedAndRejectsUndecodableFrames) {
  ServerProcess srv;
  ASSERT_TRUE(srv.Start()) << srv.Stderr();
  TestClient c;
  ASSERT_TRUE(c.Connect(srv.port()));
  ASSERT_TRUE(srv.WaitStdout("Accepted "));
  EXPECT_TRUE(std::regex_search(srv.Stdout(), std::regex("^Accepted [0-9]+\n")));

  // Unknown type code, a payload shorter than a type code, a body that does
  // not decode: each is dropped without a reply.
  std::string bad_code;
  wire::PutU64(bad_code, 9);
  ASSERT_TRUE(c.Send(RawFrame(bad_code) + RawFrame("1234567") + RawFrame(std::string(8, '\0'))));
  EXPECT_TRUE(srv.WaitStdout("error read msgerror read msgerror read msg"));
  EXPECT_TRUE(c.Silent());
  // The connection is still good.
  EXPECT_EQ(c.Status(Register("after")), true);
}

TEST(Server, BadLengthsAreRejectedAtOnceAndTheStreamGoesOn) {
  ServerProcess srv;
  ASSERT_TRUE(srv.Start()) << srv.Stderr();
  TestClient c;
  ASSERT_TRUE(c.Connect(srv.port()));
  std::string stream;
  wire::PutU32(stream, 3201);                     // over the bound: rejected at once
  wire::PutU32(stream, 0);                        // zero: rejected
  wire::PutU32(stream, static_cast<uint32_t>(-5));  // negative: rejected
  wire::PutU32(stream, static_cast<uint32_t>(-1));  // skipped silently
  stream += Register("next");                     // read as the next frame
  ASSERT_TRUE(c.Send(stream));
  EXPECT_EQ(c.ReadStatus(), true);
  EXPECT_TRUE(srv.WaitStdout("error read msgerror read msgerror read msg"));
  EXPECT_EQ(srv.Stdout().find("error read msgerror read msgerror read msgerror"), std::string::npos);
}

TEST(Server, FramesSplitAcrossWritesAndByteByByte) {
  ServerProcess srv;
  ASSERT_TRUE(srv.Start()) << srv.Stderr();
  TestClient c;
  ASSERT_TRUE(c.Connect(srv.port()));
  const std::string f = Register("slow");
  for (char ch : f) {
    ASSERT_TRUE(c.Send(std::string(1, ch)));
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(c.ReadStatus(), true);
  // A full payload of the largest size works end to end.
  const std::string user = "u" + std::string(3200 - 16 - 1, 'x');
  const std::string big = Register(user);
  ASSERT_EQ(big.size(), 3204u);
  EXPECT_EQ(c.Status(big), true);
  EXPECT_EQ(c.Status(big), false);
}

TEST(Server, HalfClosedClientGetsEveryReply) {
  ServerProcess srv;
  ASSERT_TRUE(srv.Start()) << srv.Stderr();
  TestClient c;
  ASSERT_TRUE(c.Connect(srv.port()));
  std::string batch;
  for (int i = 0; i < 200; ++i) batch += Register("half" + std::to_string(i % 100));
  batch += Register("partial").substr(0, 10);  // an incomplete frame at the end is dropped
  ASSERT_TRUE(c.Send(batch));
  c.ShutdownWrite();
  for (int i = 0; i < 200; ++i) ASSERT_EQ(c.ReadStatus(), i < 100) << i;
  EXPECT_TRUE(c.WaitClosed());
}

TEST(Server, PortInUseFailsWithStatusOne) {
  ServerProcess first;
  ASSERT_TRUE(first.Start()) << first.Stderr();
  ServerProcess second;
  EXPECT_EQ(second.RunToExit({"--port", std::to_string(first.port())}), 1);
  EXPECT_NE(second.Stderr().find("cannot bind port"), std::string::npos) << second.Stderr();
  EXPECT_EQ(second.Stdout(), "");
}

TEST(Server, RejectsBadCommandLines) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--port", "70000"},
                                        {"--threads", "0"}, {"--bogus"}, {"--port"}}) {
    ServerProcess srv;
    EXPECT_EQ(srv.RunToExit(args), 2) << args[0];
    EXPECT_NE(srv.Stderr().find("usage:"), std::string::npos);
  }
}

TEST(Server, SigtermAndSigintExitCleanly) {
  for (int sig : {SIGTERM, SIGINT}) {
    ServerProcess srv;
    ASSERT_TRUE(srv.Start({"--threads", "2"})) << srv.Stderr();
    TestClient c;
    ASSERT_TRUE(c.Connect(srv.port()));
    ASSERT_EQ(c.Status(Register("x")), true);
    EXPECT_EQ(srv.Stop(sig), 0) << srv.Stderr();
    EXPECT_TRUE(c.WaitClosed());
  }
}

TEST(Server, ReplyToAClosedConnectionNeverReachesItsSuccessor) {
  ServerProcess srv;
  ASSERT_TRUE(srv.Start()) << srv.Stderr();
  for (int round = 0; round < 20; ++round) {
    {
      TestClient gone;
      ASSERT_TRUE(gone.Connect(srv.port()));
      std::string burst;
      for (int i = 0; i < 300; ++i) burst += GetChatReq("nothing-here");
      ASSERT_TRUE(gone.Send(burst));
    }  // closed with replies still being produced
    TestClient next;  // likely gets the same descriptor number
    ASSERT_TRUE(next.Connect(srv.port()));
    ASSERT_EQ(next.Status(Register("r" + std::to_string(round))), true);
    EXPECT_TRUE(next.Silent(20ms)) << "stray bytes in round " << round;
  }
}

}  // namespace
}  // namespace parley::test
