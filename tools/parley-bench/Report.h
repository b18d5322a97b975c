// Output of parley-bench, in the three shapes redis-benchmark users know:
// a block per test (default), one line per test (-q), or CSV (--csv).
// Everything here goes to standard output; diagnostics go to stderr elsewhere.
#pragma once

#include <string>

#include "Driver.h"
#include "Options.h"

namespace parley::bench {

// The CSV header line (with its newline).
std::string CsvHeader();

// The text for one finished test, shaped by options.csv / options.quiet.
std::string FormatResult(const Options& options, const TestResult& result);

// For the subscribe test with the server's pid: one line with the server's
// growth per idle subscription; empty otherwise.
std::string FormatIdleMemory(const TestResult& result);

// The closing line about the background listers: how many listings of how
// many ids they completed, and how much they read in `seconds`.
std::string FormatBackground(const Options& options, uint64_t listings, uint64_t bytes, double seconds);

}  // namespace parley::bench
