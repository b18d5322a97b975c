#include "Latency.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace parley::bench {

namespace {
// Percentiles are handled in thousandths of a percent (100% = 100000).
constexpr uint64_t kFullScale = 100000;

double ToMs(uint64_t ns) { return static_cast<double>(ns) / 1e6; }
}  // namespace

uint64_t Percentile(std::span<const uint64_t> sorted, double percent) {
  if (sorted.empty()) return 0;
  const uint64_t n = sorted.size();
  uint64_t q = static_cast<uint64_t>(std::llround(std::clamp(percent, 0.0, 100.0) * 1000.0));
  // rank = ceil(n * q / kFullScale), at least 1. n * q stays far below 2^64 for
  // any sample count a benchmark can hold in memory.
  uint64_t rank = (n * q + kFullScale - 1) / kFullScale;
  rank = std::clamp<uint64_t>(rank, 1, n);
  return sorted[rank - 1];
}

LatencySummary Summarize(std::vector<uint64_t>& samples_ns) {
  LatencySummary s;
  if (samples_ns.empty()) return s;
  std::sort(samples_ns.begin(), samples_ns.end());
  s.count = samples_ns.size();
  // Sum in long double: 1e8 samples of seconds each would not overflow uint64
  // either, but the average wants fractions anyway.
  long double sum = std::accumulate(samples_ns.begin(), samples_ns.end(), 0.0L,
                                    [](long double acc, uint64_t v) { return acc + static_cast<long double>(v); });
  s.avg_ms = static_cast<double>(sum / static_cast<long double>(s.count)) / 1e6;
  s.min_ms = ToMs(samples_ns.front());
  s.max_ms = ToMs(samples_ns.back());
  s.p50_ms = ToMs(Percentile(samples_ns, 50));
  s.p99_ms = ToMs(Percentile(samples_ns, 99));
  s.p999_ms = ToMs(Percentile(samples_ns, 99.9));
  return s;
}

}  // namespace parley::bench
