#include "net/Worker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "Limits.h"
#include "Log.h"
#include "MemoryBudget.h"
#include "events/DurableGate.h"
#include "metrics/Metrics.h"
#include "push/PushHub.h"
#include "net/StdoutWriter.h"
#include "protocol/Events.h"
#include "security/Tls.h"
#include "store/RwLock.h"

namespace parley {

namespace {

// epoll data of the descriptors that are not connections.
char kListenerTag;
char kTlsListenerTag;
char kSignalTag;
char kDurableTag;

// The protocol's own text for a frame that yields no request.
constexpr char kFrameError[] = "error read msg";

// How often the memory bound is checked while a limit is set.
constexpr auto kMemoryCheckInterval = std::chrono::milliseconds(100);

RateLimitedLog accept_log(LogLevel::kError, "accept failures");
RateLimitedLog bad_length_log(LogLevel::kWarn, "rejected frame lengths");
RateLimitedLog timeout_log(LogLevel::kWarn, "frame timeouts");
RateLimitedLog evict_log(LogLevel::kWarn, "memory closures");
RateLimitedLog address_log(LogLevel::kWarn, "connections over the per-address limit");
RateLimitedLog rate_log(LogLevel::kInfo, "request rate pauses");

std::string AddressText(uint32_t peer) {
  char text[INET_ADDRSTRLEN] = "?";
  in_addr a{};
  a.s_addr = peer;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}
RateLimitedLog tls_log(LogLevel::kWarn, "TLS failures");

// The system's cap on listen backlogs; 0 when unknown.
int SystemMaxBacklog() {
  std::ifstream f("/proc/sys/net/core/somaxconn");
  int v = 0;
  return (f >> v) ? v : 0;
}

}  // namespace

// Feeds the frames of one connection's bytes to the worker.
class Worker::Dispatcher final : public FrameSink {
 public:
  Dispatcher(Worker& w, const std::shared_ptr<Connection>& conn) : w_(w), conn_(conn) {}
  void OnFrame(const char* payload, size_t len) override {
    ++frames_;
    if (!w_.CreateEvent(payload, len, conn_)) Reject(metrics::KindOfPayload(payload, len));
    if (w_.rate_cost_ns_ != 0) w_.ChargeRate(conn_.get());
  }
  void OnBadLength(int32_t len) override {
    ++frames_;
    bad_length_log.Log("parleyd: connection %d: frame length %d outside 1..%d, skipped", conn_->fd(), len,
                       static_cast<int>(kMaxPayload));
    Reject(metrics::kUnknownKind);
  }
  // The in-flight bound is exact: not one more frame once reading is paused.
  bool Stopped() const override { return conn_->ReadPaused(); }
  size_t frames() const { return frames_; }

 private:
  static void Reject(size_t kind) {
    metrics::CountRequest(kind, metrics::Result::kUndecodable);
    Counters::Get().rejected_frames.fetch_add(1, std::memory_order_relaxed);
    StdoutWriter::Get().Write(kFrameError);
  }
  Worker& w_;
  const std::shared_ptr<Connection>& conn_;
  size_t frames_ = 0;
};

// Looks ahead over the first frames of a read before any of them runs. A
// registration looks its name up in a table that, once there are many users,
// is far larger than the cache: the slot is loaded now, while the requests
// before it run, instead of being waited for when its turn comes.
class HintSink final : public FrameSink {
 public:
  // Below this many users the table fits the caches and the look-ahead costs
  // more than it saves.
  static constexpr size_t kFromUsers = size_t{1} << 16;
  explicit HintSink(const ResourceManager& rm) : rm_(rm) {}
  static bool Worthwhile(const ResourceManager& rm) { return rm.UserCount() >= kFromUsers; }
  void OnFrame(const char* payload, size_t len) override {
    ++frames_;
    if (const std::string_view name = RegisteredName(payload, len); !name.empty()) rm_.PrefetchUser(name);
  }
  void OnBadLength(int32_t) override { ++frames_; }
  // Enough to cover a pipelined batch; past that the look-ahead would be
  // overtaken by the cache's own evictions.
  bool Stopped() const override { return frames_ >= 64; }

