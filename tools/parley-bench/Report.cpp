#include "Report.h"

#include <algorithm>
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

std::string FormatIdleMemory(const TestResult& r) {
  if (r.kind != TestKind::kSubscribe || r.rss_before_kib < 0 || r.rss_after_kib < 0 || r.ok == 0) return "";
  const long grown = r.rss_after_kib - r.rss_before_kib;
  return Fmt("idle subscriptions: server RSS %ld KiB without, %ld KiB with %llu subscriptions: %.1f bytes per "
             "idle subscription\n",
             r.rss_before_kib, r.rss_after_kib, static_cast<unsigned long long>(r.ok),
             static_cast<double>(grown) * 1024.0 / static_cast<double>(r.ok));
}

std::string FormatResult(const Options& o, const TestResult& r) {
  const std::string name(TestName(r.kind));
  const LatencySummary& l = r.latency;
  const auto errors = static_cast<unsigned long long>(r.errors());
  const char* unit = r.kind == TestKind::kFanout      ? "events"
                     : r.kind == TestKind::kSubscribe ? "subscriptions"
                                                      : "requests";
  const int threads = IsPushTest(r.kind) ? std::min(o.threads, o.subscribers) : o.threads;
  if (o.csv)
    return Fmt("\"%s\",\"%.2f\",\"%.3f\",\"%.3f\",\"%.3f\",\"%.3f\",\"%llu\"\n", name.c_str(), r.rps(), l.p50_ms,
               l.p99_ms, l.p999_ms, l.max_ms, errors);
  if (o.quiet) {
    std::string line = Fmt("%s: %.2f %s per second, p50=%.3f msec", name.c_str(), r.rps(), unit, l.p50_ms);
    if (r.kind == TestKind::kFanout) line += Fmt(", p99=%.3f msec, p99.9=%.3f msec", l.p99_ms, l.p999_ms);
    if (errors > 0) line += Fmt(", %llu ERRORS", errors);
    line += "\n";
    return line + FormatIdleMemory(r);
  }
  std::string s = Fmt("====== %s ======\n", name.c_str());
  if (r.kind == TestKind::kFanout) {
    s += Fmt("  %llu events delivered in %.2f seconds, after %d s of warm-up\n", static_cast<unsigned long long>(r.ok),
             r.seconds, o.warmup_s);
    s += Fmt("  %d subscribers, 1 publisher, %d receiver thread%s\n", o.subscribers, threads, threads == 1 ? "" : "s");
    s += Fmt("  %zu bytes payload\n", r.payload_bytes);
    if (o.rate > 0)
      s += Fmt("  publishing at %lld messages per second, at most %d unanswered\n", static_cast<long long>(o.rate),
               o.pipeline);
    else
      s += Fmt("  publishing flat out, at most %d unanswered\n", o.pipeline);
    s += Fmt("  %llu messages published in the window (%.1f per second)\n", static_cast<unsigned long long>(r.published),
             r.seconds > 0 ? static_cast<double>(r.published) / r.seconds : 0.0);
    if (r.client_cpu_s >= 0 && r.seconds > 0) {
      s += Fmt("  CPU in the window: parley-bench %.0f%% of a core", 100 * r.client_cpu_s / r.seconds);
      if (r.server_cpu_s >= 0) s += Fmt(", server %.0f%%", 100 * r.server_cpu_s / r.seconds);
      s += "\n";
    }
  } else if (r.kind == TestKind::kSubscribe) {
    s += Fmt("  %llu subscriptions confirmed in %.2f seconds\n", static_cast<unsigned long long>(r.ok), r.seconds);
    s += Fmt("  %d connections x %d chats, %d receiver thread%s\n", o.subscribers, o.chats, threads,
             threads == 1 ? "" : "s");
    const std::string memory = FormatIdleMemory(r);
    if (!memory.empty()) s += "  " + memory;
  } else {
    s += Fmt("  %llu requests completed in %.2f seconds\n", static_cast<unsigned long long>(r.ok), r.seconds);
    s += Fmt("  %d parallel clients, %d thread%s\n", o.clients, o.threads, o.threads == 1 ? "" : "s");
    s += Fmt("  %zu bytes payload\n", o.body_bytes);
    s += Fmt("  pipeline %d\n", o.pipeline);
  }
  if (o.listers > 0)
    s += Fmt("  background: %d lister%s of %lld ids, %llu listings completed, %.1f MB read during this test\n",
             o.listers, o.listers == 1 ? "" : "s", static_cast<long long>(o.list_messages),
             static_cast<unsigned long long>(r.background_listings), static_cast<double>(r.background_bytes) / 1e6);
  s += Fmt("  %llu errors (%llu wrong, %llu missing)\n\n", errors, static_cast<unsigned long long>(r.wrong),
           static_cast<unsigned long long>(r.missing));
  s += "Summary:\n";
  s += Fmt("  throughput summary: %.2f %s per second\n", r.rps(), unit);
  s += r.kind == TestKind::kFanout ? "  latency summary (msec, publish to delivery):\n" : "  latency summary (msec):\n";
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
