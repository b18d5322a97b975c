// An event thread: takes the requests of its own queue, oldest first, runs
// each against the store, and hands each connection its replies.
//
// The replies of consecutive requests from one connection are gathered in one
// buffer and handed over with one write; a connection's in-flight count is
// lowered only after its replies are in its output buffer, so a later request
// from it, on whatever queue, is answered after this one. With a journal, the
// batch's changes are submitted as one group before its replies are handed
// over, so that they are not held behind the journal's gate when this thread
// wrote the group itself.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "events/EventQueue.h"
#include "events/QueueManager.h"
#include "store/ResourceManager.h"

namespace parley {

class EventThread {
 public:
  // Creates this thread's queue and registers it with `qm`. Runs on the main
  // thread during start-up.
  EventThread(QueueManager* qm, ResourceManager* rm);
  // The same with the process-wide queue manager and store.
  EventThread();

  // The thread body: runs until the queue is stopped. Requests still waiting
  // then are dropped unanswered.
  void operator()();

  const std::shared_ptr<EventQueue>& queue() const { return evQueue; }

 private:
  QueueManager* qMgr;
  ResourceManager* rMgr;
  std::shared_ptr<EventQueue> evQueue;
};

}  // namespace parley
