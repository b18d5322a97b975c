// parley-bench against a stand-in server that answers wrongly on purpose:
// every wrong or missing reply must be counted and must fail the run.
#include <gtest/gtest.h>

#include "BenchRun.h"
#include "FakeServer.h"

namespace parley::test {
namespace {

constexpr unsigned long long kN = 600;  // requests per test

TEST(BenchAgainstFaultyServer, CountsEveryWrongOrMissingReply) {
  using F = FakeServer::Fault;
  struct Case {
    const char* what;
    F fault;
    const char* broken_test;  // the test whose every request must be an error
  };
  const Case cases[] = {
      {"fetch answered no", F::kFetchSaysNo, "fetch"},
      {"fetched body altered", F::kCorruptFetch, "fetch"},
      {"listing misses an id", F::kStaleList, "list"},
      {"connection closed on send", F::kCloseOnSend, "send"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeServer server(c.fault);
    ASSERT_TRUE(server.Start());
    BenchOutcome o = RunBench({"--port", std::to_string(server.port()), "-n", std::to_string(kN), "-c", "3",
                               "-P", "4", "-t", "send,fetch,list,register,mixed"});
    EXPECT_EQ(o.exit_code, 1);
    ASSERT_TRUE(o.header_ok) << o.out;
    ASSERT_EQ(o.rows.size(), 5u) << o.out;
    for (const auto& [test, row] : o.rows) {
      if (test == c.broken_test) {
        EXPECT_EQ(row.errors, kN) << test;
        EXPECT_EQ(row.rps, 0.0) << test << ": errors must not be timed";
      } else if (test == "mixed") {
        EXPECT_GT(row.errors, 0u) << "mixed includes " << c.broken_test;
        EXPECT_LT(row.errors, kN);
      } else {
        EXPECT_EQ(row.errors, 0u) << test;
        EXPECT_GT(row.rps, 0.0) << test;
      }
    }
  }
}

TEST(BenchAgainstFaultyServer, CorrectStandInGivesCleanRun) {
  FakeServer server(FakeServer::Fault::kNone);
  ASSERT_TRUE(server.Start());
  BenchOutcome o = RunBench({"--port", std::to_string(server.port()), "-n", "500", "-c", "3", "-P", "2"});
  EXPECT_EQ(o.exit_code, 0) << o.out;
  EXPECT_EQ(o.rows.size(), 5u) << o.out;
}

}  // namespace
}  // namespace parley::test
