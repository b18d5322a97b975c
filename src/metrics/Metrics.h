// The server's figures for monitoring, and their rendering in the
// Prometheus text format (version 0.0.4).
//
// Counting on the request path costs no lock, no allocation and no system
// call: every thread that counts owns a cache-line-aligned block that only it
// writes (relaxed loads and stores, no read-modify-write), and a scrape sums
// the blocks of every thread that ever counted. Histograms have fixed
// buckets and live in the same blocks. The figures other modules already
// keep (Counters, MemoryBudget, queue depths, subscriptions) are read when a
// scrape renders them.
//
// Latency of a request: from the start of the network loop pass that read
// its frame (one clock reading per pass, which the loop takes anyway) to its
// reply being handed to its connection: after an event thread's run of
// replies for that connection (one clock reading per run), or, for requests
// answered on the network thread, the end of that pass (the loop's own
// reading; an upper bound for them).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/Wire.h"

namespace parley::metrics {

using Clock = std::chrono::steady_clock;

// The request kinds by type code, and one more for frames whose kind is unknown.
inline constexpr size_t kKinds = wire::kLastEventId + 2;
inline constexpr size_t kUnknownKind = kKinds - 1;
// The name of kind `k` (a type code, or kUnknownKind) as a label value.
const char* KindName(size_t k);
// The kind of a payload that could not be decoded: its type code when it has
// a known one, otherwise kUnknownKind.
size_t KindOfPayload(const char* data, size_t len);

enum class Result : uint8_t { kOk = 0, kNo = 1, kUndecodable = 2 };
inline constexpr size_t kResults = 3;

// Upper bounds of the histogram buckets, in nanoseconds (the +Inf bucket follows).
inline constexpr std::array<uint64_t, 18> kLatencyBoundsNs = {
    10'000,     25'000,      50'000,      100'000,     250'000,       500'000,
    1'000'000,  2'500'000,   5'000'000,   10'000'000,  25'000'000,    50'000'000,
    100'000'000, 250'000'000, 500'000'000, 1'000'000'000, 2'500'000'000, 10'000'000'000};
inline constexpr size_t kBuckets = kLatencyBoundsNs.size() + 1;

// A value only its owner thread writes; anyone reads it.
class OwnedCounter {
 public:
  void Add(uint64_t n) { v_.store(v_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }
  uint64_t Get() const { return v_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> v_{0};
};

struct Histogram {
  void Observe(uint64_t ns, uint64_t n = 1);
  std::array<OwnedCounter, kBuckets> buckets;  // per bucket, not cumulative
  OwnedCounter sum_ns;
};

// What one thread counted.
struct alignas(64) ThreadBlock {
  std::array<std::array<OwnedCounter, kResults>, kKinds> requests;
  std::array<Histogram, kKinds> latency;
  OwnedCounter bytes_in;
  OwnedCounter bytes_out;
  OwnedCounter journal_records;
  OwnedCounter journal_writes;
  Histogram fsync;
};

// The calling thread's block (made and registered on its first use).
extern constinit thread_local ThreadBlock* t_block;
ThreadBlock& RegisterThread();
inline ThreadBlock& Mine() {
  ThreadBlock* b = t_block;
  return b != nullptr ? *b : RegisterThread();
}

inline void CountRequest(uint64_t kind, Result r) {
  Mine().requests[kind < kKinds ? kind : kUnknownKind][static_cast<size_t>(r)].Add(1);
}
inline void CountBytesIn(uint64_t n) { Mine().bytes_in.Add(n); }
inline void CountBytesOut(uint64_t n) { Mine().bytes_out.Add(n); }
inline int64_t NowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }
inline int64_t ToNs(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}
// `n` requests of `kind` took from `start_ns` to `end_ns` (NowNs readings).
void ObserveLatency(uint64_t kind, int64_t start_ns, int64_t end_ns, uint64_t n = 1);
// fdatasync(fd), its duration observed; errno as fdatasync left it.
int TimedFdatasync(int fd);
// The last snapshot took this long.
void SetSnapshotDuration(std::chrono::milliseconds d);

// The latencies of a run of replies on their way to one connection: kept as
// the requests run, observed with one clock reading once the run's replies
// are handed over. Requests are merged while consecutive ones share their
// kind and start. Fixed size: full() means hand the run over now.
class LatencyRun {
 public:
  void Add(uint64_t kind, int64_t start_ns);
  bool full() const { return n_ == entries_.size(); }
  // Observes every request added, with one clock reading, and empties the run.
  void Finish();

 private:
  struct Entry {
    uint64_t kind;
    int64_t start_ns;
    uint64_t count;
  };
  std::array<Entry, 32> entries_{};
  size_t n_ = 0;
};

// What a scrape reads besides the thread blocks; each may be left empty.
struct Sources {
  std::function<size_t()> open_connections;
  std::function<std::vector<size_t>()> queue_depths;
  std::function<size_t()> subscriptions;
  std::string data_dir;  // the journal and snapshots ("": memory only)
};

// Every figure, in the text format.
std::string Render(const Sources& sources);

}  // namespace parley::metrics
