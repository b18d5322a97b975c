#include "Fanout.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "protocol/Wire.h"

namespace parley::bench {

using Clock = std::chrono::steady_clock;
using Kind = StreamItem::Kind;

namespace {

constexpr int kTickMs = 20;
constexpr int kMaxEvents = 256;
// What a receiver thread keeps at most of latency samples (8 bytes each).
constexpr size_t kMaxSamples = size_t{1} << 25;
// A subscriber that is gone, in PushShared::received.
constexpr uint64_t kLost = UINT64_MAX;
// Publishes built at once, all stamped with the same time.
constexpr uint64_t kPublishBatch = 64;
// The publisher stops building publishes while this much waits to be written.
constexpr size_t kMaxPending = size_t{1} << 20;

void StoreU64(char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

int64_t Ns(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

std::string Fmt(const char* fmt, auto... args) {
  char buf[256];
  int n = std::snprintf(buf, sizeof buf, fmt, args...);
  return std::string(buf, n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof buf - 1));
}

// CPU time (user + system) of this process, in seconds.
double OwnCpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  auto secs = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; };
  return secs(ru.ru_utime) + secs(ru.ru_stime);
}

// CPU time of process `pid` from /proc/PID/stat, in seconds; -1 if unknown.
double ProcessCpuSeconds(long pid) {
  if (pid <= 0) return -1;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all;
  std::getline(in, all);
  size_t paren = all.rfind(')');
  if (paren == std::string::npos) return -1;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  std::istringstream fields(all.substr(paren + 1));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::strtoull(f.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(f.c_str(), nullptr, 10);
  }
  long hz = ::sysconf(_SC_CLK_TCK);
  return hz > 0 ? static_cast<double>(utime + stime) / static_cast<double>(hz) : -1;
}

// Writes all of `bytes` to a non-blocking socket, waiting while it is full.
bool WriteAll(int fd, std::string_view bytes, std::string& err) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(kReplyTimeout.count() * 1000)) > 0) continue;
      err = "the server read nothing for " + std::to_string(kReplyTimeout.count()) + " s";
      return false;
    }
    err = std::string("send: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// State shared by the orchestrating thread and the receivers.
struct PushShared {
  PushShared(size_t subscribers, bool timed)
      : time_confirmations(timed), received(subscribers), batch_ns(subscribers) {}
  const bool time_confirmations;   // the subscribe test counts and times them; fanout does not
  std::atomic<int> noops_done{0};  // subscribers whose no-op requests are all answered
  std::atomic<int> subscribed{0};  // subscribers whose subscriptions are all confirmed
  std::atomic<int> lost{0};        // subscribers whose connection broke
  std::atomic<bool> stop{false};   // end now, whatever is still due
  std::atomic<bool> drain{false};  // publishing is over: wait for `published` events
  std::atomic<uint64_t> published{0};
  std::atomic<int64_t> window_start_ns{INT64_MAX};
  std::atomic<int64_t> window_end_ns{INT64_MAX};
  std::vector<std::atomic<uint64_t>> received;  // per subscriber: events in order so far, or kLost
  std::vector<std::atomic<int64_t>> batch_ns;   // per subscriber: when its last batch was written
};

struct Sub {
  size_t index = 0;
  UniqueFd fd;
  std::unique_ptr<PushStream> stream;
  size_t noops = 0;       // no-op replies still due
  size_t subscribes = 0;  // confirmations still due
  uint64_t next = 0;      // sequence number of the next event due
  bool lost = false;
};

// One receiver thread: a share of the subscribers in its own epoll set.
class Receiver {
 public:
  Receiver(PushShared& shared, std::string_view pattern) : shared_(shared), pattern_(pattern) {}
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  bool Open(std::string& err) {
    epfd_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (!epfd_.valid()) err = std::string("epoll_create1: ") + std::strerror(errno);
    return epfd_.valid();
  }

  bool Add(Sub sub, std::string& err) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = subs_.size();
    if (::epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, sub.fd.get(), &ev) != 0) {
      err = std::string("epoll_ctl: ") + std::strerror(errno);
      return false;
    }
    subs_.push_back(std::move(sub));
    return true;
  }

  std::vector<Sub>& subs() { return subs_; }

  void Run() {
    epoll_event events[kMaxEvents];
    Clock::time_point drain_since{};
    uint64_t progress_at_drain = 0;
    while (!shared_.stop.load(std::memory_order_acquire)) {
      int n = ::epoll_wait(epfd_.get(), events, kMaxEvents, kTickMs);
      for (int i = 0; i < n; ++i) Read(subs_[events[i].data.u64]);
      if (!shared_.drain.load(std::memory_order_acquire)) continue;
      // Publishing is over: done once every subscriber has every event, or
      // once none arrives for kReplyTimeout.
      const uint64_t total = shared_.published.load(std::memory_order_acquire);
      bool all = true;
      uint64_t progress = 0;
      for (const Sub& s : subs_) {
        all = all && (s.lost || s.next >= total);
        progress += s.next;
      }
      if (all) break;
      Clock::time_point now = Clock::now();
      if (drain_since == Clock::time_point{} || progress != progress_at_drain) {
        drain_since = now;
        progress_at_drain = progress;
      } else if (now - drain_since > kReplyTimeout) {
        break;
      }
    }
    const uint64_t total = shared_.published.load(std::memory_order_acquire);
    for (const Sub& s : subs_)
      if (s.next < total) {
        missing_ += total - s.next;
        Note(Fmt("subscriber %zu received %llu of %llu events", s.index, static_cast<unsigned long long>(s.next),
                 static_cast<unsigned long long>(total)));
      }
  }

  std::vector<uint64_t>& samples() { return samples_; }
  uint64_t ok() const { return ok_; }
  uint64_t wrong() const { return wrong_; }
  uint64_t missing() const { return missing_; }
  const std::string& first_error() const { return first_error_; }
  Clock::time_point last_confirmed() const { return last_confirmed_; }

 private:
  void Note(const std::string& what) {
    if (first_error_.empty()) first_error_ = what;
  }

  void Lose(Sub& s, const std::string& why) {
    if (s.lost) return;
    Note(Fmt("subscriber %zu: ", s.index) + why);
    s.lost = true;
    // Out of the epoll set but still open until the session ends, so that the
    // orchestrating thread never writes to a descriptor closed under it.
    ::epoll_ctl(epfd_.get(), EPOLL_CTL_DEL, s.fd.get(), nullptr);
    shared_.received[s.index].store(kLost, std::memory_order_relaxed);
    shared_.lost.fetch_add(1, std::memory_order_acq_rel);
  }

  void Read(Sub& s) {
    while (!s.lost) {
      std::span<char> room = s.stream->Space();
      ssize_t n = ::recv(s.fd.get(), room.data(), room.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) {
        Lose(s,
             n == 0 ? std::string("the server closed the connection") : std::string("recv: ") + std::strerror(errno));
        return;
      }
      const Clock::time_point now = Clock::now();
      s.stream->Commit(static_cast<size_t>(n));
      for (StreamItem item = s.stream->Next(); item.kind != Kind::kNeedMore && !s.lost; item = s.stream->Next())
        Take(s, item, now);
      if (static_cast<size_t>(n) < room.size()) return;
    }
  }

  void Take(Sub& s, const StreamItem& item, Clock::time_point now) {
    switch (item.kind) {
      case Kind::kNeedMore: return;
      case Kind::kReply:
        if (s.noops == 0) break;
        if (--s.noops == 0) shared_.noops_done.fetch_add(1, std::memory_order_acq_rel);
        return;
      case Kind::kSubscribed: {
        if (s.subscribes == 0 || s.noops > 0) break;
        if (shared_.time_confirmations) {
          ++ok_;
          const int64_t since = shared_.batch_ns[s.index].load(std::memory_order_acquire);
          if (samples_.size() < kMaxSamples)
            samples_.push_back(static_cast<uint64_t>(std::max<int64_t>(0, Ns(now) - since)));
          last_confirmed_ = now;
        }
        if (--s.subscribes == 0) shared_.subscribed.fetch_add(1, std::memory_order_acq_rel);
        return;
      }
      case Kind::kEvent:
        if (s.subscribes > 0) break;
        Event(s, item.text, now);
        return;
      case Kind::kBad:
        ++wrong_;
        Lose(s, std::string(item.text));
        return;
    }
    ++wrong_;
    Lose(s, "a reply or event that was not due");
  }

  void Event(Sub& s, std::string_view body, Clock::time_point now) {
    if (body.size() != pattern_.size() || body.substr(kStampBytes) != pattern_.substr(kStampBytes)) {
      ++wrong_;
      Note(Fmt("subscriber %zu: an event body of %zu bytes, not as published", s.index, body.size()));
      return;
    }
    const int64_t at = Ns(now);
    const auto sent = static_cast<int64_t>(wire::LoadU64(body.data()));
    const uint64_t seq = wire::LoadU64(body.data() + 8);
    if (seq < s.next || seq >= shared_.published.load(std::memory_order_acquire) || sent > at) {
      ++wrong_;
      Note(Fmt("subscriber %zu: event %llu (expected %llu) is a repeat, out of order or never published", s.index,
               static_cast<unsigned long long>(seq), static_cast<unsigned long long>(s.next)));
      return;
    }
    if (seq > s.next) {
      missing_ += seq - s.next;
      Note(Fmt("subscriber %zu: events %llu to %llu never came", s.index, static_cast<unsigned long long>(s.next),
               static_cast<unsigned long long>(seq - 1)));
    }
    s.next = seq + 1;
    shared_.received[s.index].store(s.next, std::memory_order_relaxed);
    if (at >= shared_.window_start_ns.load(std::memory_order_relaxed) &&
        at < shared_.window_end_ns.load(std::memory_order_relaxed)) {
      ++ok_;
      if (samples_.size() < kMaxSamples) samples_.push_back(static_cast<uint64_t>(at - sent));
    }
  }

  PushShared& shared_;
  std::string_view pattern_;
  UniqueFd epfd_;
  std::vector<Sub> subs_;
  std::vector<uint64_t> samples_;
  uint64_t ok_ = 0, wrong_ = 0, missing_ = 0;
  std::string first_error_;
  Clock::time_point last_confirmed_{};
};

