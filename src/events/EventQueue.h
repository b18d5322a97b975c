// A first-in first-out queue of requests between the network thread (the
// producer) and one event thread (the consumer), with a wake-up mark.
//
// `notified` records that something was added since the consumer's last
// Wait, so a request added between the consumer's empty GetEvent and its Wait
// is never missed: that Wait returns at once. Any number of additions make
// the next Wait return once. GetSize may be called from any thread without
// the lock (it reads an atomic count).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "protocol/Events.h"

namespace parley {

class EventQueue {
 public:
  EventQueue() = default;
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  // Appends one request and wakes the consumer.
  void AddEvent(std::shared_ptr<Event> ev);
  // Appends all of `evs` in order (leaving it empty) with one lock and one wake-up.
  void AddEvents(std::vector<std::shared_ptr<Event>>& evs);

  // The oldest request, or empty when there is none. Never blocks beyond the lock.
  std::shared_ptr<Event> GetEvent();
  // Moves every waiting request, oldest first, to the end of `out`. Returns
  // false when there was none.
  bool GetEvents(std::vector<std::shared_ptr<Event>>& out);

  // The number of waiting requests (a snapshot).
  size_t GetSize() const { return size.load(std::memory_order_relaxed); }

  // Blocks until a request has been added since the last Wait, then clears
  // that mark and returns true. Returns false once Stop has been called.
  bool Wait();
  // Makes every present and future Wait return false.
  void Stop();

 private:
  std::mutex mQueue;
  std::atomic<bool> notified{false};          // written under mQueue
  std::condition_variable cond_var;
  std::deque<std::shared_ptr<Event>> queue;  // guarded by mQueue
  std::atomic<size_t> size{0};                // queue.size(), written under mQueue
  bool stopped = false;                       // guarded by mQueue
  bool sleeping = false;                      // the consumer is in Wait; guarded by mQueue
};

}  // namespace parley
