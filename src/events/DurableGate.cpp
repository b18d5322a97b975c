#include "events/DurableGate.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>

namespace parley {

DurableGate& DurableGate::Get() {
  static DurableGate gate;
  return gate;
}

DurableGate::DurableGate() : efd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (efd_ < 0) std::abort();  // out of descriptors at start-up
}

DurableGate::~DurableGate() { ::close(efd_); }

void DurableGate::Wake() const {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(efd_, &one, sizeof one);  // a full counter already wakes
}

namespace {
thread_local bool sends_after_advancing = false;
}  // namespace

void DurableGate::SendsAfterAdvancing() { sends_after_advancing = true; }

void DurableGate::Advance(uint64_t seq) {
  durable_.store(seq, std::memory_order_seq_cst);
  // Either a waiter's count is seen here, or the waiter sees the new value.
  if (!sends_after_advancing && waiting_count_.load(std::memory_order_seq_cst) > 0) Wake();
}

void DurableGate::Wait(Connection* conn, uint64_t seq) {
  {
    std::lock_guard lk(mu_);
    waiting_.emplace_back(seq, conn);
    waiting_count_.store(waiting_.size(), std::memory_order_seq_cst);
  }
  if (Durable() >= seq) Wake();
}

void DurableGate::TakeReady(std::vector<Connection*>& ready, bool drain) {
  uint64_t n;
  while (drain && ::read(efd_, &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
  }
  const uint64_t durable = Durable();
  std::lock_guard lk(mu_);
  size_t kept = 0;
  for (auto& w : waiting_) {
    if (w.first <= durable) ready.push_back(w.second);
    else waiting_[kept++] = w;
  }
  waiting_.resize(kept);
  waiting_count_.store(kept, std::memory_order_seq_cst);
}

}  // namespace parley
