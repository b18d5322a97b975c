// The threads that run the requests hashing secrets (register with a secret,
// log in, change secret), so that their tens of milliseconds of hashing never
// run on the network thread nor hold up other clients' requests on the event
// threads. At most `threads` hashes run at once.
//
// Each request arrives alone on its connection (QueueManager's rule 4): the
// connection has nothing else in flight and is not read until it is
// answered, so its reply is in order and a log-in is in force for every
// request after it. A request may ask to start later (a throttled log-in, see
// LoginThrottle); it then waits here, holding no thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace parley {

class Event;
class ResourceManager;

class SecretPool {
 public:
  SecretPool(ResourceManager& rm, int threads);
  ~SecretPool();
  SecretPool(const SecretPool&) = delete;
  SecretPool& operator=(const SecretPool&) = delete;

  // The pool requests are handed to; null before start-up installs one.
  static SecretPool* Get();
  static void Install(SecretPool* pool);

  void Start();
  // Lets running requests finish; requests still waiting are dropped with
  // their connections (the server is shutting down).
  void Stop();
  // Any thread. Runs `ev` at its NotBefore time or as soon as a thread is free.
  void Submit(std::shared_ptr<Event> ev);

 private:
  using Clock = std::chrono::steady_clock;
  struct Job {
    Clock::time_point due;
    uint64_t order;  // submission order among jobs due at once
    std::shared_ptr<Event> ev;
    bool operator>(const Job& o) const { return due != o.due ? due > o.due : order > o.order; }
  };
  void Loop();
  void RunOne(Event& ev);

  ResourceManager& rm_;
  const int thread_count_;
  std::vector<std::thread> threads_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::priority_queue<Job, std::vector<Job>, std::greater<>> jobs_;  // guarded by mu_
  uint64_t submitted_ = 0;                                            // guarded by mu_
  bool stop_ = false;                                                 // guarded by mu_
};

}  // namespace parley