// The subscriber connections and their receiver threads, for one test.
class Session {
 public:
  Session(const Options& o, PushProtocol& protocol, std::string pattern)
      : opt_(o),
        protocol_(protocol),
        pattern_(std::move(pattern)),
        shared_(static_cast<size_t>(o.subscribers), pattern_.size() == 0) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { Stop(); }

  // Connects the subscribers; each will expect `noops` replies, then
  // `subscribes` confirmations. Starts the receiver threads.
  bool Open(const Address& address, size_t noops, size_t subscribes, std::string& err) {
    const int threads = std::max(1, std::min(opt_.threads, opt_.subscribers));
    for (int t = 0; t < threads; ++t) {
      receivers_.push_back(std::make_unique<Receiver>(shared_, pattern_));
      if (!receivers_.back()->Open(err)) return false;
    }
    fds_.resize(static_cast<size_t>(opt_.subscribers));
    for (size_t i = 0; i < fds_.size(); ++i) {
      UniqueFd fd = Connect(address, err);
      if (!fd.valid()) return false;
      if (!SetNonBlocking(fd.get())) {
        err = "cannot make a socket non-blocking";
        return false;
      }
      fds_[i] = fd.get();
      Sub s{i, std::move(fd), protocol_.NewStream(false), noops, subscribes, 0, false};
      if (!receivers_[i % receivers_.size()]->Add(std::move(s), err)) return false;
    }
    for (auto& r : receivers_) threads_.emplace_back([&r] { r->Run(); });
    return true;
  }

