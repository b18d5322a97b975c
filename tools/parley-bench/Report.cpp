#include "Report.h"

#include <cstdio>

namespace parley::bench {

namespace {

std::string Fmt(const char* fmt, auto... args) {
  char buf[512];
  int n = std::snprintf(buf, sizeof buf, fmt, args...);
  return std::string(buf, n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof buf - 1));
}

}  // namespace

std::string CsvHeader() { return "\"test\",\"rps\",\"p50_ms\",\"p99_ms\",\"p999_ms\",\"max_ms\",\"errors\"\n"; }

std::string FormatResult(const Options& o, const TestResult& r) {
  const std::string name(TestName(r.kind));
  const LatencySummary& l = r.latency;
  const auto errors = static_cast<unsigned long long>(r.errors());
  if (o.csv)
    return Fmt("\"%s\",\"%.2f\",\"%.3f\",\"%.3f\",\"%.3f\",\"%.3f\",\"%llu\"\n", name.c_str(), r.rps(), l.p50_ms,
               l.p99_ms, l.p999_ms, l.max_ms, errors);
  if (o.quiet) {
    std::string line = Fmt("%s: %.2f requests per second, p50=%.3f msec", name.c_str(), r.rps(), l.p50_ms);
    if (errors > 0) line += Fmt(", %llu ERRORS", errors);
    return line + "\n";
  }
  std::string s = Fmt("====== %s ======\n", name.c_str());
  s += Fmt("  %llu requests completed in %.2f seconds\n", static_cast<unsigned long long>(r.ok), r.seconds);
  s += Fmt("  %d parallel clients, %d thread%s\n", o.clients, o.threads, o.threads == 1 ? "" : "s");
  s += Fmt("  %zu bytes payload\n", o.body_bytes);
  s += Fmt("  pipeline %d\n", o.pipeline);
  if (o.listers > 0)
    s += Fmt("  background: %d lister%s of %lld ids, %llu listings completed, %.1f MB read during this test\n",
             o.listers, o.listers == 1 ? "" : "s", static_cast<long long>(o.list_messages),
             static_cast<unsigned long long>(r.background_listings), static_cast<double>(r.background_bytes) / 1e6);
  s += Fmt("  %llu errors (%llu wrong, %llu missing)\n\n", errors, static_cast<unsigned long long>(r.wrong),
           static_cast<unsigned long long>(r.missing));
  s += "Summary:\n";
  s += Fmt("  throughput summary: %.2f requests per second\n", r.rps());
  s += "  latency summary (msec):\n";
  s += Fmt("  %9s %9s %9s %9s %9s %9s\n", "avg", "min", "p50", "p99", "p99.9", "max");
  s += Fmt("  %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f\n\n", l.avg_ms, l.min_ms, l.p50_ms, l.p99_ms, l.p999_ms, l.max_ms);
  return s;
}

std::string FormatBackground(const Options& o, uint64_t listings, uint64_t bytes, double seconds) {
  const double mb_per_s = seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0;
  return Fmt("background: %d lister%s, %llu listings of %lld ids (%.2f GB read in %.1f s, %.0f MB/s)\n", o.listers,
             o.listers == 1 ? "" : "s", static_cast<unsigned long long>(listings),
             static_cast<long long>(o.list_messages), static_cast<double>(bytes) / 1e9, seconds, mb_per_s);
}

}  // namespace parley::bench
