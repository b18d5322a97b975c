#include "net/Connection.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Limits.h"
#include "Log.h"
#include "events/DurableGate.h"
#include "metrics/Metrics.h"
#include "MemoryBudget.h"
#include "security/Tls.h"

namespace parley {

namespace {
RateLimitedLog overflow_log(LogLevel::kWarn, "output overflows");
RateLimitedLog pause_log(LogLevel::kInfo, "read pauses");
RateLimitedLog push_overflow_log(LogLevel::kWarn, "subscriber overflows");
}  // namespace

Connection::Connection(int fd, int epfd, uint32_t peer)
    : fd_(fd), epfd_(epfd), peer_(peer), interest_(EPOLLIN | EPOLLRDHUP) {}

Connection::Connection(int fd, int epfd, uint32_t peer, std::unique_ptr<TlsSession> tls)
    : Connection(fd, epfd, peer) {
  tls_ = std::move(tls);
}

Connection::~Connection() {
  if (!closed_) ::close(fd_);
  MemoryBudget::Get().ChargeOutput(-static_cast<int64_t>(pending_.load(std::memory_order_relaxed)));
}

bool Connection::DoneLocked() const {
  return failed_ || (read_eof_ && inflight_.load(std::memory_order_acquire) == 0 && DrainedLocked());
}

size_t Connection::RecountLocked() {
  size_t n = out_.size() - out_off_;
  if (tls_) n += tls_->UnsentSize();
  if (rest_)
    for (const auto& p : *rest_) n += p.after.size() + (p.stream ? p.stream->PendingCost() : 0);
  const size_t was = pending_.load(std::memory_order_relaxed);
  if (n != was) {  // the budget is shared by every thread: touch it only on a change
    pending_.store(static_cast<uint32_t>(std::min<size_t>(n, UINT32_MAX)), std::memory_order_relaxed);
    MemoryBudget::Get().ChargeOutput(static_cast<int64_t>(n) - static_cast<int64_t>(was));
  }
  return n;
}

void Connection::UpdateInterestLocked() {
  if (closed_) return;
  uint32_t want = 0;
  if (!read_eof_ && !paused_) want |= EPOLLIN | EPOLLRDHUP;
  if ((!DrainedLocked() && !held_) || (input_backlog_ && !paused_)) want |= EPOLLOUT;
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
  rest_.reset();
  if (tls_) tls_->DropOutput();
  RecountLocked();
  // Both directions shut: the network thread sees a hang-up and closes.
  ::shutdown(fd_, SHUT_RDWR);
}

void Connection::Fail() {
  std::lock_guard lk(mu);
  FailLocked();
}

bool Connection::TlsDrainedLocked() const { return tls_->UnsentSize() == 0; }

bool Connection::TlsSendLocked() {
  for (;;) {
    for (std::string_view c = tls_->Unsent(); !c.empty(); c = tls_->Unsent()) {
      ssize_t n = ::send(fd_, c.data(), c.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        metrics::CountBytesOut(static_cast<uint64_t>(n));
        tls_->MarkSent(static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
      FailLocked();
      return false;
    }
    if (out_off_ == out_.size()) return true;
    // Sealed only once the previous ciphertext is out, so the output (and a
    // stream behind it) is made no faster than the socket drains.
    const size_t n = std::min<size_t>(out_.size() - out_off_, kTlsSealChunk);
    if (!tls_->Seal(std::string_view(out_).substr(out_off_, n))) {
      FailLocked();
      return false;
    }
    out_off_ += static_cast<uint32_t>(n);
  }
}

size_t Connection::FlushLocked(size_t stream_budget) {
  size_t produced = 0;
  for (;;) {
    if (tls_ && !TlsSendLocked()) return produced;  // then out_ is sent
    while (out_off_ < out_.size()) {
      ssize_t n = ::send(fd_, out_.data() + out_off_, out_.size() - out_off_, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        metrics::CountBytesOut(static_cast<uint64_t>(n));
        out_off_ += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return produced;
      FailLocked();  // the peer is gone (reset, broken pipe)
      return produced;
    }
    out_off_ = 0;
    if (out_.capacity() > (256u << 10)) std::string().swap(out_);
    else out_.clear();
    if (!rest_ || rest_->empty()) break;
    ReplyBuffer::Piece& next = rest_->front();
    if (next.gate != 0) {
      // Held for the journal: the gate hands the connection back to the
      // network thread once the sequence is durable.
      if (next.gate > DurableGate::Get().Durable()) {
        if (!held_) DurableGate::Get().Wait(this, next.gate);
        held_ = true;
        break;
      }
      next.gate = 0;
      held_ = false;
    }
    if (next.stream) {
      // Made only as fast as the socket takes it, and within the budget: the
      // network thread comes back when the socket is writable.
      if (produced >= stream_budget) break;
      const bool done = next.stream->Produce(out_, std::min(kListingWindow, stream_budget - produced));
      produced += out_.size();
      if (done) next.stream.reset();
      continue;
    }
    out_.swap(next.after);
    rest_->erase(rest_->begin());
  }
  return produced;
}

void Connection::Deliver(ReplyBuffer& replies, size_t finished) {
  std::lock_guard lk(mu);
  if (!closed_ && !failed_ && !replies.empty()) {
    const bool idle = DrainedLocked();
    // Nothing waits to go out before them: the bytes change hands rather
    // than being copied (both buffers keep their storage).
    if (idle && out_.empty()) {
      out_.swap(replies.head());
    } else {
      AppendLocked(replies.head());
    }
    if (!replies.pieces().empty()) {
      if (!rest_) rest_ = std::make_unique<std::vector<ReplyBuffer::Piece>>();
      for (auto& p : replies.pieces()) rest_->push_back(std::move(p));
    }
    for (uint32_t chat : replies.activate) {
      uint32_t* sub = FindSubscriptionLocked(chat);
      if (sub == nullptr || !(*sub & kPending)) continue;
      *sub &= ~kPending;
      auto& early = subs_->early;
      for (auto it = early.begin(); it != early.end();) {
        if (it->first != chat) {
          ++it;
          continue;
        }
        AppendLocked(it->second);
        it = early.erase(it);
      }
    }
    // Streams are made only by the network thread, within its per-pass share.
    if (idle) FlushLocked(0);
    if (!failed_ && RecountLocked() > kMaxPendingOutput) {
      Counters::Get().output_overflows.fetch_add(1, std::memory_order_relaxed);
      overflow_log.Log("parleyd: closing connection %d: more than %zu bytes of replies unread", fd_,
                       kMaxPendingOutput);
      FailLocked();
    }
  }
  replies.clear();
  // Replies of requests run on the network thread finish nothing in flight.
  const size_t before = finished == 0 ? inflight_.load(std::memory_order_acquire)
                                      : inflight_.fetch_sub(static_cast<uint32_t>(finished), std::memory_order_acq_rel);
  if (closed_ || failed_) return;
  if (paused_ != 0) {
    const size_t left = before - finished;
    if (left <= kResumeInflight) ClearPauseLocked(kPauseInflight);
    if (left == 0) ClearPauseLocked(kPauseUntilIdle);
  }
  if (DoneLocked() && !finishing_) {
    // Input ended and everything is answered and sent: end our side too, so
    // the network thread sees a hang-up and closes.
    finishing_ = true;
    ::shutdown(fd_, SHUT_WR);
  }
  UpdateInterestLocked();
}

void Connection::AppendLocked(std::string_view bytes) {
  if (!rest_ || rest_->empty()) out_.append(bytes);
  else rest_->back().after.append(bytes);
}

// subs_->chats is kept sorted: a connection may follow thousands of chats.
uint32_t* Connection::FindSubscriptionLocked(uint32_t chat) {
  if (!subs_) return nullptr;
  auto& v = subs_->chats;
  auto it = std::lower_bound(v.begin(), v.end(), chat, [](uint32_t s, uint32_t c) { return (s & ~kPending) < c; });
  return it != v.end() && (*it & ~kPending) == chat ? &*it : nullptr;
}

Connection::Follow Connection::AddSubscription(uint32_t chat) {
  std::lock_guard lk(mu);
  if (closed_ || failed_) return Follow::kGone;
  if (FindSubscriptionLocked(chat) != nullptr) return Follow::kAlready;
  if (!subs_) subs_ = std::make_unique<Subscriptions>();
  auto& v = subs_->chats;
  auto it = std::lower_bound(v.begin(), v.end(), chat, [](uint32_t s, uint32_t c) { return (s & ~kPending) < c; });
  v.insert(it, chat | kPending);
  return Follow::kAdded;
}

bool Connection::RemoveSubscription(uint32_t chat) {
  std::lock_guard lk(mu);
  uint32_t* sub = FindSubscriptionLocked(chat);
  if (sub == nullptr) return false;
  subs_->chats.erase(subs_->chats.begin() + (sub - subs_->chats.data()));
  std::erase_if(subs_->early, [chat](const auto& e) { return e.first == chat; });
  return true;
}

std::vector<uint32_t> Connection::TakeSubscriptions() {
  std::lock_guard lk(mu);
  std::vector<uint32_t> chats;
  if (subs_)
    for (uint32_t s : subs_->chats) chats.push_back(s & ~kPending);
  subs_.reset();
  return chats;
}

void Connection::Push(uint32_t chat, std::string_view frames) {
  std::lock_guard lk(mu);
  if (closed_ || failed_) return;
  const uint32_t* sub = FindSubscriptionLocked(chat);
  if (sub == nullptr) return;
  size_t backlog = 0;
  if (*sub & kPending) {
    auto& early = subs_->early;
    if (early.empty() || early.back().first != chat) early.emplace_back(chat, std::string());
    early.back().second.append(frames);
    for (const auto& e : early) backlog += e.second.size();
  } else {
    const bool idle = DrainedLocked();
    AppendLocked(frames);
    if (idle && !held_) FlushLocked(0);
    if (failed_) return;
    backlog = RecountLocked();
  }
  if (backlog > kMaxPushBacklog) {
    Counters::Get().push_overflows.fetch_add(1, std::memory_order_relaxed);
    push_overflow_log.Log("parleyd: closing connection %d: more than %zu bytes of events and replies unread", fd_,
                          kMaxPushBacklog);
    FailLocked();
    return;
  }
  UpdateInterestLocked();
}

void Connection::AddInflight(size_t n) {
  const size_t now = inflight_.fetch_add(static_cast<uint32_t>(n), std::memory_order_acq_rel) + n;
  auto& peak = Counters::Get().inflight_peak;
  for (uint64_t p = peak.load(std::memory_order_relaxed); now > p;)
    if (peak.compare_exchange_weak(p, now, std::memory_order_relaxed)) break;
  if (now < kMaxInflight) return;
  std::lock_guard lk(mu);
  if ((paused_ & kPauseInflight) || inflight_.load(std::memory_order_acquire) < kMaxInflight) return;
  paused_ = static_cast<uint8_t>(paused_ | kPauseInflight);
  paused_flag_.store(true, std::memory_order_release);
  Counters::Get().inflight_pauses.fetch_add(1, std::memory_order_relaxed);
  pause_log.Log("parleyd: connection %d has %zu requests in flight; reading from it paused", fd_, now);
  UpdateInterestLocked();
}

void Connection::BeginAlone() {
  std::lock_guard lk(mu);
  inflight_.fetch_add(1, std::memory_order_acq_rel);
  paused_ = static_cast<uint8_t>(paused_ | kPauseUntilIdle);
  paused_flag_.store(true, std::memory_order_release);
  UpdateInterestLocked();
}

bool Connection::PauseReading(Pause why) {
  std::lock_guard lk(mu);
  if (why == kPauseUntilIdle && inflight_.load(std::memory_order_acquire) == 0) return false;
  paused_ = static_cast<uint8_t>(paused_ | why);
  paused_flag_.store(true, std::memory_order_release);
  UpdateInterestLocked();
  return true;
}

void Connection::ResumeReading(Pause why) {
  std::lock_guard lk(mu);
  if ((paused_ & why) == 0) return;
  ClearPauseLocked(why);
  UpdateInterestLocked();
}

void Connection::ClearPauseLocked(Pause why) {
  paused_ = static_cast<uint8_t>(paused_ & ~why);
  if (paused_ == 0) paused_flag_.store(false, std::memory_order_release);
}

void Connection::SetInputBacklog(bool backlog) {
  if (input_backlog_ == backlog) return;
  std::lock_guard lk(mu);
  input_backlog_ = backlog;
  UpdateInterestLocked();
}

bool Connection::OnWritable(size_t& stream_budget) {
  std::lock_guard lk(mu);
  if (closed_) return false;
  stream_budget -= std::min(stream_budget, FlushLocked(stream_budget));
  RecountLocked();
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
  rest_.reset();
  if (tls_) tls_->DropOutput();
  RecountLocked();
}

bool Connection::Handshaking() const { return tls_ && !tls_->Established(); }

Connection::Decrypted Connection::Decrypt(const char* data, size_t n, std::string& plain, std::string& error) {
  std::lock_guard lk(mu);
  if (closed_ || failed_) return Decrypted::kFailed;
  const bool idle = DrainedLocked();
  const TlsSession::Read r = tls_->Receive(data, n, plain);
  if (r == TlsSession::Read::kFailed) {
    error = tls_->error();
    TlsSendLocked();  // the alert that says why, if the socket takes it at once
    return Decrypted::kFailed;
  }
  // The handshake's replies, unless output already waits (the network thread
  // sends it all when the socket is writable).
  if (idle) FlushLocked(0);
  RecountLocked();
  UpdateInterestLocked();
  return r == TlsSession::Read::kClosed ? Decrypted::kClosed : Decrypted::kOk;
}

}  // namespace parley
