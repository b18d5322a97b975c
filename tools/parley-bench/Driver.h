// The timed phase of parley-bench: runs one test over many non-blocking
// connections driven by one epoll loop per thread.
//
// Each connection writes a batch of PIPELINE requests in one send, then waits
// until every request of the batch is answered before writing the next batch
// (as redis-benchmark does). Requests are drawn from one shared budget of
// REQUESTS, so fast connections do more of them. A request's latency runs from
// the write of its batch to the read that completes its reply; only correct
// replies are timed. A connection whose stream breaks, closes, or stays silent
// for kReplyTimeout is dropped and its unanswered requests are counted missing.
// The requests and the reading of replies come from a RequestProtocol:
// Parley's frames here, Redis's commands in bench/redis_load.cpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Latency.h"
#include "Options.h"
#include "Socket.h"
#include "Workload.h"

namespace parley::bench {

// Longest silence allowed on a connection that waits for replies.
inline constexpr std::chrono::seconds kReplyTimeout{10};

struct TestResult {
  TestKind kind = TestKind::kSend;
  uint64_t ok = 0;       // requests answered correctly (these are timed)
  uint64_t wrong = 0;    // answered, but not as expected
  uint64_t missing = 0;  // never answered: connection lost, timed out, or never sent
  double seconds = 0;    // from the first write to the last reply of any thread
  LatencySummary latency;
  std::string first_error;  // description of the first wrong or missing reply
  std::string fatal;        // set when the test could not run at all (no connection)
  // Background listings completed and bytes the listers read while this test
  // ran (set by the caller; zero without --listers).
  uint64_t background_listings = 0;
  uint64_t background_bytes = 0;
  // The push tests (Fanout.h). For them `ok` counts subscriptions confirmed
  // (subscribe) or events delivered in the measured window (fanout).
  size_t payload_bytes = 0;   // fanout: body size of every message
  uint64_t published = 0;     // fanout: messages published in the measured window
  double client_cpu_s = -1;   // fanout: this process's CPU time in the window (-1: unknown)
  double server_cpu_s = -1;   // fanout: the server's, with --server-pid
  long rss_before_kib = -1;   // subscribe: the server's resident size without the subscriptions
  long rss_after_kib = -1;    // ... and with them (both -1 without --server-pid)

  uint64_t errors() const { return wrong + missing; }
  double rps() const { return seconds > 0 ? static_cast<double>(ok) / seconds : 0; }
};

// What one connection has made of its input so far.
struct Reply {
  enum class Kind {
    kIncomplete,  // no whole reply yet: read more
    kDone,        // the request is answered correctly
    kWrong,       // answered wrongly; the stream is still in step
    kBroken,      // not a reply to this request: the stream is lost
  };
  Kind kind = Kind::kIncomplete;
  std::string why;  // kWrong, kBroken: what was wrong
};

// Reads the replies of one connection, in order.
class ReplyReader {
 public:
  virtual ~ReplyReader() = default;
  // Takes what it needs of `in` (adding the bytes to `used`) to judge the reply
  // to `op`. Called again, with what is left, after every reply it judges; a
  // reader that buffers on its own may take all of `in` at once.
  virtual Reply Take(std::string_view in, Op op, size_t& used) = 0;
};

// How a server is asked: the request of each operation and the reader of its
// replies. Shared, read-only, by every connection of a test.
class RequestProtocol {
 public:
  virtual ~RequestProtocol() = default;
  // Appends the request of `op`. `conn` is the connection's number, `seq` the
  // count of requests it has issued (see AppendRequest).
  virtual void Append(std::string& out, Op op, size_t conn, uint64_t seq) const = 0;
  virtual std::unique_ptr<ReplyReader> NewReader() const = 0;
};

// Runs one test against the server at `address`, asked through `protocol`.
TestResult RunTest(const Options& options, const Address& address, const RequestProtocol& protocol, TestKind kind);
// The same over Parley's frames, checked against `fx`, which BuildFixture must
// have built for options.clients users.
TestResult RunTest(const Options& options, const Address& address, const Fixture& fx, TestKind kind);

}  // namespace parley::bench
