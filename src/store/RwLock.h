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

  void lock() { Check(pthread_rwlock_wrlock(&lock_)); }
  bool try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
  void unlock() { Check(pthread_rwlock_unlock(&lock_)); }
  void lock_shared() { Check(pthread_rwlock_rdlock(&lock_)); }
  bool try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
  void unlock_shared() { Check(pthread_rwlock_unlock(&lock_)); }

 private:
  // A failure here (deadlock detected, too many readers) is a bug.
  static void Check(int rc) {
    if (rc != 0) std::abort();
  }
  pthread_rwlock_t lock_;
};

}  // namespace parley
