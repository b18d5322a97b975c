// A readers-writer lock in which a waiting writer goes before new readers.
//
// std::shared_mutex on glibc lets readers in as long as any reader holds the
// lock, so a steady stream of overlapping readers (say, clients listing one
// long chat over and over) could keep a writer (a message sent to that chat)
// waiting for ever. Here a waiting writer stops new readers from entering: it
// waits at most for the readers already inside.
//
// Meets the SharedMutex requirements: use it with std::unique_lock and
// std::shared_lock.
#pragma once

#include <pthread.h>

#include <cstdlib>
#include <mutex>
#include <shared_mutex>

namespace parley {

class RwLock {
 public:
  RwLock() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    if (pthread_rwlock_init(&lock_, &attr) != 0) std::abort();
    pthread_rwlockattr_destroy(&attr);
  }
  ~RwLock() { pthread_rwlock_destroy(&lock_); }
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  // Held for short steps only, so a thread that finds the lock taken tries
  // again for a moment before it goes to sleep: sleeping and being woken
  // costs far more than the wait.
  void lock() {
    for (int i = 0; i < kSpins; ++i, Pause())
      if (try_lock()) return;
    Check(pthread_rwlock_wrlock(&lock_));
  }
  bool try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
  void unlock() { Check(pthread_rwlock_unlock(&lock_)); }
  void lock_shared() {
    for (int i = 0; i < kSpins; ++i, Pause())
      if (try_lock_shared()) return;
    Check(pthread_rwlock_rdlock(&lock_));
  }
  bool try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
  void unlock_shared() { Check(pthread_rwlock_unlock(&lock_)); }

 private:
  static constexpr int kSpins = 100;
  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }
  // A failure here (deadlock detected, too many readers) is a bug.
  static void Check(int rc) {
    if (rc != 0) std::abort();
  }
  pthread_rwlock_t lock_;
};

// How the calling thread takes the store's locks.
//
// The network thread runs quick requests itself, but it must never wait for
// a store lock another thread holds. While a NoWaitScope is alive on a
// thread, the store's lock steps there only try their lock: a lock held
// elsewhere is not taken, the step fails as if what it looked for were not
// there, and StoreWasBusy() turns true. Every store operation changes the
// store only in its last lock step, so an operation that met a busy lock has
// changed nothing: its caller discards the answer and has the request run
// again by a thread that may wait.
namespace store_lock_detail {
constinit inline thread_local bool no_wait = false;
constinit inline thread_local bool busy = false;
}  // namespace store_lock_detail

class NoWaitScope {
 public:
  NoWaitScope() {
    store_lock_detail::no_wait = true;
    store_lock_detail::busy = false;
  }
  ~NoWaitScope() { store_lock_detail::no_wait = false; }
  NoWaitScope(const NoWaitScope&) = delete;
  NoWaitScope& operator=(const NoWaitScope&) = delete;
};

// True when a lock step on this thread met a busy lock since the NoWaitScope began.
inline bool StoreWasBusy() { return store_lock_detail::busy; }

// A lock step: the returned guard owns `mu` unless a NoWaitScope is active
// and the lock was busy. Callers check the guard before going on.
template <class M>
std::unique_lock<M> LockExclusive(M& mu) {
  if (!store_lock_detail::no_wait) return std::unique_lock<M>(mu);
  std::unique_lock<M> lk(mu, std::try_to_lock);
  if (!lk) store_lock_detail::busy = true;
  return lk;
}
template <class M>
std::shared_lock<M> LockShared(M& mu) {
  if (!store_lock_detail::no_wait) return std::shared_lock<M>(mu);
  std::shared_lock<M> lk(mu, std::try_to_lock);
  if (!lk) store_lock_detail::busy = true;
  return lk;
}

}  // namespace parley