 private:
  const ResourceManager& rm_;
  size_t frames_ = 0;
};

Worker::Worker(QueueManager* qm, ResourceManager* rm, const Options& opt)
    : qMgr(qm),
      rMgr(rm),
      port_(opt.plain ? opt.port : -1),
      backlog_(opt.backlog),
      frame_timeout_(opt.frame_timeout_s),
      memory_limited_(opt.max_memory != 0),
      max_conns_per_ip_(static_cast<uint32_t>(opt.max_conns_per_ip)),
      rate_cost_ns_(opt.max_request_rate > 0 ? 1'000'000'000 / opt.max_request_rate : 0),
      rate_burst_ns_(opt.max_request_rate > 0 ? 1'000'000'000 : 0),
      tls_port_(opt.tls_port),
      plain_(opt.plain),
      scratch_(std::make_unique<char[]>(kReadChunk)) {}

Worker::~Worker() {
  CloseAll();
  if (listenfd_ >= 0) close(listenfd_);
  if (tlsfd_ >= 0) close(tlsfd_);
  if (sigfd_ >= 0) close(sigfd_);
  if (epfd_ >= 0) close(epfd_);
}

int Worker::OpenListener(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LogError("cannot create the listening socket: %s", strerror(errno));
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    LogError("cannot bind port %d: %s", port, strerror(errno));
    close(fd);
    return -1;
  }
  int backlog = backlog_;
  if (const int cap = SystemMaxBacklog(); cap > 0 && backlog > cap) {
    LogWarn("listen backlog %d lowered to the system's limit %d (net.core.somaxconn)", backlog, cap);
    backlog = cap;
  }
  if (listen(fd, backlog) != 0) {
    LogError("cannot listen on port %d: %s", port, strerror(errno));
    close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) port = ntohs(addr.sin_port);
  return fd;
}

bool Worker::Listen() {
  if (plain_ && (listenfd_ = OpenListener(port_)) < 0) return false;
  if (tls_port_ >= 0) {
    if (tls_ctx_ == nullptr) {
      LogError("the TLS listener has no certificate");
      return false;
    }
    if ((tlsfd_ = OpenListener(tls_port_)) < 0) return false;
  }

  epfd_ = epoll_create1(EPOLL_CLOEXEC);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGUSR1);
  sigfd_ = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  if (epfd_ < 0 || sigfd_ < 0) {
    LogError("cannot set up the event loop: %s", strerror(errno));
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = &kListenerTag;
  if (listenfd_ >= 0) epoll_ctl(epfd_, EPOLL_CTL_ADD, listenfd_, &ev);
  ev.data.ptr = &kTlsListenerTag;
  if (tlsfd_ >= 0) epoll_ctl(epfd_, EPOLL_CTL_ADD, tlsfd_, &ev);
  ev.data.ptr = &kSignalTag;
  epoll_ctl(epfd_, EPOLL_CTL_ADD, sigfd_, &ev);
  ev.data.ptr = &kDurableTag;
  epoll_ctl(epfd_, EPOLL_CTL_ADD, DurableGate::Get().fd(), &ev);

  // Descriptors below the loop's own are taken (standard streams, and so on).
  rlimit rl{};
  const long in_use = std::max({listenfd_, tlsfd_, epfd_, sigfd_}) + 1;
  long room = 1 << 20;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
    room = static_cast<long>(rl.rlim_cur) - in_use - kReservedDescriptors;
  max_conns_ = static_cast<size_t>(std::max(room, 1L));
  return true;
}

int Worker::PollTimeoutMs(Clock::time_point now) const {
  Clock::time_point next = Clock::time_point::max();
  if (accept_paused_) next = accept_resume_at_;
  if (!frame_timers_.empty()) next = std::min(next, frame_timers_.begin()->first);
  if (!rate_timers_.empty()) next = std::min(next, rate_timers_.begin()->first);
  if (memory_limited_) next = std::min(next, next_memory_check_);
  if (next == Clock::time_point::max()) return -1;
  if (next <= now) return 0;
  // Rounded up, so the loop does not wake just before a deadline and spin.
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
  return static_cast<int>(std::min<long long>((us + 999) / 1000, 60'000));
}

void Worker::operator()() {
  constexpr int kMaxEvents = 256;
  epoll_event events[kMaxEvents];
  DurableGate::SendsAfterAdvancing();
  // The end of the last pass, and the start of this one: the loop's only clock readings.
  Clock::time_point now = Clock::now();
  while (!stop_) {
    int n = epoll_wait(epfd_, events, kMaxEvents, PollTimeoutMs(now));
    const Clock::time_point pass_start = Clock::now();
    pass_start_ns_ = metrics::ToNs(pass_start);
    inline_left_ = kInlineBudget;
    stream_left_ = kListingBytesPerPass;
    handshakes_left_ = kMaxHandshakeStepsPerPass;
    if (n < 0) {
      now = pass_start;
      if (errno == EINTR) continue;
      LogError("epoll_wait failed: %s", strerror(errno));
      break;
    }
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == &kListenerTag) {
        AcceptAll(listenfd_, false);
      } else if (tag == &kTlsListenerTag) {
        AcceptAll(tlsfd_, true);
      } else if (tag == &kSignalTag) {
        signalfd_siginfo si;
        while (read(sigfd_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
          if (si.ssi_signo == SIGUSR1) {
            if (on_snapshot_signal_) on_snapshot_signal_();
          } else {
            stop_ = true;
          }
        }
      } else if (tag == &kDurableTag) {
        ReleaseHeld(true);
      } else {
        OnConnectionEvent(static_cast<Connection*>(tag), events[i].events);
      }
    }
    qMgr->Submit(staged_);
    if (ChangeSink* sink = rMgr->changeSink()) {
      sink->Submit();  // this pass's changes: one group
      // Written by this thread just now, most likely: their replies go at once
      // (and this thread's own advance did not wake it: SendsAfterAdvancing).
      if (DurableGate::Get().Waiting()) ReleaseHeld(false);
    }
    now = Clock::now();
    // The requests answered here had their replies handed over during the pass.
    for (size_t k = 0; inline_kinds_ != 0; ++k, inline_kinds_ >>= 1) {
      if ((inline_kinds_ & 1) == 0) continue;
      metrics::ObserveLatency(k, pass_start_ns_, metrics::ToNs(now), inline_answered_[k]);
      inline_answered_[k] = 0;
    }
    ExpireFrameTimers(now);
    ExpireRateTimers(now);
    if (memory_limited_ && now >= next_memory_check_) {
      next_memory_check_ = now + kMemoryCheckInterval;
      if (MemoryBudget::Get().OverLimit()) EvictForMemory();
    }
    graveyard_.clear();
    if (accept_paused_ && now >= accept_resume_at_) ResumeAccepting();
  }
  CloseAll();
  for (int* fd : {&listenfd_, &tlsfd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void Worker::ReleaseHeld(bool drain) {
  thread_local std::vector<Connection*> ready;
  ready.clear();
  DurableGate::Get().TakeReady(ready, drain);
  for (Connection* raw : ready) {
    auto it = conns_.find(raw);  // it may have closed while it waited
    if (it != conns_.end() && it->second->OnWritable(stream_left_)) CloseConnection(raw);
  }
}

void Worker::AcceptAll(int listenfd, bool tls) {
  for (int i = 0; i < kMaxAcceptsPerPass; ++i) {
    if (conns_.size() >= max_conns_) {
      // Taking the last descriptors would leave none for anything else the
      // process must open: wait, as for EMFILE, until a connection closes.
      Counters::Get().accept_errors.fetch_add(1, std::memory_order_relaxed);
      accept_log.Log("accept: %zu connections open, all the descriptor limit allows with %d kept free; "
                     "listener paused", conns_.size(), kReservedDescriptors);
      PauseAccepting();
      return;
    }
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    int fd = accept4(listenfd, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
          return;
        // The connection failed before we took it, or a transient network
        // error (accept(2) says to treat these like EAGAIN): take the next.
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case EPERM:
          continue;
        default:
          // Out of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM),
          // or worse: keep serving the connections we have, and try again
          // when one closes or after a pause.
          Counters::Get().accept_errors.fetch_add(1, std::memory_order_relaxed);
          accept_log.Log("accept: %s (%zu connections open; listener paused)", strerror(errno), conns_.size());
          PauseAccepting();
          return;
      }
    }
    std::unique_ptr<TlsSession> session;
    if (tls && !(session = TlsSession::Accept(*tls_ctx_))) {
      Counters::Get().tls_failures.fetch_add(1, std::memory_order_relaxed);
      tls_log.Log("parleyd: closing connection %d: cannot start a TLS session", fd);
      ::close(fd);
      continue;
    }
    if (!AdmitAddress(peer.sin_addr.s_addr)) {
      ::close(fd);
      continue;
    }
    char text[32];
    const int len = snprintf(text, sizeof text, "Accepted %d\n", fd);
    StdoutWriter::Get().Write(std::string_view(text, static_cast<size_t>(len)));
    Counters::Get().accepted.fetch_add(1, std::memory_order_relaxed);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto conn = session ? std::make_shared<Connection>(fd, epfd_, peer.sin_addr.s_addr, std::move(session))
                        : std::make_shared<Connection>(fd, epfd_, peer.sin_addr.s_addr);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.ptr = conn.get();
    if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      accept_log.Log("parleyd: cannot watch connection %d: %s", fd, strerror(errno));
      conn->Close();
      continue;
    }
    Connection* key = conn.get();
    // The handshake must be over within the frame timeout from now, however
    // its bytes trickle in (they do not count as progress).
    if (tls) SetFrameTimer(key, true, true);
    conns_.emplace(key, std::move(conn));
    open_.store(conns_.size(), std::memory_order_relaxed);
  }
}

void Worker::PauseAccepting() {
  if (!accept_paused_) {
    epoll_event ev{};
    ev.data.ptr = &kListenerTag;
    if (listenfd_ >= 0) epoll_ctl(epfd_, EPOLL_CTL_MOD, listenfd_, &ev);  // no events: not watched
    ev.data.ptr = &kTlsListenerTag;
    if (tlsfd_ >= 0) epoll_ctl(epfd_, EPOLL_CTL_MOD, tlsfd_, &ev);
    accept_paused_ = true;
  }
  accept_resume_at_ = Clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
}

void Worker::ResumeAccepting() {
  if (!accept_paused_) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = &kListenerTag;
  if (listenfd_ >= 0) epoll_ctl(epfd_, EPOLL_CTL_MOD, listenfd_, &ev);
  ev.data.ptr = &kTlsListenerTag;
  if (tlsfd_ >= 0) epoll_ctl(epfd_, EPOLL_CTL_MOD, tlsfd_, &ev);
  accept_paused_ = false;
}

void Worker::OnConnectionEvent(Connection* raw, uint32_t events) {
  auto it = conns_.find(raw);
  if (it == conns_.end()) return;  // closed earlier in this pass
  std::shared_ptr<Connection> conn = it->second;
  if (events & EPOLLERR) {
    CloseConnection(raw);
    return;
  }
  if ((events & EPOLLOUT) && conn->OnWritable(stream_left_)) {
    CloseConnection(raw);
    return;
  }
  // Frames left unread while reading was paused come first.
  if (conn->InputBacklog() && !conn->ReadPaused()) Feed(conn, nullptr, 0);
  if (!conn->ReadEof() && !conn->ReadPaused() && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP))) {
    if (!ReadFrom(conn)) return;
  }
  // Both directions are shut: the peer is gone, or we finished (or failed)
  // the connection from an event thread.
  if (events & EPOLLHUP) CloseConnection(raw);
}

bool Worker::ReadFrom(const std::shared_ptr<Connection>& conn) {
  char* buf = scratch_.get();
  for (int reads = 0; reads < kMaxReadsPerPass && !conn->ReadPaused(); ++reads) {
    // A handshake waits for a later pass once this one made its share.
    if (conn->Tls() && handshakes_left_ <= 0 && conn->Handshaking()) break;
    ssize_t n = recv(conn->fd(), buf, kReadChunk, 0);
    if (n > 0) metrics::CountBytesIn(static_cast<uint64_t>(n));
    bool eof = false;
    if (n > 0 && conn->Tls()) {
      if (!DecryptAndFeed(conn, buf, static_cast<size_t>(n), eof) && !eof) return false;
      if (!eof) {
        if (static_cast<size_t>(n) < kReadChunk) break;
        continue;
      }
      n = 0;  // the peer ended the session: as the end of input
    } else if (n > 0) {
      Feed(conn, buf, static_cast<size_t>(n));
      if (static_cast<size_t>(n) < kReadChunk) break;  // drained
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0) {  // reset or other failure: nothing more can be delivered
      CloseConnection(conn.get());
      return false;
    }
    // End of input. An incomplete frame at the end is dropped; complete
    // requests already read are still answered before the connection closes.
    std::string().swap(conn->in);
    SetFrameTimer(conn.get(), false, false);
    if (conn->OnReadEof()) {
      CloseConnection(conn.get());
      return false;
    }
    break;
  }
  return true;
}

bool Worker::DecryptAndFeed(const std::shared_ptr<Connection>& conn, const char* data, size_t n, bool& eof) {
  const bool handshaking = conn->Handshaking();
  if (handshaking) --handshakes_left_;
  tls_plain_.clear();
  std::string error;
  const Connection::Decrypted r = conn->Decrypt(data, n, tls_plain_, error);
  if (r == Connection::Decrypted::kFailed) {
    Counters::Get().tls_failures.fetch_add(1, std::memory_order_relaxed);
    tls_log.Log("parleyd: closing connection %d: TLS %s failed: %s", conn->fd(),
                handshaking ? "handshake" : "session", error.c_str());
    CloseConnection(conn.get());
    return false;
  }
  // Handshake over: the frame timeout now runs for frames only.
  if (handshaking && !conn->Handshaking()) SetFrameTimer(conn.get(), false, false);
  if (!tls_plain_.empty()) Feed(conn, tls_plain_.data(), tls_plain_.size());
  if (tls_plain_.capacity() > kReadChunk) std::string().swap(tls_plain_);
  eof = r == Connection::Decrypted::kClosed;
  return !eof;
}

void Worker::RunAlone(std::shared_ptr<Event> ev, const std::shared_ptr<Connection>& conn) {
  CountTaken();  // placing it may hand the replies before it over
  if (!qMgr->RunAlone(ev, staged_)) parked_[conn.get()] = std::move(ev);
}

void Worker::CountTaken() {
  if (inline_taken_ != 0) Counters::Get().requests.fetch_add(std::exchange(inline_taken_, 0), std::memory_order_relaxed);
}

void Worker::ChargeRate(Connection* conn) {
  // The budget is a time: each request moves it a request's cost ahead of
  // now (or of where it stood); reading stops once it is a second ahead.
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
  conn->rate_tat = std::max(conn->rate_tat, now) + rate_cost_ns_;
  const int64_t wait = conn->rate_tat - now - rate_burst_ns_;
  if (wait <= 0 || conn->Gone()) return;
  if (!conn->PauseReading(Connection::kPauseRate)) return;
  const Clock::time_point at = Clock::now() + std::chrono::nanoseconds(wait);
  if (auto it = rate_deadline_.find(conn); it != rate_deadline_.end()) {
    rate_timers_.erase({it->second, conn});
    it->second = at;
  } else {
    rate_deadline_.emplace(conn, at);
    Counters::Get().rate_pauses.fetch_add(1, std::memory_order_relaxed);
    rate_log.Log("parleyd: connection %d from %s is over %lld requests per second; reading from it slowed",
                 conn->fd(), AddressText(conn->peer()).c_str(), static_cast<long long>(1'000'000'000 / rate_cost_ns_));
  }
  rate_timers_.insert({at, conn});
}

void Worker::ExpireRateTimers(Clock::time_point now) {
  while (!rate_timers_.empty() && rate_timers_.begin()->first <= now) {
    Connection* conn = rate_timers_.begin()->second;
    rate_timers_.erase(rate_timers_.begin());
    rate_deadline_.erase(conn);
    conn->ResumeReading(Connection::kPauseRate);  // its frames left unread bring it back (input backlog)
  }
}

bool Worker::AdmitAddress(uint32_t peer) {
  if (max_conns_per_ip_ == 0) return true;
  uint32_t& open = conns_per_ip_[peer];
  if (open < max_conns_per_ip_) {
    ++open;
    return true;
  }
  Counters::Get().address_refusals.fetch_add(1, std::memory_order_relaxed);
  address_log.Log("parleyd: %s already has %u connections open (--max-conns-per-ip); new one closed",
                  AddressText(peer).c_str(), open);
  return false;
}

void Worker::Feed(const std::shared_ptr<Connection>& conn, const char* data, size_t n) {
  // A request that runs alone goes first once the requests before it are answered.
  if (!parked_.empty() && !conn->ReadPaused()) {
    if (auto it = parked_.find(conn.get()); it != parked_.end()) {
      std::shared_ptr<Event> ev = std::move(it->second);
      parked_.erase(it);
      RunAlone(std::move(ev), conn);
    }
  }
  Dispatcher sink(*this, conn);
  std::string& in = conn->in;
  const bool was_empty = in.empty();
  HintSink hints(*rMgr);
  const bool look_ahead = HintSink::Worthwhile(*rMgr);
  if (was_empty) {
    if (look_ahead && n > 0) CutFrames(data, n, hints);
    const size_t used = n == 0 ? 0 : CutFrames(data, n, sink);
    if (used < n) in.assign(data + used, n - used);
  } else {
    if (n > 0) in.append(data, n);
    if (look_ahead) CutFrames(in.data(), in.size(), hints);
    const size_t used = CutFrames(in.data(), in.size(), sink);
    in.erase(0, used);
  }
  // The replies of requests run here go out now, one send per read: before
  // anything staged can run, and before an end of input can finish the connection.
  CountTaken();
  qMgr->HandOverReplies(staged_);
  // Stopped with frames left: they wait in `in` until reading resumes.
  const bool backlog = conn->ReadPaused() && (!in.empty() || (!parked_.empty() && parked_.contains(conn.get())));
  conn->SetInputBacklog(backlog);
  SetFrameTimer(conn.get(), !backlog && !in.empty(), was_empty || sink.frames() > 0);
  // An idle connection should not pin a large buffer.
  if (in.capacity() > 4096 && in.size() * 4 < in.capacity()) std::string(in).swap(in);
}

bool Worker::CreateEvent(const char* data, size_t len, const std::shared_ptr<Connection>& conn) {
  std::shared_ptr<Event> res = DecodeRequest(data, len);
  if (!res) return false;
  res->SetFd(conn->fd());
  res->BorrowConnection(conn);  // owned once it leaves this call unanswered
  res->SetReceived(pass_start_ns_);
  if (res->RunsAlone()) {
    res->OwnConnection();
    RunAlone(std::move(res), conn);
    return true;
  }
  if (inline_left_ > 0) {
    if (ReplyBuffer* out = qMgr->RunHere(*res, staged_)) {
      // Handing it to an event thread would cost a wake-up and two context
      // switches, more than the request itself. A read for a client that is
      // gone would only build a reply to drop.
      bool busy = false;
      if (!conn->Gone() || res->ChangesStore()) {
        const size_t mark = out->Bytes().size();
        NoWaitScope no_wait;
        res->SetOutput(out);
        const bool ok = res->Run(rMgr);
        busy = StoreWasBusy();
        // A lock was busy: nothing changed; the request waits its turn on an event thread.
        if (busy) {
          out->Bytes().resize(mark);
        } else {
          DurableGate::Get().Hold(*out, mark, rMgr->changeSink(), res->HeldForJournal());
          const uint64_t kind = res->GetType();
          metrics::CountRequest(kind, ok ? metrics::Result::kOk : metrics::Result::kNo);
          ++inline_answered_[kind];
          inline_kinds_ |= uint32_t{1} << kind;
        }
      }
      if (!busy) {
        --inline_left_;
        ++inline_taken_;
        return true;
      }
    }
  }
  res->SetOutput(static_cast<std::string*>(nullptr));
  res->OwnConnection();
  qMgr->Stage(std::move(res), staged_);
  return true;
}

void Worker::SetFrameTimer(Connection* conn, bool partial, bool progressed) {
  if (frame_timeout_.count() == 0) return;
  auto it = frame_deadline_.find(conn);
  if (it != frame_deadline_.end()) {
    if (partial && !progressed) return;  // the same frame: its deadline stands
    frame_timers_.erase({it->second, conn});
    frame_deadline_.erase(it);
  }
  if (partial) {
    const Clock::time_point deadline = Clock::now() + frame_timeout_;
    frame_timers_.insert({deadline, conn});
    frame_deadline_.emplace(conn, deadline);
  }
}

void Worker::ExpireFrameTimers(Clock::time_point now) {
  while (!frame_timers_.empty() && frame_timers_.begin()->first <= now) {
    Connection* conn = frame_timers_.begin()->second;
    Counters::Get().frame_timeouts.fetch_add(1, std::memory_order_relaxed);
    timeout_log.Log("parleyd: closing connection %d: %s for %lld s", conn->fd(),
                    conn->Handshaking() ? "the TLS handshake stayed unfinished" : "a frame stayed incomplete",
                    static_cast<long long>(frame_timeout_.count()));
    CloseConnection(conn);  // removes the timer
  }
}

void Worker::EvictForMemory() {
  std::vector<std::pair<size_t, Connection*>> big;
  for (const auto& [raw, conn] : conns_)
    if (const size_t pending = conn->PendingOutput(); pending >= kMinEvictableOutput) big.push_back({pending, raw});
  std::sort(big.begin(), big.end(), std::greater<>());
  for (const auto& [pending, raw] : big) {
    if (!MemoryBudget::Get().OverLimit()) break;
    Counters::Get().memory_evictions.fetch_add(1, std::memory_order_relaxed);
    evict_log.Log("parleyd: memory limit passed (%llu of %llu bytes): closing connection %d with %zu bytes unread",
                  static_cast<unsigned long long>(MemoryBudget::Get().Used()),
                  static_cast<unsigned long long>(MemoryBudget::Get().Limit()), raw->fd(), pending);
    raw->Fail();  // drops its output at once; the hang-up closes it
  }
}

void Worker::CloseConnection(Connection* raw) {
  auto it = conns_.find(raw);
  if (it == conns_.end()) return;
  if (auto t = frame_deadline_.find(raw); t != frame_deadline_.end()) {
    frame_timers_.erase({t->second, raw});
    frame_deadline_.erase(t);
  }
  if (auto t = rate_deadline_.find(raw); t != rate_deadline_.end()) {
    rate_timers_.erase({t->second, raw});
    rate_deadline_.erase(t);
  }
  parked_.erase(raw);
  if (max_conns_per_ip_ != 0) {
    if (auto c = conns_per_ip_.find(raw->peer()); c != conns_per_ip_.end() && --c->second == 0) conns_per_ip_.erase(c);
  }
  it->second->Close();
  if (PushHub* hub = PushHub::Get()) hub->DropConnection(it->second);  // its subscriptions end with it
  Counters::Get().closed.fetch_add(1, std::memory_order_relaxed);
  graveyard_.push_back(std::move(it->second));
  conns_.erase(it);
  open_.store(conns_.size(), std::memory_order_relaxed);
  ResumeAccepting();  // a descriptor is free again
}

void Worker::CloseAll() {
  for (auto& [raw, conn] : conns_) conn->Close();
  conns_.clear();
  open_.store(0, std::memory_order_relaxed);
  frame_timers_.clear();
  frame_deadline_.clear();
  rate_timers_.clear();
  rate_deadline_.clear();
  parked_.clear();
  conns_per_ip_.clear();
  graveyard_.clear();
}

}  // namespace parley
