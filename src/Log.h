// Diagnostics on standard error, and the server's counters.
//
// Standard output carries only the protocol's own texts ("Accepted %d\n",
// "error read msg"); everything else goes through here to standard error.
// Safe to call from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <iterator>
#include <mutex>

namespace parley {

// How serious a line on stderr is. Lines below the level set with
// SetLogLevel (--log-level; info by default) are not printed.
enum class LogLevel { kError = 0, kWarn = 1, kInfo = 2, kDebug = 3 };

// "error", "warn", "info" or "debug".
bool ParseLogLevel(const char* text, LogLevel& out);
void SetLogLevel(LogLevel level);
bool LogEnabled(LogLevel level);

// Prints one line on stderr: "<time> <level> parleyd: <text>\n", the time in
// UTC (ISO 8601, milliseconds). When stderr is the systemd journal's stream,
// the line is "<priority>parleyd: <text>" instead: the journal stamps the
// time itself and files the line under the syslog priority of its level.
void LogError(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LogWarn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LogInfo(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LogDebug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A log line that repeats under load (a flood of bad clients): at most
// kLogLinesPerSecond lines per second are printed, the others are counted and
// summed up in the next line that gets through. The text is printed as given
// after the time and level (callers start it with "parleyd: ").
class RateLimitedLog {
 public:
  RateLimitedLog(LogLevel level, const char* what) : level_(level), what_(what) {}
  void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

 private:
  const LogLevel level_;
  const char* what_;
  std::mutex mu_;
  int64_t window_start_ms_ = 0;  // guarded by mu_
  int lines_in_window_ = 0;      // guarded by mu_
  uint64_t suppressed_ = 0;      // guarded by mu_
};

// Process-wide counters of events worth knowing about. Relaxed atomics: they
// are statistics, not synchronisation.
struct Counters {
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> closed{0};
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> rejected_frames{0};
  std::atomic<uint64_t> accept_errors{0};
  std::atomic<uint64_t> output_overflows{0};
  std::atomic<uint64_t> inflight_pauses{0};
  std::atomic<uint64_t> inflight_peak{0};  // most requests in flight on one connection
  std::atomic<uint64_t> chat_full{0};
  std::atomic<uint64_t> stdout_drops{0};
  std::atomic<uint64_t> memory_refusals{0};
  std::atomic<uint64_t> memory_evictions{0};
  std::atomic<uint64_t> frame_timeouts{0};
  std::atomic<uint64_t> journal_refusals{0};  // changes refused while the journal could not write
  std::atomic<uint64_t> journal_errors{0};    // failed journal writes, syncs and preallocations
  std::atomic<uint64_t> snapshots{0};         // snapshots completed
  std::atomic<uint64_t> push_overflows{0};    // subscribers closed for not reading their events
  std::atomic<uint64_t> pushed{0};            // event frames handed to subscribers
  std::atomic<uint64_t> login_failures{0};    // log-ins and secret changes with a wrong secret
  std::atomic<uint64_t> access_refusals{0};   // requests refused by the account mode
  std::atomic<uint64_t> quota_refusals{0};    // registrations and chats refused for their address's quota
  std::atomic<uint64_t> rate_pauses{0};       // connections paused for their request rate
  std::atomic<uint64_t> address_refusals{0};  // connections closed for their address's connection count
  std::atomic<uint64_t> tls_failures{0};      // TLS connections closed for a failed handshake or record

  static Counters& Get();
  // One summary line on stderr: "<summary> N; ..." in kCounterTable's order.
  void Print();
};

// Every counter of Counters with its names: the words of the exit summary,
// and the metric family it is served as (see metrics/Metrics.h).
struct CounterInfo {
  std::atomic<uint64_t> Counters::*field;
  const char* summary;
  const char* metric;
  bool gauge;  // a level (the most so far), not a count
  const char* help;
};
inline constexpr CounterInfo kCounterTable[] = {
    {&Counters::accepted, "connections accepted", "parley_connections_accepted_total", false,
     "Connections accepted."},
    {&Counters::closed, "closed", "parley_connections_closed_total", false,
     "Connections closed by the network thread."},
    {&Counters::requests, "requests", "parley_requests_run_total", false,
     "Requests run, on any thread (those skipped because their client was gone included)."},
    {&Counters::rejected_frames, "rejected frames", "parley_rejected_frames_total", false,
     "Frames that yielded no request (bad length or undecodable payload): each printed 'error read msg'."},
    {&Counters::accept_errors, "accept errors", "parley_accept_errors_total", false,
     "Failed accepts that paused the listener (out of descriptors or memory)."},
    {&Counters::output_overflows, "closed for unread output", "parley_output_overflows_total", false,
     "Connections closed for leaving too much of their output unread."},
    {&Counters::inflight_pauses, "read pauses", "parley_inflight_pauses_total", false,
     "Times reading from a connection paused for its requests in flight."},
    {&Counters::inflight_peak, "most in flight", "parley_inflight_peak", true,
     "Most requests in flight on one connection so far."},
    {&Counters::chat_full, "full chats", "parley_chat_full_total", false,
     "Messages refused because their chat was full."},
    {&Counters::stdout_drops, "standard output drops", "parley_stdout_drops_total", false,
     "Standard output texts dropped because standard output did not keep up."},
    {&Counters::memory_refusals, "memory refusals", "parley_memory_refusals_total", false,
     "Requests refused because the memory limit was reached."},
    {&Counters::memory_evictions, "closed for memory", "parley_memory_evictions_total", false,
     "Connections closed to get back under the memory limit."},
    {&Counters::frame_timeouts, "frame timeouts", "parley_frame_timeouts_total", false,
     "Connections closed for a frame (or TLS handshake) left incomplete too long."},
    {&Counters::journal_refusals, "journal refusals", "parley_journal_refusals_total", false,
     "Changes refused while the journal could not write."},
    {&Counters::journal_errors, "journal errors", "parley_journal_errors_total", false,
     "Failed journal writes, syncs, preallocations and snapshots."},
    {&Counters::snapshots, "snapshots", "parley_snapshots_total", false,
     "Snapshots completed."},
    {&Counters::pushed, "events pushed", "parley_push_events_total", false,
     "Event frames handed to subscribers."},
    {&Counters::push_overflows, "subscriber overflows", "parley_push_drops_total", false,
     "Subscribers closed for not reading their pushed events."},
    {&Counters::login_failures, "failed log-ins", "parley_login_failures_total", false,
     "Log-ins and secret changes with a wrong secret."},
    {&Counters::access_refusals, "refused by account mode", "parley_access_refusals_total", false,
     "Requests refused by the account mode."},
    {&Counters::quota_refusals, "refused by address quota", "parley_quota_refusals_total", false,
     "Registrations and chats refused for their address's quota."},
    {&Counters::rate_pauses, "rate pauses", "parley_rate_pauses_total", false,
     "Connections whose reading was slowed for their request rate."},
    {&Counters::address_refusals, "closed for connections per address", "parley_address_refusals_total", false,
     "Connections closed for their address's connection count."},
    {&Counters::tls_failures, "TLS failures", "parley_tls_failures_total", false,
     "TLS connections closed for a failed handshake or record."},
};
// A counter added to Counters needs its row.
static_assert(sizeof(Counters) == std::size(kCounterTable) * sizeof(std::atomic<uint64_t>));

}  // namespace parley
