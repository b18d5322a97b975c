// parley-bench against the real server: every test, small counts, must finish
// with zero wrong or missing replies and exit 0.
#include <gtest/gtest.h>

#include "BenchRun.h"
#include "ServerProcess.h"

namespace parley::test {
namespace {

TEST(BenchAgainstServer, EveryTestRunsClean) {
  ServerProcess server;
  ASSERT_TRUE(server.Start()) << server.Stderr();
  const std::vector<std::vector<std::string>> shapes = {
      {"-P", "1"},
      {"-P", "4", "--threads", "2"},
      {"-P", "16", "-d", "500"},
  };
  for (const auto& shape : shapes) {
    std::vector<std::string> args{"--port", std::to_string(server.port()), "-n", "2000", "-c", "4"};
    args.insert(args.end(), shape.begin(), shape.end());
    SCOPED_TRACE(shape[1]);
    BenchOutcome o = RunBench(args);
    EXPECT_EQ(o.exit_code, 0) << o.out;
    ASSERT_TRUE(o.header_ok) << o.out;
    for (const char* test : {"send", "fetch", "list", "register", "mixed"}) {
      ASSERT_TRUE(o.rows.count(test)) << test << " missing from:\n" << o.out;
      const BenchRow& r = o.rows.at(test);
      EXPECT_EQ(r.errors, 0u) << test;
      EXPECT_GT(r.rps, 0.0) << test;
      EXPECT_LE(r.p50_ms, r.p99_ms) << test;
      EXPECT_LE(r.p99_ms, r.p999_ms) << test;
      EXPECT_LE(r.p999_ms, r.max_ms) << test;
    }
  }
  EXPECT_TRUE(server.Running());
}

TEST(BenchAgainstServer, UnreachableServerFailsTheRun) {
  BenchOutcome o = RunBench({"--port", std::to_string(ClosedLoopbackPort()), "-n", "10", "-c", "1"});
  EXPECT_EQ(o.exit_code, 1);
  EXPECT_TRUE(o.rows.empty());
}

}  // namespace
}  // namespace parley::test
