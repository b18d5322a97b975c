#include "net/Connection.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "Limits.h"
#include "Log.h"

namespace parley {

namespace {
RateLimitedLog overflow_log("output overflows");
RateLimitedLog pause_log("read pauses");
}  // namespace

Connection::Connection(int fd, int epfd) : fd_(fd), epfd_(epfd), interest_(EPOLLIN | EPOLLRDHUP) {}

Connection::~Connection() {
  if (!closed_) ::close(fd_);
}

bool Connection::DoneLocked() const {
  return failed_ || (read_eof_ && inflight_.load(std::memory_order_acquire) == 0 && out_off_ == out_.size());
}

void Connection::UpdateInterestLocked() {
  if (closed_) return;
  uint32_t want = 0;
  if (!read_eof_ && !paused_) want |= EPOLLIN | EPOLLRDHUP;
  if (out_off_ < out_.size()) want |= EPOLLOUT;
  if (want == interest_) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.ptr = this;
  if (epoll_ctl(epfd_, EPOLL_CTL_MOD, fd_, &ev) == 0) interest_ = want;
}

void Connection::FailLocked() {
  if (failed_ || closed_) return;
  failed_ = true;
  gone_.store(true, std::memory_order_relaxed);
  std::string().swap(out_);
  out_off_ = 0;
  // Both directions shut: the network thread sees a hang-up and closes.
  ::shutdown(fd_, SHUT_RDWR);
}

void Connection::FlushLocked() {
  while (out_off_ < out_.size()) {
    ssize_t n = ::send(fd_, out_.data() + out_off_, out_.size() - out_off_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      out_off_ += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    FailLocked();  // the peer is gone (reset, broken pipe)
    return;
  }
  if (out_off_ == out_.size()) {
    out_off_ = 0;
    if (out_.capacity() > (256u << 10)) std::string().swap(out_);
    else out_.clear();
  }
}

void Connection::Deliver(std::string_view bytes, size_t finished) {
  std::lock_guard lk(mu);
  if (!closed_ && !failed_ && !bytes.empty()) {
    const bool idle = out_off_ == out_.size();
    out_.append(bytes);
    if (idle) FlushLocked();
    if (!failed_ && out_.size() - out_off_ > kMaxPendingOutput) {
      Counters::Get().output_overflows.fetch_add(1, std::memory_order_relaxed);
      overflow_log.Log("parleyd: closing connection %d: more than %zu bytes of replies unread", fd_,
                       kMaxPendingOutput);
      FailLocked();
    }
  }
  const size_t before = inflight_.fetch_sub(finished, std::memory_order_acq_rel);
  if (closed_ || failed_) return;
  if (paused_ && before - finished <= kResumeInflight) paused_ = false;
  if (DoneLocked() && !finishing_) {
    // Input ended and everything is answered and sent: end our side too, so
    // the network thread sees a hang-up and closes.
    finishing_ = true;
    ::shutdown(fd_, SHUT_WR);
  }
  UpdateInterestLocked();
}

void Connection::AddInflight(size_t n) {
  const size_t now = inflight_.fetch_add(n, std::memory_order_acq_rel) + n;
  if (now < kMaxInflight) return;
  std::lock_guard lk(mu);
  if (paused_ || inflight_.load(std::memory_order_acquire) < kMaxInflight) return;
  paused_ = true;
  Counters::Get().inflight_pauses.fetch_add(1, std::memory_order_relaxed);
  pause_log.Log("parleyd: connection %d has %zu requests in flight; reading from it paused", fd_, now);
  UpdateInterestLocked();
}

bool Connection::OnWritable() {
  std::lock_guard lk(mu);
  if (closed_) return false;
  FlushLocked();
  if (DoneLocked()) return true;
  UpdateInterestLocked();
  return false;
}

bool Connection::OnReadEof() {
  std::lock_guard lk(mu);
  read_eof_ = true;
  if (DoneLocked()) return true;
  UpdateInterestLocked();
  return false;
}

void Connection::Close() {
  std::lock_guard lk(mu);
  if (closed_) return;
  closed_ = true;
  gone_.store(true, std::memory_order_relaxed);
  epoll_ctl(epfd_, EPOLL_CTL_DEL, fd_, nullptr);
  ::close(fd_);
  std::string().swap(out_);
  out_off_ = 0;
}

}  // namespace parley
