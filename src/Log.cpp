#include "Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "Limits.h"

namespace parley {

namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};

// systemd sets JOURNAL_STREAM to "<device>:<inode>" of the stream it gives
// the service's stderr; a stderr redirected elsewhere since no longer matches.
bool StderrIsJournal() {
  static const bool journal = [] {
    const char* env = std::getenv("JOURNAL_STREAM");
    struct stat st{};
    if (env == nullptr || fstat(STDERR_FILENO, &st) != 0) return false;
    unsigned long long dev = 0, ino = 0;
    if (std::sscanf(env, "%llu:%llu", &dev, &ino) != 2) return false;
    return dev == static_cast<unsigned long long>(st.st_dev) && ino == static_cast<unsigned long long>(st.st_ino);
  }();
  return journal;
}

constexpr const char* kLevelNames[] = {"error", "warn", "info", "debug"};
constexpr int kSyslogPriority[] = {3, 4, 6, 7};  // err, warning, info, debug

// Formats the whole line first and writes it with one call, so that lines
// from different threads never interleave.
void VLog(LogLevel level, const char* prefix, const char* fmt, va_list ap, const char* suffix) {
  const int lv = static_cast<int>(level);
  char head[64];
  if (StderrIsJournal()) {
    snprintf(head, sizeof head, "<%d>", kSyslogPriority[lv]);
  } else {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(head, sizeof head, "%s.%03ldZ %s ", when, ts.tv_nsec / 1000000, kLevelNames[lv]);
  }
  char text[1024];
  vsnprintf(text, sizeof text, fmt, ap);
  char line[1280];
  const int n = snprintf(line, sizeof line, "%s%s%s%s\n", head, prefix, text, suffix);
  if (n <= 0) return;
  size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  line[len - 1] = '\n';
  const char* p = line;
  while (len > 0) {
    const ssize_t w = write(STDERR_FILENO, p, len);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    len -= static_cast<size_t>(w);
  }
}

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

bool ParseLogLevel(const char* text, LogLevel& out) {
  for (int i = 0; i < 4; ++i) {
    if (std::strcmp(text, kLevelNames[i]) == 0) {
      out = static_cast<LogLevel>(i);
      return true;
    }
  }
  return false;
}

void SetLogLevel(LogLevel level) { g_level.store(static_cast<int>(level), std::memory_order_relaxed); }

bool LogEnabled(LogLevel level) { return static_cast<int>(level) <= g_level.load(std::memory_order_relaxed); }

#define PARLEY_DEFINE_LOG(name, level)    \
  void name(const char* fmt, ...) {       \
    if (!LogEnabled(level)) return;       \
    va_list ap;                           \
    va_start(ap, fmt);                    \
    VLog(level, "parleyd: ", fmt, ap, ""); \
    va_end(ap);                           \
  }
PARLEY_DEFINE_LOG(LogError, LogLevel::kError)
PARLEY_DEFINE_LOG(LogWarn, LogLevel::kWarn)
PARLEY_DEFINE_LOG(LogInfo, LogLevel::kInfo)
PARLEY_DEFINE_LOG(LogDebug, LogLevel::kDebug)
#undef PARLEY_DEFINE_LOG

void RateLimitedLog::Log(const char* fmt, ...) {
  if (!LogEnabled(level_)) return;
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
  VLog(level_, "", fmt, ap, suffix);
  va_end(ap);
}

Counters& Counters::Get() {
  static Counters c;
  return c;
}

void Counters::Print() {
  std::string line;
  for (const CounterInfo& f : kCounterTable) {
    if (!line.empty()) line += "; ";
    line += f.summary;
    line += ' ';
    line += std::to_string((this->*f.field).load(std::memory_order_relaxed));
  }
  LogInfo("%s", line.c_str());
}

}  // namespace parley
