// parley-bench against a stand-in server that answers wrongly on purpose:
// every wrong or missing reply must be counted and must fail the run.
#include <gtest/gtest.h>

#include "BenchRun.h"
#include "FakeServer.h"
#include "Frames.h"
#include "Reference.h"

namespace parley::test {
namespace {

using namespace parley::wire;

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
