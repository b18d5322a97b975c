#include "metrics/Metrics.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>

#include "Log.h"
#include "MemoryBudget.h"

namespace parley::metrics {

constinit thread_local ThreadBlock* t_block = nullptr;

namespace {

// Every block ever made; blocks outlive their threads, so nothing counted is lost.
struct Registry {
  std::mutex mu;
  std::vector<std::unique_ptr<ThreadBlock>> blocks;  // guarded by mu
};

Registry& Blocks() {
  static Registry r;
  return r;
}

const std::chrono::system_clock::time_point kStartWall = std::chrono::system_clock::now();
const Clock::time_point kStart = Clock::now();
std::atomic<int64_t> snapshot_duration_ms{-1};  // -1: none taken since start

constexpr const char* kKindNames[kKinds] = {
    "register", "create", "join",      "send",    "edit",           "delete", "forward",       "fetch",
    "list",     "subscribe", "unsubscribe", "history", "register-secret", "login",  "change-secret", "unknown"};
constexpr const char* kResultNames[kResults] = {"ok", "no", "undecodable"};

// Lines of the text format, one family at a time.
class Writer {
 public:
  void Family(const char* name, const char* type, const char* help) {
    name_ = name;
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  // A sample of the current family; `suffix` follows its name (_bucket,
  // _sum, _count); `labels` are name, value pairs.
  void Sample(std::initializer_list<std::pair<const char*, std::string_view>> labels, double value,
              const char* suffix = "") {
    out_ += name_;
    out_ += suffix;
    if (labels.size() != 0) {
      out_ += '{';
      bool first = true;
      for (const auto& [k, v] : labels) {
        if (!first) out_ += ',';
        first = false;
        out_ += k;
        out_ += "=\"";
        for (char c : v) {
          if (c == '\\' || c == '"') out_ += '\\';
          if (c == '\n') out_ += "\\n";
          else out_ += c;
        }
        out_ += '"';
      }
      out_ += '}';
    }
    char text[40];
    // Counts exactly, other values to fifteen digits.
    if (value == std::floor(value) && std::fabs(value) < 1e15) snprintf(text, sizeof text, " %.0f\n", value);
    else snprintf(text, sizeof text, " %.15g\n", value);
    out_ += text;
  }
  void Sample(double value) { Sample({}, value); }
  void Gauge(const char* name, const char* help, double value) {
    Family(name, "gauge", help);
    Sample(value);
  }
  void Counter(const char* name, const char* help, uint64_t value) {
    Family(name, "counter", help);
    Sample(static_cast<double>(value));
  }
  // One histogram's samples, with `label` (name, value) unless the name is null.
  void Histo(const std::array<uint64_t, kBuckets>& buckets, uint64_t sum_ns, const char* label = nullptr,
             std::string_view value = {}) {
    uint64_t cumulative = 0;
    char le[32];
    for (size_t i = 0; i < kBuckets; ++i) {
      cumulative += buckets[i];
      if (i < kLatencyBoundsNs.size()) snprintf(le, sizeof le, "%.9g", static_cast<double>(kLatencyBoundsNs[i]) / 1e9);
      else snprintf(le, sizeof le, "+Inf");
      if (label != nullptr) Sample({{label, value}, {"le", le}}, static_cast<double>(cumulative), "_bucket");
      else Sample({{"le", le}}, static_cast<double>(cumulative), "_bucket");
    }
    const double sum = static_cast<double>(sum_ns) / 1e9;
    if (label != nullptr) {
      Sample({{label, value}}, sum, "_sum");
      Sample({{label, value}}, static_cast<double>(cumulative), "_count");
    } else {
      Sample({}, sum, "_sum");
      Sample({}, static_cast<double>(cumulative), "_count");
    }
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
  const char* name_ = "";
};

// The sums over every thread's block.
struct Totals {
  std::array<std::array<uint64_t, kResults>, kKinds> requests{};
  std::array<std::array<uint64_t, kBuckets>, kKinds> latency{};
  std::array<uint64_t, kKinds> latency_sum{};
  std::array<uint64_t, kBuckets> fsync{};
  uint64_t fsync_sum = 0, bytes_in = 0, bytes_out = 0, journal_records = 0, journal_writes = 0;
};

Totals Sum() {
  Totals t;
  Registry& r = Blocks();
  std::lock_guard lk(r.mu);
  for (const auto& b : r.blocks) {
    for (size_t k = 0; k < kKinds; ++k) {
      for (size_t res = 0; res < kResults; ++res) t.requests[k][res] += b->requests[k][res].Get();
      for (size_t i = 0; i < kBuckets; ++i) t.latency[k][i] += b->latency[k].buckets[i].Get();
      t.latency_sum[k] += b->latency[k].sum_ns.Get();
    }
    for (size_t i = 0; i < kBuckets; ++i) t.fsync[i] += b->fsync.buckets[i].Get();
    t.fsync_sum += b->fsync.sum_ns.Get();
    t.bytes_in += b->bytes_in.Get();
    t.bytes_out += b->bytes_out.Get();
    t.journal_records += b->journal_records.Get();
    t.journal_writes += b->journal_writes.Get();
  }
  return t;
}

struct DataDirFigures {
  uint64_t journal_bytes = 0;
  bool has_snapshot = false;
  std::filesystem::file_time_type newest_snapshot{};
};

DataDirFigures ReadDataDir(const std::string& dir) {
  DataDirFigures f;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code e;
    if (name.starts_with("journal-") && name.ends_with(".log")) {
      const auto size = it->file_size(e);
      if (!e) f.journal_bytes += size;
    } else if (name.starts_with("snapshot-") && name.ends_with(".snap")) {
      const auto t = it->last_write_time(e);
      if (!e && (!f.has_snapshot || t > f.newest_snapshot)) f.newest_snapshot = t;
      f.has_snapshot |= !e;
    }
  }
  return f;
}

}  // namespace

ThreadBlock& RegisterThread() {
  auto block = std::make_unique<ThreadBlock>();
  ThreadBlock* raw = block.get();
  Registry& r = Blocks();
  std::lock_guard lk(r.mu);
  r.blocks.push_back(std::move(block));
  t_block = raw;
  return *raw;
}

const char* KindName(size_t k) { return kKindNames[k < kKinds ? k : kUnknownKind]; }

size_t KindOfPayload(const char* data, size_t len) {
  if (len < wire::kWordSize) return kUnknownKind;
  const uint64_t code = wire::LoadU64(data);
  return code <= wire::kLastEventId ? static_cast<size_t>(code) : kUnknownKind;
}

void Histogram::Observe(uint64_t ns, uint64_t n) {
  size_t i = 0;
  while (i < kLatencyBoundsNs.size() && ns > kLatencyBoundsNs[i]) ++i;
  buckets[i].Add(n);
  sum_ns.Add(ns * n);
}

void ObserveLatency(uint64_t kind, int64_t start_ns, int64_t end_ns, uint64_t n) {
  if (start_ns == 0 || kind >= kKinds) return;  // not stamped
  Mine().latency[kind].Observe(end_ns > start_ns ? static_cast<uint64_t>(end_ns - start_ns) : 0, n);
}

int TimedFdatasync(int fd) {
  const int64_t start = NowNs();
  const int rc = ::fdatasync(fd);
  const int err = errno;
  Mine().fsync.Observe(static_cast<uint64_t>(std::max<int64_t>(NowNs() - start, 0)));
  errno = err;
  return rc;
}

void SetSnapshotDuration(std::chrono::milliseconds d) {
  snapshot_duration_ms.store(d.count(), std::memory_order_relaxed);
}

void LatencyRun::Add(uint64_t kind, int64_t start_ns) {
  if (start_ns == 0) return;
  if (n_ > 0 && entries_[n_ - 1].kind == kind && entries_[n_ - 1].start_ns == start_ns) {
    ++entries_[n_ - 1].count;
    return;
  }
  if (full()) Finish();
  entries_[n_++] = {kind, start_ns, 1};
}

void LatencyRun::Finish() {
  if (n_ == 0) return;
  const int64_t now = NowNs();
  for (size_t i = 0; i < n_; ++i) ObserveLatency(entries_[i].kind, entries_[i].start_ns, now, entries_[i].count);
  n_ = 0;
}

std::string Render(const Sources& src) {
  const Totals t = Sum();
  Writer w;
  const auto since_start = std::chrono::duration<double>(Clock::now() - kStart).count();
  w.Gauge("parley_process_start_time_seconds", "Start time of the server since the Unix epoch, in seconds.",
          std::chrono::duration<double>(kStartWall.time_since_epoch()).count());
  w.Gauge("parley_uptime_seconds", "Seconds since the server started.", since_start);
  if (src.open_connections)
    w.Gauge("parley_connections_open", "Client connections open now.", static_cast<double>(src.open_connections()));

  w.Family("parley_requests_total", "counter",
           "Requests answered, by kind and result: ok or no (the status reply), or undecodable (a frame that "
           "yielded no request and no reply; kind unknown when its type code is not a request kind).");
  for (size_t k = 0; k < kKinds; ++k)
    for (size_t r = 0; r < kResults; ++r)
      if (k != kUnknownKind || r == static_cast<size_t>(Result::kUndecodable))
        w.Sample({{"kind", kKindNames[k]}, {"result", kResultNames[r]}}, static_cast<double>(t.requests[k][r]));

  w.Family("parley_request_duration_seconds", "histogram",
           "Seconds from the start of the network loop pass that read a request's frame to its reply being handed "
           "to the connection (for requests answered on the network thread: to the end of that pass), by kind.");
  for (size_t k = 0; k < kUnknownKind; ++k) {
    uint64_t n = 0;
    for (uint64_t b : t.latency[k]) n += b;
    if (n > 0) w.Histo(t.latency[k], t.latency_sum[k], "kind", kKindNames[k]);
  }

  w.Counter("parley_received_bytes_total", "Bytes received from clients (TLS records as received).", t.bytes_in);
  w.Counter("parley_sent_bytes_total", "Bytes sent to clients (TLS records as sent).", t.bytes_out);

  if (src.queue_depths) {
    w.Family("parley_event_queue_depth", "gauge", "Requests waiting in each event thread's queue now.");
    const std::vector<size_t> depths = src.queue_depths();
    for (size_t i = 0; i < depths.size(); ++i)
      w.Sample({{"queue", std::to_string(i + 1)}}, static_cast<double>(depths[i]));
  }

  w.Counter("parley_journal_appends_total", "Change records written to the journal.", t.journal_records);
  w.Counter("parley_journal_writes_total", "Group writes to the journal (each carries one or more records).",
            t.journal_writes);
  w.Family("parley_journal_fsync_duration_seconds", "histogram",
           "Seconds each journal sync (fdatasync) took: per group with --fsync always, once a second with everysec.");
  w.Histo(t.fsync, t.fsync_sum);
  if (!src.data_dir.empty()) {
    const DataDirFigures d = ReadDataDir(src.data_dir);
    w.Gauge("parley_journal_size_bytes", "Bytes in the journal's segment files now.",
            static_cast<double>(d.journal_bytes));
    if (d.has_snapshot) {
      const auto age = std::filesystem::file_time_type::clock::now() - d.newest_snapshot;
      w.Gauge("parley_snapshot_age_seconds", "Seconds since the newest snapshot on disk was written.",
              std::max(0.0, std::chrono::duration<double>(age).count()));
    }
  }
  if (const int64_t ms = snapshot_duration_ms.load(std::memory_order_relaxed); ms >= 0)
    w.Gauge("parley_snapshot_duration_seconds", "Seconds the last snapshot taken since start-up took.",
            static_cast<double>(ms) / 1e3);

  if (src.subscriptions)
    w.Gauge("parley_subscriptions", "Chat subscriptions (a connection following a chat) now.",
            static_cast<double>(src.subscriptions()));

  const MemoryBudget& mem = MemoryBudget::Get();
  w.Gauge("parley_memory_used_bytes", "Bytes held by the store and unsent replies (what --max-memory bounds).",
          static_cast<double>(mem.Used()));
  w.Gauge("parley_memory_limit_bytes", "The --max-memory bound in bytes (0: no limit).",
          static_cast<double>(mem.Limit()));

  const Counters& c = Counters::Get();
  for (const CounterInfo& f : kCounterTable) {
    w.Family(f.metric, f.gauge ? "gauge" : "counter", f.help);
    w.Sample(static_cast<double>((c.*f.field).load(std::memory_order_relaxed)));
  }
  return w.Take();
}

}  // namespace parley::metrics
