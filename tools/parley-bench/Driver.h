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
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

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

// Runs one test against the server at `address`. `fx` must have been built by
// BuildFixture for options.clients users.
TestResult RunTest(const Options& options, const Address& address, const Fixture& fx, TestKind kind);

}  // namespace parley::bench
