// Replies that wait for the journal.
//
// The rule, enforced here and nowhere else: the reply to a request that may
// change the store leaves only once every change recorded before it was
// encoded is durable (as the fsync policy counts it). A held reply holds
// back the replies after it on its connection, so request order stands;
// other connections are not held. Nobody waits on a thread: a held reply
// sits in its connection's output behind a gate (ReplyBuffer::HoldFrom), and
// when the journal writer reports progress (Advance) the network thread is
// woken through an eventfd and sends what is no longer held (TakeReady).
//
// Without a journal nothing is ever held. Threads: as marked per method.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "protocol/Reply.h"
#include "store/Change.h"

namespace parley {

class Connection;

class DurableGate {
 public:
  // The process-wide gate.
  static DurableGate& Get();
  ~DurableGate();
  DurableGate(const DurableGate&) = delete;
  DurableGate& operator=(const DurableGate&) = delete;

  // The last sequence durable. Any thread.
  uint64_t Durable() const { return durable_.load(std::memory_order_seq_cst); }
  // Journal writer: everything up to `seq` is durable now. Wakes the network
  // thread if a connection waits, unless this is the network thread (see
  // SendsAfterAdvancing).
  void Advance(uint64_t seq);
  // Called once by the network thread: it takes the ready connections itself
  // (TakeReady) right after every group it writes, so an advance made on it
  // needs no wake-up through the descriptor.
  static void SendsAfterAdvancing();
  // Any thread, after a request that `may_change` the store ran: holds the
  // reply bytes that `out` got from offset `mark` of its current bytes until
  // everything `sink` recorded so far is durable. Does nothing without a
  // sink, for a read, or when all is durable already.
  void Hold(ReplyBuffer& out, size_t mark, const ChangeSink* sink, bool may_change) const {
    if (sink == nullptr || !may_change) return;
    if (const uint64_t recorded = sink->LastRecorded(); recorded > Durable()) out.HoldFrom(mark, recorded);
  }
  // Any thread (the connection's output lock held): `conn` has output held
  // until `seq` is durable; it is handed back by TakeReady then.
  void Wait(Connection* conn, uint64_t seq);
  // Whether any connection waits. Any thread.
  bool Waiting() const { return waiting_count_.load(std::memory_order_seq_cst) > 0; }
  // Network thread: the descriptor that becomes readable when waits may be over.
  int fd() const { return efd_; }
  // Network thread: appends the connections whose wait is over to `ready`
  // (they may have closed since: check before use); clears the wake-up when
  // `drain` (a wake-up left set only makes the next poll return at once).
  void TakeReady(std::vector<Connection*>& ready, bool drain = true);

 private:
  DurableGate();
  void Wake() const;

  std::atomic<uint64_t> durable_{0};
  std::atomic<size_t> waiting_count_{0};
  const int efd_;
  std::mutex mu_;
  std::vector<std::pair<uint64_t, Connection*>> waiting_;  // guarded by mu_
};

}  // namespace parley
