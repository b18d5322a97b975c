// Spreads requests over the event queues, and keeps each connection's
// replies in request order.
//
// The order rule, enforced here and nowhere else:
// 1. A request runs on the network thread (RunHere) only when its connection
//    has nothing in flight: every earlier request of it has been answered.
// 2. Replies of requests run on the network thread are kept per connection
//    in the StagedEvents and handed to the connection (HandOverReplies, at
//    the end of each read and at the latest in Submit) before any request
//    staged in the same pass reaches an event thread, and before the
//    connection can be seen to be finished.
// 3. A staged request goes to the queue of its connection while that
//    connection has requests in flight (queued or executing), so they run in
//    arrival order on one thread; a connection with none in flight goes to
//    the queue with the fewest waiting requests, the first-registered queue
//    winning ties, among the first LimitSpread queues: no more event threads
//    are kept busy than there are CPUs beside the network thread's, since
//    more only take turns on the same CPUs, each turn a wake-up and a
//    context switch. Event threads hand over a connection's replies before
//    counting its requests as finished.
// 4. A request that runs alone (Event::RunsAlone: the account requests, which
//    hash secrets) goes to the SecretPool only when its connection has
//    nothing in flight, after the replies of requests run here are handed
//    over; the connection is not read again until it is answered. Read while
//    earlier requests are in flight, it waits (RunAlone's caller keeps it)
//    until they are answered.
//
// Threads: queues are registered during start-up, before the network thread
// starts; after that the list is read-only. RunHere, Stage, HandOverReplies,
// Submit and AddEvent run on the network thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "events/EventQueue.h"
#include "protocol/Reply.h"

namespace parley {

class Connection;

// What one loop pass has for the event threads and the connections, so that
// each queue gets its share with one lock and one wake-up.
class StagedEvents {
 public:
  std::vector<std::vector<std::shared_ptr<Event>>> perQueue;
  // Replies of requests run on the network thread, per connection, in order:
  // the first `replies_used`; the others are kept for their buffers.
  std::vector<std::pair<std::shared_ptr<Connection>, ReplyBuffer>> replies;
  size_t replies_used = 0;
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

  // Where the caller may encode the replies of `ev` if it runs it right now
  // (rule 1); null when it must be staged instead.
  ReplyBuffer* RunHere(const Event& ev, StagedEvents& staged);
  // Picks the request's queue (rule 3, counting what is already staged) and
  // adds it to `staged`. Counts the request as in flight on its connection.
  // Requires at least one queue.
  void Stage(std::shared_ptr<Event> ev, StagedEvents& staged);
  // Places a request that runs alone (rule 4). False when its connection
  // has requests in flight: reading is then paused until they are answered,
  // and the caller places it again after that.
  bool RunAlone(const std::shared_ptr<Event>& ev, StagedEvents& staged);
  // Hands the replies of requests run here to their connections (rule 2).
  void HandOverReplies(StagedEvents& staged);
  // HandOverReplies, then hands every staged request to its queue.
  void Submit(StagedEvents& staged);

  // The index of the queue with the fewest waiting requests (plus
  // `staged`'s share, when given) among the first LimitSpread; the lowest
  // index wins ties.
  size_t ChooseQueue(const StagedEvents* staged = nullptr) const;
  // New connections' requests go to the first `n` (>= 1) queues only.
  // Requires: start-up. By default all queues are used.
  void LimitSpread(size_t n) { spread_ = n; }
  // The CPUs this process may run on, less one for the network thread; at least one.
  static size_t SpareCpus();

  size_t QueueCount() const { return queues.size(); }
  const std::shared_ptr<EventQueue>& Queue(size_t i) const { return queues[i]; }

  // Stops every queue (their Wait returns false).
  void StopAll();

 private:
  QueueManager() = default;
  static QueueManager* pManager;
  std::vector<std::shared_ptr<EventQueue>> queues;
  size_t spread_ = SIZE_MAX;
};

}  // namespace parley
