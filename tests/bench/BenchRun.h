// Runs the parley-bench binary as a child process and parses its CSV output.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace parley::test {

struct BenchRow {
  double rps = 0;
  double p50_ms = 0, p99_ms = 0, p999_ms = 0, max_ms = 0;
  unsigned long long errors = 0;
};

struct BenchOutcome {
  int exit_code = -1;                    // exit status (128 + signal; -1 when it had to be killed)
  std::string out;                       // everything it printed on stdout
  std::map<std::string, BenchRow> rows;  // CSV rows by test name
  bool header_ok = false;                // the CSV header line came first
};

// Runs PARLEY_BENCH_PATH with `args` (plus --csv) and waits for it (two minutes at most).
BenchOutcome RunBench(const std::vector<std::string>& args);

}  // namespace parley::test
