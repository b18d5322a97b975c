// Spreads requests over the event queues.
//
// A request goes to the queue of its connection while that connection has
// requests in flight (queued or executing), so one connection's requests run
// in arrival order and its replies come back in request order. A connection
// with none in flight goes to the queue with the fewest waiting requests, the
// first-registered queue winning ties.
//
// Threads: queues are registered during start-up, before the network thread
// starts; after that the list is read-only. Stage, Submit and AddEvent run on
// the network thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "events/EventQueue.h"

namespace parley {

// Requests picked for each queue but not yet handed over, so that one loop
// pass hands each queue its share with one lock and one wake-up.
class StagedEvents {
 public:
  std::vector<std::vector<std::shared_ptr<Event>>> perQueue;
  bool empty() const;
};

class QueueManager {
 public:
  // The process-wide instance, created on the first call (in main, before any
  // other thread exists) and never destroyed.
  static QueueManager* GetQueueManager();
  // A manager of its own, for tests.
  static std::unique_ptr<QueueManager> CreateStandalone();

  ~QueueManager();
  QueueManager(const QueueManager&) = delete;
  QueueManager& operator=(const QueueManager&) = delete;

  // Registers a queue. Requires: start-up, before any request is placed.
  void AddQueue(std::shared_ptr<EventQueue> ptr);

  // Places one request at once (Stage + Submit).
  void AddEvent(std::shared_ptr<Event> ev);

  // Picks the request's queue (connection affinity, else the least loaded,
  // counting what is already staged) and adds it to `staged`. Counts the
  // request as in flight on its connection. Requires at least one queue.
  void Stage(std::shared_ptr<Event> ev, StagedEvents& staged);
  // Hands every staged request to its queue.
  void Submit(StagedEvents& staged);

  // The index of the queue with the fewest waiting requests (plus
  // `staged`'s share, when given); the lowest index wins ties.
  size_t ChooseQueue(const StagedEvents* staged = nullptr) const;

  size_t QueueCount() const { return queues.size(); }
  const std::shared_ptr<EventQueue>& Queue(size_t i) const { return queues[i]; }

  // Stops every queue (their Wait returns false).
  void StopAll();

 private:
  QueueManager() = default;
  static QueueManager* pManager;
  std::vector<std::shared_ptr<EventQueue>> queues;
};

}  // namespace parley
