// Latency samples of one benchmark test and their summary.
//
// Samples are nanoseconds from the moment a request was written to the moment
// its complete reply was read. Percentiles use the nearest-rank definition: the
// p-th percentile is the smallest sample such that at least p% of all samples
// are less than or equal to it, so it is always a latency that was observed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace parley::bench {

// Nearest-rank percentile of `sorted` (ascending). `percent` is in (0, 100];
// it is rounded to a thousandth of a percent, so 99.9 selects exactly rank
// ceil(0.999 * N) without floating-point surprises.
// Returns 0 for an empty span. Requires: `sorted` is sorted ascending.
uint64_t Percentile(std::span<const uint64_t> sorted, double percent);

struct LatencySummary {
  size_t count = 0;  // samples summarised
  double avg_ms = 0;
  double min_ms = 0;
  double p50_ms = 0;
  double p99_ms = 0;
  double p999_ms = 0;
  double max_ms = 0;
};

// Sorts `samples_ns` in place and summarises them in milliseconds.
// An empty vector gives a summary of zeros.
LatencySummary Summarize(std::vector<uint64_t>& samples_ns);

}  // namespace parley::bench
