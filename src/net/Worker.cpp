#include "net/Worker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Limits.h"
#include "Log.h"
#include "protocol/Events.h"

namespace parley {

namespace {

// epoll data of the two descriptors that are not connections.
char kListenerTag;
char kSignalTag;

// The protocol's own text for a frame that yields no request.
constexpr char kFrameError[] = "error read msg";

RateLimitedLog accept_log("accept failures");
RateLimitedLog bad_length_log("rejected frame lengths");

}  // namespace

// Feeds the frames of one connection's bytes to the worker.
class Worker::Dispatcher final : public FrameSink {
 public:
  Dispatcher(Worker& w, const std::shared_ptr<Connection>& conn) : w_(w), conn_(conn) {}
  void OnFrame(const char* payload, size_t len) override {
    if (!w_.CreateEvent(payload, len, conn_)) Reject();
  }
  void OnBadLength(int32_t len) override {
    bad_length_log.Log("parleyd: connection %d: frame length %d outside 1..%d, skipped", conn_->fd(), len,
                       static_cast<int>(kMaxPayload));
    Reject();
  }

 private:
  void Reject() {
    Counters::Get().rejected_frames.fetch_add(1, std::memory_order_relaxed);
    fputs(kFrameError, stdout);
    w_.stdout_dirty_ = true;
  }
  Worker& w_;
  const std::shared_ptr<Connection>& conn_;
};

Worker::Worker(QueueManager* qm, ResourceManager* rm, int port)
    : qMgr(qm), rMgr(rm), port_(port), scratch_(std::make_unique<char[]>(kReadChunk)) {}

Worker::~Worker() {
  CloseAll();
  if (listenfd_ >= 0) close(listenfd_);
  if (sigfd_ >= 0) close(sigfd_);
  if (epfd_ >= 0) close(epfd_);
}

bool Worker::Listen() {
  listenfd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listenfd_ < 0) {
    LogLine("cannot create the listening socket: %s", strerror(errno));
    return false;
  }
  int one = 1;
  setsockopt(listenfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  if (bind(listenfd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    LogLine("cannot bind port %d: %s", port_, strerror(errno));
    return false;
  }
  if (listen(listenfd_, MAX) != 0) {
    LogLine("cannot listen on port %d: %s", port_, strerror(errno));
    return false;
  }
  socklen_t len = sizeof addr;
  if (getsockname(listenfd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) port_ = ntohs(addr.sin_port);

  epfd_ = epoll_create1(EPOLL_CLOEXEC);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigfd_ = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  if (epfd_ < 0 || sigfd_ < 0) {
    LogLine("cannot set up the event loop: %s", strerror(errno));
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = &kListenerTag;
  epoll_ctl(epfd_, EPOLL_CTL_ADD, listenfd_, &ev);
  ev.data.ptr = &kSignalTag;
  epoll_ctl(epfd_, EPOLL_CTL_ADD, sigfd_, &ev);
  return true;
}

void Worker::operator()() {
  constexpr int kMaxEvents = 256;
  epoll_event events[kMaxEvents];
  while (!stop_) {
    int timeout = -1;
    if (accept_paused_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(accept_resume_at_ -
                                                                         std::chrono::steady_clock::now());
      timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    int n = epoll_wait(epfd_, events, kMaxEvents, timeout);
    inline_left_ = kInlineBudget;
    if (n < 0) {
      if (errno == EINTR) continue;
      LogLine("epoll_wait failed: %s", strerror(errno));
      break;
    }
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == &kListenerTag) {
        AcceptAll();
      } else if (tag == &kSignalTag) {
        signalfd_siginfo si;
        while (read(sigfd_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) stop_ = true;
      } else {
        OnConnectionEvent(static_cast<Connection*>(tag), events[i].events);
      }
    }
    qMgr->Submit(staged_);
    if (stdout_dirty_) {
      fflush(stdout);
      stdout_dirty_ = false;
    }
    graveyard_.clear();
    if (accept_paused_ && std::chrono::steady_clock::now() >= accept_resume_at_) ResumeAccepting();
  }
  CloseAll();
  if (listenfd_ >= 0) {
    close(listenfd_);
    listenfd_ = -1;
  }
}

void Worker::AcceptAll() {
  for (int i = 0; i < kMaxAcceptsPerPass; ++i) {
    int fd = accept4(listenfd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
    printf("Accepted %d\n", fd);
    stdout_dirty_ = true;
    Counters::Get().accepted.fetch_add(1, std::memory_order_relaxed);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto conn = std::make_shared<Connection>(fd, epfd_);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.ptr = conn.get();
    if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      accept_log.Log("parleyd: cannot watch connection %d: %s", fd, strerror(errno));
      conn->Close();
      continue;
    }
    conns_.emplace(conn.get(), std::move(conn));
  }
}

void Worker::PauseAccepting() {
  if (!accept_paused_) {
    epoll_event ev{};
    ev.data.ptr = &kListenerTag;
    epoll_ctl(epfd_, EPOLL_CTL_MOD, listenfd_, &ev);  // no events: not watched
    accept_paused_ = true;
  }
  accept_resume_at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
}

void Worker::ResumeAccepting() {
  if (!accept_paused_) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = &kListenerTag;
  epoll_ctl(epfd_, EPOLL_CTL_MOD, listenfd_, &ev);
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
  if ((events & EPOLLOUT) && conn->OnWritable()) {
    CloseConnection(raw);
    return;
  }
  if (!conn->ReadEof() && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP))) {
    if (!ReadFrom(conn)) return;
  }
  // Both directions are shut: the peer is gone, or we finished (or failed)
  // the connection from an event thread.
  if (events & EPOLLHUP) CloseConnection(raw);
}

bool Worker::ReadFrom(const std::shared_ptr<Connection>& conn) {
  char* buf = scratch_.get();
  for (int reads = 0; reads < kMaxReadsPerPass; ++reads) {
    ssize_t n = recv(conn->fd(), buf, kReadChunk, 0);
    if (n > 0) {
      Dispatch(conn, buf, static_cast<size_t>(n));
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
    if (conn->OnReadEof()) {
      CloseConnection(conn.get());
      return false;
    }
    break;
  }
  return true;
}

void Worker::Dispatch(const std::shared_ptr<Connection>& conn, const char* data, size_t n) {
  Dispatcher sink(*this, conn);
  std::string& in = conn->in;
  if (in.empty()) {
    size_t used = CutFrames(data, n, sink);
    in.assign(data + used, n - used);
  } else {
    in.append(data, n);
    size_t used = CutFrames(in.data(), in.size(), sink);
    in.erase(0, used);
  }
  // Replies of requests run here are handed over now, before anything staged
  // in this pass reaches an event thread: the connection's replies stay in
  // request order.
  if (!inline_out_.empty()) {
    conn->Deliver(inline_out_, 0);
    inline_out_.clear();
  }
  // An idle connection should not pin a large buffer.
  if (in.empty() && in.capacity() > 4096) std::string().swap(in);
}

bool Worker::CreateEvent(const char* data, size_t len, const std::shared_ptr<Connection>& conn) {
  std::shared_ptr<Event> res = DecodeRequest(data, len);
  if (!res) return false;
  res->SetFd(conn->fd());
  res->SetConnection(conn);
  if (inline_left_ > 0 && conn->Inflight() == 0 && res->IsCheap(*rMgr)) {
    // Nothing of this connection is queued and the request is quick: run it
    // here. Handing it to an event thread would cost a wake-up and two
    // context switches, more than the request itself.
    --inline_left_;
    Counters::Get().requests.fetch_add(1, std::memory_order_relaxed);
    if (!conn->Gone() || res->ChangesStore()) {
      res->SetOutput(&inline_out_);
      res->Process(rMgr);
    }
    return true;
  }
  qMgr->Stage(std::move(res), staged_);
  return true;
}

void Worker::CloseConnection(Connection* raw) {
  auto it = conns_.find(raw);
  if (it == conns_.end()) return;
  it->second->Close();
  Counters::Get().closed.fetch_add(1, std::memory_order_relaxed);
  graveyard_.push_back(std::move(it->second));
  conns_.erase(it);
  ResumeAccepting();  // a descriptor is free again
}

void Worker::CloseAll() {
  for (auto& [raw, conn] : conns_) conn->Close();
  conns_.clear();
  graveyard_.clear();
}

}  // namespace parley
