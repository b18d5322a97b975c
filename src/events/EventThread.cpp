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
  // The runs of the batch so far: the replies of consecutive requests of one
  // connection each, the last one still being gathered. Without a journal a
  // run is handed over as soon as it is finished; with one, finished runs
  // wait for the batch's changes to be submitted (see flush).
  struct Run {
    std::shared_ptr<Connection> conn;
    ReplyBuffer out;
    size_t count = 0;
    metrics::LatencyRun timing;  // observed once the replies are handed over
  };
  std::vector<Run> runs;  // kept from batch to batch for their buffers
  size_t used = 0;        // runs[0, used) are the batch's; the last is being gathered
  size_t gathered = 0;    // reply bytes in the finished ones
  ChangeSink* sink = nullptr;
  // Submits the changes of the runs so far as one journal group, then hands
  // each run to its connection, in order. A group the submitting thread
  // writes itself is durable by then, so its replies leave at once instead of
  // waiting behind the journal's gate for the network thread to send them.
  auto flush = [&] {
    if (sink != nullptr) sink->Submit();
    for (size_t i = 0; i < used; ++i) {
      Run& r = runs[i];
      if (r.conn) r.conn->Deliver(r.out, r.count);
      r.timing.Finish();
      r.conn.reset();
      r.count = 0;
      r.out.clear();
    }
    used = 0;
    gathered = 0;
  };
  auto start_run = [&](std::shared_ptr<Connection> conn) {
    if (used == runs.size()) runs.emplace_back();
    runs[used++].conn = std::move(conn);
  };
  for (;;) {
    if (!evQueue->GetEvents(batch)) {
      if (!evQueue->Wait()) return;
      continue;
    }
    Counters::Get().requests.fetch_add(batch.size(), std::memory_order_relaxed);
    sink = rMgr->changeSink();
    for (auto& ev : batch) {
      Run* cur = used == 0 ? nullptr : &runs[used - 1];
      if (cur == nullptr || ev->GetConnection() != cur->conn || cur->out.size() >= kReplyHandOver ||
          cur->timing.full()) {
        if (cur != nullptr) gathered += cur->out.size();
        // Without a journal nothing waits for a group: each run goes at once.
        // Otherwise runs wait for the batch's end unless they pile up.
        if (cur != nullptr && (sink == nullptr || gathered >= kReplyHandOver)) flush();
        start_run(ev->GetConnection());
        cur = &runs[used - 1];
      }
      ++cur->count;
      // A read for a client that is gone would only build a reply to drop.
      if (cur->conn && cur->conn->Gone() && !ev->ChangesStore()) {
        ev.reset();
        continue;
      }
      const size_t mark = cur->out.Bytes().size();
      ev->SetOutput(&cur->out);
      metrics::CountRequest(ev->GetType(), ev->Run(rMgr) ? metrics::Result::kOk : metrics::Result::kNo);
      cur->timing.Add(ev->GetType(), ev->Received());
      DurableGate::Get().Hold(cur->out, mark, sink, ev->HeldForJournal());
      ev.reset();
    }
    flush();  // this batch's changes: one group
    batch.clear();
    if (runs.size() > kKeptReplyBuffers) runs.resize(kKeptReplyBuffers);
    for (Run& r : runs) r.out.Shrink(kKeptReplyCapacity);
  }
}

}  // namespace parley