  // Writes to every subscriber what `build` appends for it.
  template <typename Build>
  bool WriteEach(Build build, std::string& err) {
    std::string out;
    for (size_t i = 0; i < fds_.size(); ++i) {
      out.clear();
      build(out, i);
      shared_.batch_ns[i].store(Ns(Clock::now()), std::memory_order_release);
      if (shared_.received[i].load(std::memory_order_relaxed) == kLost) continue;  // already failed
      if (!WriteAll(fds_[i], out, err)) return false;
    }
    return true;
  }

  // Waits until `counter` plus the lost subscribers reach every subscriber.
  // False (and `err`) if any was lost or the wait timed out.
  bool WaitAll(const std::atomic<int>& counter, const char* what, std::string& err) {
    Clock::time_point last_change = Clock::now();
    int seen = -1;
    for (;;) {
      const int done = counter.load(std::memory_order_acquire), lost = shared_.lost.load(std::memory_order_acquire);
      if (done + lost >= opt_.subscribers) break;
      if (done != seen) {
        seen = done;
        last_change = Clock::now();
      } else if (Clock::now() - last_change > kReplyTimeout) {
        err = Fmt("only %d of %d subscribers had their %s after %lld s", done, opt_.subscribers, what,
                  static_cast<long long>(kReplyTimeout.count()));
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (shared_.lost.load() == 0) return true;
    Stop();
    err = Fmt("%d subscriber(s) lost before their %s came", shared_.lost.load(), what);
    for (auto& r : receivers_)
      if (!r->first_error().empty()) {
        err += "; first: " + r->first_error();
        break;
      }
    return false;
  }

  // Joins the receivers (at once, or after draining when `drain` is set).
  void Stop() {
    if (!shared_.drain.load()) shared_.stop.store(true, std::memory_order_release);
    threads_.clear();
  }

  // Adds the receivers' counts and samples to `r` (after Stop).
  void Collect(TestResult& r) {
    std::vector<uint64_t> samples;
    for (auto& rc : receivers_) {
      r.ok += rc->ok();
      r.wrong += rc->wrong();
      r.missing += rc->missing();
      if (r.first_error.empty()) r.first_error = rc->first_error();
      samples.insert(samples.end(), rc->samples().begin(), rc->samples().end());
      std::vector<uint64_t>().swap(rc->samples());
    }
    r.latency = Summarize(samples);
  }

  Clock::time_point LastConfirmed() const {
    Clock::time_point t{};
    for (auto& rc : receivers_) t = std::max(t, rc->last_confirmed());
    return t;
  }

  PushShared& shared() { return shared_; }

 private:
  const Options& opt_;
  PushProtocol& protocol_;
  std::string pattern_;
  PushShared shared_;
  std::vector<std::unique_ptr<Receiver>> receivers_;
  std::vector<int> fds_;  // owned by the receivers' Subs
  std::vector<std::jthread> threads_;
};

// The publishing connection: a non-blocking socket, what waits to be written
// to it, and the publishes not yet answered.
class Publisher {
 public:
  Publisher(const PushProtocol& protocol, UniqueFd fd) : fd_(std::move(fd)), stream_(protocol.NewStream(true)) {}

  // Writes what it can. False on a broken connection.
  bool Flush() {
    while (off_ < out_.size()) {
      ssize_t n = ::send(fd_.get(), out_.data() + off_, out_.size() - off_, MSG_NOSIGNAL);
      if (n > 0) {
        off_ += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      error_ = std::string("publisher: send: ") + std::strerror(errno);
      return false;
    }
    if (off_ >= out_.size() / 2) {  // drop what is written once it is half the buffer
      out_.erase(0, off_);
      off_ = 0;
    }
    return true;
  }

  // Reads and checks the replies that have arrived. False on a broken
  // connection or a wrong reply.
  bool Read() {
    for (;;) {
      std::span<char> room = stream_->Space();
      ssize_t n = ::recv(fd_.get(), room.data(), room.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n <= 0) {
        error_ = n == 0 ? "publisher: the server closed the connection"
                        : std::string("publisher: recv: ") + std::strerror(errno);
        return false;
      }
      stream_->Commit(static_cast<size_t>(n));
      for (StreamItem item = stream_->Next(); item.kind != Kind::kNeedMore; item = stream_->Next()) {
        if (item.kind != Kind::kReply || answered >= sent) {
          error_ = "publisher: " + (item.kind == Kind::kBad ? std::string(item.text) : std::string("a reply not due"));
          return false;
        }
        ++answered;
      }
      if (static_cast<size_t>(n) < room.size()) return true;
    }
  }

  // Waits up to `timeout` for a reply, or for room to write.
  void Wait(std::chrono::nanoseconds timeout) {
    pollfd p{fd_.get(), static_cast<short>(POLLIN | (pending() > 0 ? POLLOUT : 0)), 0};
    timespec ts{static_cast<time_t>(timeout.count() / 1'000'000'000),
                static_cast<long>(timeout.count() % 1'000'000'000)};
    ::ppoll(&p, 1, &ts, nullptr);
  }

  std::string& out() { return out_; }
  size_t pending() const { return out_.size() - off_; }
  uint64_t sent = 0;      // publishes built so far
  uint64_t answered = 0;  // ... and answered
  const std::string& error() const { return error_; }

 private:
  UniqueFd fd_;
  std::unique_ptr<PushStream> stream_;
  std::string out_;
  size_t off_ = 0;
  std::string error_;
};

// The fanout body of every message: room for the stamp, then pattern bytes.
std::string FanoutPattern(size_t body_bytes) {
  std::string p(std::max(body_bytes, kStampBytes), '\0');
  for (size_t i = kStampBytes; i < p.size(); ++i) p[i] = static_cast<char>('a' + i % 26);
  return p;
}

// The lowest count of events any live subscriber has read in order.
uint64_t SlowestSubscriber(const PushShared& shared) {
  uint64_t low = kLost;
  for (const auto& r : shared.received) low = std::min(low, r.load(std::memory_order_relaxed));
  return low;
}

}  // namespace

long ResidentKib(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

TestResult RunSubscribe(const Options& o, const Address& address, PushProtocol& protocol) {
  TestResult r;
  r.kind = TestKind::kSubscribe;
  if (!protocol.Prepare(address, o.subscribers, o.chats, r.fatal)) return r;
  const auto chats = static_cast<size_t>(o.chats);
  Session session(o, protocol, "");  // no events: no body pattern
  std::string& err = r.fatal;
  if (!session.Open(address, 2 * chats, chats, err)) return r;
  // The no-op round (two per chat: as many replies as the subscribes will
  // bring), then the server's size without subscriptions.
  auto noops = [&](std::string& out, size_t conn) {
    for (size_t c = 0; c < 2 * chats; ++c) protocol.AppendNoop(out, conn, c % chats);
  };
  if (!session.WriteEach(noops, err) || !session.WaitAll(session.shared().noops_done, "no-op replies", err)) return r;
  auto settled_rss = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return o.server_pid > 0 ? ResidentKib(o.server_pid) : -1;
  };
  r.rss_before_kib = settled_rss();
  auto subscribes = [&](std::string& out, size_t conn) {
    for (size_t c = 0; c < chats; ++c) protocol.AppendSubscribe(out, conn, c);
  };
  const Clock::time_point start = Clock::now();
  if (!session.WriteEach(subscribes, err) || !session.WaitAll(session.shared().subscribed, "confirmations", err))
    return r;
  r.rss_after_kib = settled_rss();
  session.Stop();
  r.seconds = std::chrono::duration<double>(session.LastConfirmed() - start).count();
  session.Collect(r);
  return r;
}

TestResult RunFanout(const Options& o, const Address& address, PushProtocol& protocol) {
  TestResult r;
  r.kind = TestKind::kFanout;
  std::string& err = r.fatal;
  if (!protocol.Prepare(address, o.subscribers, 1, err)) return r;
  const std::string pattern = FanoutPattern(o.body_bytes);
  r.payload_bytes = pattern.size();
  if (pattern.size() > protocol.MaxBody()) {
    err = Fmt("a body of %zu bytes does not fit in one publish (at most %zu)", pattern.size(), protocol.MaxBody());
    return r;
  }
  Session session(o, protocol, pattern);
  if (!session.Open(address, 0, 1, err)) return r;
  if (!session.WriteEach([&](std::string& out, size_t conn) { protocol.AppendSubscribe(out, conn, 0); }, err) ||
      !session.WaitAll(session.shared().subscribed, "confirmation", err))
    return r;
  UniqueFd fd = Connect(address, err);
  if (!fd.valid() || !SetNonBlocking(fd.get())) {
    if (err.empty()) err = "cannot make a socket non-blocking";
    return r;
  }
  Publisher pub(protocol, std::move(fd));
  PushShared& shared = session.shared();

  const Clock::time_point t0 = Clock::now();
  const Clock::time_point window_start = t0 + std::chrono::seconds(o.warmup_s);
  const Clock::time_point window_end = window_start + std::chrono::seconds(o.duration_s);
  shared.window_start_ns.store(Ns(window_start), std::memory_order_relaxed);
  shared.window_end_ns.store(Ns(window_end), std::memory_order_relaxed);
  const auto window = static_cast<uint64_t>(o.pipeline);
  const auto rate = static_cast<uint64_t>(o.rate);
  std::string body = pattern;
  uint64_t slowest = 0, sent_at_start = 0;
  bool in_window = false, failed = false;
  double cpu0 = 0, server_cpu0 = -1;
  Clock::time_point lagging_since{};
  for (;;) {
    Clock::time_point now = Clock::now();
    if (!in_window && now >= window_start) {
      in_window = true;
      sent_at_start = pub.sent;
      cpu0 = OwnCpuSeconds();
      server_cpu0 = ProcessCpuSeconds(o.server_pid);
    }
    if (now >= window_end) break;
    // How many publishes may go now: the window of unanswered ones, the
    // schedule, the slowest subscriber, and what still waits to be written.
    uint64_t want = window - (pub.sent - pub.answered);
    if (rate > 0) {
      const auto us = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now - t0).count());
      const uint64_t due = us * rate / 1'000'000 + 1;
      want = std::min(want, due > pub.sent ? due - pub.sent : 0);
    }
    bool lag_bound = false;
    // (Subscribers that are gone hold nobody back; with none left, nothing does.)
    if (want > 0 && pub.sent >= slowest + kMaxLag) slowest = std::min(SlowestSubscriber(shared), pub.sent);
    if (want > 0 && pub.sent >= slowest + kMaxLag) {
      want = 0;
      lag_bound = true;
      if (lagging_since == Clock::time_point{}) lagging_since = now;
      if (now - lagging_since > kReplyTimeout) {
        r.first_error = Fmt("a subscriber stayed %llu messages behind for %lld s",
                            static_cast<unsigned long long>(kMaxLag), static_cast<long long>(kReplyTimeout.count()));
        failed = true;
        break;
      }
    } else {
      lagging_since = {};
      want = std::min({want, slowest + kMaxLag - pub.sent, kPublishBatch});
    }
    if (pub.pending() > kMaxPending) want = 0;
    if (want > 0) {
      const auto stamp = static_cast<uint64_t>(Ns(now));
      for (uint64_t i = 0; i < want; ++i) {
        StoreU64(body.data(), stamp);
        StoreU64(body.data() + 8, pub.sent + i);
        protocol.AppendPublish(pub.out(), body);
      }
      pub.sent += want;
      shared.published.store(pub.sent, std::memory_order_release);
    }
    if (!pub.Flush() || !pub.Read()) {
      failed = true;
      break;
    }
    // Sleep until something can change: a reply, the next slot of the
    // schedule, the slowest subscriber catching up, or the window's end.
    std::chrono::nanoseconds wait = window_end - now;
    if (lag_bound) {
      wait = std::min<std::chrono::nanoseconds>(wait, std::chrono::microseconds(50));
    } else if (rate > 0 && pub.sent - pub.answered < window) {
      const uint64_t ns = pub.sent / rate * 1'000'000'000 + pub.sent % rate * 1'000'000'000 / rate;
      const auto next = std::chrono::nanoseconds(static_cast<int64_t>(ns));
      wait = std::min<std::chrono::nanoseconds>(wait, t0 + next - Clock::now());
    } else if (rate == 0 && pub.sent - pub.answered < window && pub.pending() <= kMaxPending) {
      wait = std::chrono::nanoseconds(0);
    }
    if (wait.count() > 0) pub.Wait(wait);
  }
  r.published = pub.sent - sent_at_start;
  r.client_cpu_s = OwnCpuSeconds() - cpu0;
  const double server_cpu1 = ProcessCpuSeconds(o.server_pid);
  if (server_cpu0 >= 0 && server_cpu1 >= 0) r.server_cpu_s = server_cpu1 - server_cpu0;
  r.seconds = static_cast<double>(o.duration_s);

  // Everything published goes out; the subscribers then get until they have
  // it all (or until it stops coming), and the publisher its last replies.
  Clock::time_point last = Clock::now();
  while (!failed && (pub.pending() > 0 || pub.answered < pub.sent)) {
    const uint64_t before = pub.answered;
    const size_t pending = pub.pending();
    if (!pub.Flush() || !pub.Read()) {
      failed = true;
      break;
    }
    if (pub.answered != before || pub.pending() != pending) last = Clock::now();
    if (Clock::now() - last > kReplyTimeout) break;
    pub.Wait(std::chrono::milliseconds(kTickMs));
  }
  shared.drain.store(true, std::memory_order_release);
  session.Stop();
  session.Collect(r);
  if (!pub.error().empty()) {
    ++r.wrong;
    r.first_error = pub.error();
  }
  if (pub.answered < pub.sent) {
    r.missing += pub.sent - pub.answered;
    if (r.first_error.empty())
      r.first_error = Fmt("%llu publishes never answered", static_cast<unsigned long long>(pub.sent - pub.answered));
  }
  if (failed && r.errors() == 0) ++r.wrong;  // the lag bound gave up; never a clean run
  return r;
}

}  // namespace parley::bench
