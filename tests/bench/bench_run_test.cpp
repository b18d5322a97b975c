// parley-bench as a child process, against the real server and against a stand-in that answers wrongly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "FakeServer.h"
#include "Frames.h"
#include "Reference.h"
#include "ServerProcess.h"

namespace parley::test {
namespace {

using namespace parley::wire;

struct BenchRow {
  double rps = 0;
  double p50_ms = 0, p99_ms = 0, p999_ms = 0, max_ms = 0;
  unsigned long long errors = 0;
};

struct BenchOutcome {
  int exit_code = -1;                    // as Child::Wait
  std::string out;                       // its stdout
  std::map<std::string, BenchRow> rows;  // CSV rows by test name
  bool header_ok = false;                // the CSV header line came first
};

// Runs parley-bench with `args` (plus --csv) for two minutes at most.
BenchOutcome RunBench(const std::vector<std::string>& args) {
  std::vector<std::string> argv{PARLEY_BENCH_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("--csv");
  RunResult run = RunProcess(argv, "", std::chrono::minutes(2));
  BenchOutcome o{run.exit_status, run.out, {}, false};
  std::istringstream lines(o.out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f(1);  // the fields, without their double quotes (none holds a comma)
    for (char ch : line) {
      if (ch == ',') f.emplace_back();
      else if (ch != '"') f.back() += ch;
    }
    if (!o.header_ok && o.rows.empty()) {
      o.header_ok = f == std::vector<std::string>{"test", "rps", "p50_ms", "p99_ms", "p999_ms", "max_ms", "errors"};
      if (!o.header_ok) return o;
    } else if (f.size() == 7) {
      auto num = [&](size_t i) { return std::atof(f[i].c_str()); };
      o.rows[f[0]] = BenchRow{num(1), num(2), num(3), num(4), num(5), std::strtoull(f[6].c_str(), nullptr, 10)};
    }
  }
  return o;
}

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

// The push tests: every subscription confirmed, every event delivered once and in order, none wrong.
TEST(BenchAgainstServer, PushTestsRunClean) {
  ServerProcess server;
  ASSERT_TRUE(server.Start()) << server.Stderr();
  for (const std::string rate : {"0", "300"}) {
    BenchOutcome o = RunBench({"--port", std::to_string(server.port()), "-t", "subscribe,fanout", "--subscribers", "30",
                               "--chats", "20", "--rate", rate, "-P", "4", "--threads", "2", "--warmup", "0",
                               "--duration", "1"});
    EXPECT_EQ(o.exit_code, 0) << o.out;
    ASSERT_TRUE(o.rows.count("subscribe") && o.rows.count("fanout")) << o.out;
    for (const auto& [test, row] : o.rows) EXPECT_TRUE(row.errors == 0 && row.rps > 0) << test << " at " << rate;
    // At 300 messages a second, each of the 30 subscribers gets about 300 events in the second.
    EXPECT_NEAR(o.rows.at("fanout").rps, rate == "0" ? o.rows.at("fanout").rps : 30 * 300, 900) << o.out;
  }
  EXPECT_TRUE(server.Running());
}

TEST(BenchAgainstServer, UnreachableServerFailsTheRun) {
  BenchOutcome o = RunBench({"--port", std::to_string(ClosedLoopbackPort()), "-n", "10", "-c", "1"});
  EXPECT_EQ(o.exit_code, 1);
  EXPECT_TRUE(o.rows.empty());
}

enum class Fault {
  kNone,          // answers like the real server
  kFetchSaysNo,   // every fetch is answered "no"
  kCorruptFetch,  // fetched bodies come back with their first byte changed
  kStaleList,     // every listing after the first leaves out the newest id
  kCloseOnSend,   // a send to a chat named "...send" closes the connection
};

// Answers as the store model does, but for `fault`.
FakeServer::Handler Faulty(Fault fault) {
  return [fault, model = fuzz::StoreModel(), next_id = int64_t{0}, lists = 0](std::string_view payload,
                                                                            std::string& out) mutable {
    auto req = fuzz::ReferenceDecode(payload);
    if (!req) return false;
    if (fault == Fault::kCloseOnSend && req->type == EV_SENGMSG && req->strings[1].ends_with("send")) return false;
    fuzz::Expected e = model.Apply(*req);
    if (e.ok && (req->type == EV_SENGMSG || req->type == EV_FORWARDMSG)) model.LearnId(next_id++);
    if (fault == Fault::kFetchSaysNo && req->type == EV_GETMSG) e.ok = false;
    out += StatusFrame(req->type, e.ok);
    if (e.ok && req->type == EV_GETMSG) {
      if (fault == Fault::kCorruptFetch && !e.body.empty()) e.body[0] = static_cast<char>(e.body[0] ^ 1);
      out += MessageFrame(e.sender, e.body);
    } else if (e.ok && req->type == EV_GETCHAT) {
      if (fault == Fault::kStaleList && lists++ > 0 && !e.ids.empty()) e.ids.pop_back();
      out += ListFrame(e.ids);
    }
    return true;
  };
}

TEST(BenchAgainstFaultyServer, CountsEveryWrongOrMissingReply) {
  constexpr unsigned long long kN = 600;  // requests per test
  const struct {
    const char* what;
    Fault fault;
    std::string broken_test;  // the test whose every request must be an error
  } cases[] = {
      {"a correct stand-in", Fault::kNone, ""},
      {"fetch answered no", Fault::kFetchSaysNo, "fetch"},
      {"fetched body altered", Fault::kCorruptFetch, "fetch"},
      {"listing misses an id", Fault::kStaleList, "list"},
      {"connection closed on send", Fault::kCloseOnSend, "send"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeServer server(Faulty(c.fault));
    ASSERT_NE(server.port(), 0);
    BenchOutcome o = RunBench({"--port", std::to_string(server.port()), "-n", std::to_string(kN), "-c", "3", "-P", "4",
                               "-t", "send,fetch,list,register,mixed"});
    EXPECT_EQ(o.exit_code, c.fault == Fault::kNone ? 0 : 1) << o.out;
    ASSERT_TRUE(o.header_ok) << o.out;
    ASSERT_EQ(o.rows.size(), 5u) << o.out;
    for (const auto& [test, row] : o.rows) {
      if (test == c.broken_test) {
        EXPECT_EQ(row.errors, kN) << test;
        EXPECT_EQ(row.rps, 0.0) << test << ": errors must not be timed";
      } else if (test == "mixed" && c.fault != Fault::kNone) {
        EXPECT_GT(row.errors, 0u) << "mixed includes " << c.broken_test;
        EXPECT_LT(row.errors, kN);
      } else {
        EXPECT_EQ(row.errors, 0u) << test;
        EXPECT_GT(row.rps, 0.0) << test;
      }
    }
  }
}

}  // namespace
}  // namespace parley::test
