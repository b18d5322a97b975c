#include "Log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "Limits.h"

namespace parley {

namespace {

void VLog(const char* prefix, const char* fmt, va_list ap, const char* suffix) {
  char line[512];
  vsnprintf(line, sizeof line, fmt, ap);
  fprintf(stderr, "%s%s%s\n", prefix, line, suffix);
}

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

void LogLine(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  VLog("parleyd: ", fmt, ap, "");
  va_end(ap);
}

void RateLimitedLog::Log(const char* fmt, ...) {
  uint64_t dropped = 0;
  {
    std::lock_guard lk(mu_);
    int64_t now = NowMs();
    if (now - window_start_ms_ >= 1000) {
      window_start_ms_ = now;
      lines_in_window_ = 0;
    }
    if (lines_in_window_ >= kLogLinesPerSecond) {
      ++suppressed_;
      return;
    }
    ++lines_in_window_;
    dropped = suppressed_;
    suppressed_ = 0;
  }
  char suffix[96] = "";
  if (dropped > 0)
    snprintf(suffix, sizeof suffix, " (%llu more %s not shown)", static_cast<unsigned long long>(dropped), what_);
  va_list ap;
  va_start(ap, fmt);
  VLog("", fmt, ap, suffix);
  va_end(ap);
}

Counters& Counters::Get() {
  static Counters c;
  return c;
}

void Counters::Print() {
  auto v = [](const std::atomic<uint64_t>& a) { return static_cast<unsigned long long>(a.load(std::memory_order_relaxed)); };
  LogLine("connections accepted %llu, closed %llu; requests %llu; rejected frames %llu; "
          "accept errors %llu; closed for unread output %llu; read pauses %llu; most in flight %llu; full chats %llu; "
          "standard output drops %llu; memory refusals %llu; closed for memory %llu; frame timeouts %llu; "
          "journal refusals %llu; journal errors %llu; snapshots %llu; events pushed %llu; subscriber overflows %llu; "
          "failed log-ins %llu; refused by account mode %llu; refused by address quota %llu; rate pauses %llu; "
          "closed for connections per address %llu",
          v(accepted), v(closed), v(requests), v(rejected_frames), v(accept_errors),
          v(output_overflows), v(inflight_pauses), v(inflight_peak), v(chat_full), v(stdout_drops), v(memory_refusals),
          v(memory_evictions), v(frame_timeouts), v(journal_refusals), v(journal_errors), v(snapshots), v(pushed), v(push_overflows),
          v(login_failures), v(access_refusals), v(quota_refusals), v(rate_pauses), v(address_refusals));
}

}  // namespace parley
