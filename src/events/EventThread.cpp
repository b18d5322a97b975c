#include "events/EventThread.h"

#include "Limits.h"
#include "events/DurableGate.h"
#include "Log.h"
#include "metrics/Metrics.h"
#include "net/Connection.h"

namespace parley {

EventThread::EventThread(QueueManager* qm, ResourceManager* rm)
    : qMgr(qm), rMgr(rm), evQueue(std::make_shared<EventQueue>()) {
  qMgr->AddQueue(evQueue);
}

EventThread::EventThread()
    : EventThread(QueueManager::GetQueueManager(), ResourceManager::GetResourceMananger()) {}

void EventThread::operator()() {
  std::vector<std::shared_ptr<Event>> batch;
  ReplyBuffer out;
  // Replies gathered for `conn` from `run` consecutive requests.
  std::shared_ptr<Connection> conn;
  size_t run = 0;
  metrics::LatencyRun timing;  // of the run's requests, observed once their replies are handed over
  auto deliver = [&] {
    if (conn) {
      conn->Deliver(out, run);
    }
    timing.Finish();
    conn.reset();
    run = 0;
    out.clear();
  };
  for (;;) {
    if (!evQueue->GetEvents(batch)) {
      if (!evQueue->Wait()) return;
      continue;
    }
    Counters::Get().requests.fetch_add(batch.size(), std::memory_order_relaxed);
    for (auto& ev : batch) {
      if (ev->GetConnection() != conn || out.size() >= kReplyHandOver || timing.full()) {
        deliver();
        conn = ev->GetConnection();
      }
      ++run;
      // A read for a client that is gone would only build a reply to drop.
      if (conn && conn->Gone() && !ev->ChangesStore()) {
        ev.reset();
        continue;
      }
      const size_t mark = out.Bytes().size();
      ev->SetOutput(&out);
      metrics::CountRequest(ev->GetType(), ev->Run(rMgr) ? metrics::Result::kOk : metrics::Result::kNo);
      timing.Add(ev->GetType(), ev->Received());
      DurableGate::Get().Hold(out, mark, rMgr->changeSink(), ev->HeldForJournal());
      ev.reset();
    }
    deliver();
    if (ChangeSink* sink = rMgr->changeSink()) sink->Submit();  // this batch's changes: one group
    batch.clear();
    if (out.head().capacity() > (1u << 20)) std::string().swap(out.head());
  }
}

}  // namespace parley
