// The network thread: the listening socket, every client connection, the
// framing and the dispatch of complete payloads.
//
// Readiness comes from epoll (level-triggered). Each pass reads what is
// ready, cuts every complete frame and decodes it into a request stamped with
// its connection. Where each request runs, and how its reply keeps its place
// in the connection's order, is QueueManager's rule: up to kInlineBudget
// requests per pass run right here (no thread hand-off), the rest are staged
// and at the end of the pass each queue gets its share with one lock and one
// wake-up. Output that a socket did not take at once is sent here when the
// socket becomes writable.
//
// The network thread never waits: not for a store lock (requests run here in
// a NoWaitScope and go to an event thread when a lock is busy), not for
// standard output (StdoutWriter), not for a slow client (non-blocking
// sockets, bounded output). Its timers (a paused listener, frame timeouts,
// the memory check) set the poll's timeout. Replies held for the journal
// (see DurableGate) are sent when the gate's descriptor wakes the loop.
//
// Everything in a Worker is touched by the network thread only, except that
// construction and Listen run on the main thread before the loop starts.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Options.h"
#include "events/QueueManager.h"
#include "metrics/Metrics.h"
#include "net/Connection.h"
#include "net/Framing.h"
#include "store/ResourceManager.h"

namespace parley {

class TlsContext;

class Worker {
 public:
  using Clock = std::chrono::steady_clock;

  // `opt.port` 0 binds an ephemeral port (see Port()). `rm` is the store the
  // network thread runs requests against itself.
  Worker(QueueManager* qm, ResourceManager* rm, const Options& opt);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Creates the listening socket and the loop's descriptors. On failure
  // prints the reason on stderr and returns false. SIGINT and SIGTERM must
  // be blocked in every thread before this is called: the loop takes them
  // from a signalfd.
  bool Listen();
  // The bound ports, once Listen succeeded; -1 for a listener not opened.
  int Port() const { return port_; }
  int TlsPort() const { return tls_port_; }
  // Connections open now; any thread.
  size_t OpenConnections() const { return open_.load(std::memory_order_relaxed); }
  // The TLS listener's context (`opt.tls_port` >= 0); set before Listen.
  void SetTlsContext(const TlsContext* ctx) { tls_ctx_ = ctx; }
  // Called on the network thread when SIGUSR1 arrives (a snapshot is asked
  // for). Set before the loop starts.
  void OnSnapshotSignal(std::function<void()> f) { on_snapshot_signal_ = std::move(f); }

  // The connection loop. Returns after SIGINT or SIGTERM, with the listener
  // and every connection closed.
  void operator()();

 private:
  class Dispatcher;
  friend class Dispatcher;

  // Opens a listener on `port` (updated to the bound one): its descriptor, or -1.
  int OpenListener(int& port);
  void AcceptAll(int listenfd, bool tls);
  // Sends the output of the connections whose held replies are durable now;
  // `drain`: also clears the gate's wake-up (the loop was woken by it).
  void ReleaseHeld(bool drain);
  void PauseAccepting();
  void ResumeAccepting();
  void OnConnectionEvent(Connection* conn, uint32_t events);
  // Reads and dispatches; returns false if the connection was closed.
  bool ReadFrom(const std::shared_ptr<Connection>& conn);
  // TLS: decrypts `n` received bytes and feeds the plaintext. False if the
  // connection was closed (a failure) or, with `eof` set, the peer ended the session.
  bool DecryptAndFeed(const std::shared_ptr<Connection>& conn, const char* data, size_t n, bool& eof);
  // Cuts the frames of conn->in plus [data, data + n) and dispatches them,
  // until reading is paused.
  void Feed(const std::shared_ptr<Connection>& conn, const char* data, size_t n);
  // Decodes one payload and runs or stages the request; false if it does not decode.
  bool CreateEvent(const char* data, size_t len, const std::shared_ptr<Connection>& conn);
  // Places a request that runs alone (QueueManager rule 4), or keeps it in
  // parked_ until the connection's earlier requests are answered.
  void RunAlone(std::shared_ptr<Event> ev, const std::shared_ptr<Connection>& conn);
  // Adds the requests run here since the last call to the run counter; called
  // before their replies are handed over, so a reply is never seen uncounted.
  void CountTaken();
  // Counts one request against the connection's rate (--max-request-rate);
  // past its budget, reading pauses until the budget allows one more.
  void ChargeRate(Connection* conn);
  void ExpireRateTimers(Clock::time_point now);
  // Whether a connection from `peer` may be served (--max-conns-per-ip); counts it if so.
  bool AdmitAddress(uint32_t peer);
  // Arms, re-arms or disarms the connection's frame timeout.
  void SetFrameTimer(Connection* conn, bool partial, bool progressed);
  void ExpireFrameTimers(Clock::time_point now);
  // Over the memory limit: closes the connections with the most unsent
  // output (at least kMinEvictableOutput) until under it.
  void EvictForMemory();
  int PollTimeoutMs(Clock::time_point now) const;
  void CloseConnection(Connection* conn);
  void CloseAll();

  QueueManager* qMgr;
  ResourceManager* rMgr;
  int port_;
  const int backlog_;
  const std::chrono::seconds frame_timeout_;  // 0: none
  const bool memory_limited_;
  const uint32_t max_conns_per_ip_;  // 0: no limit
  // The request rate as the time one request costs, and the burst allowed
  // (a second's worth); 0: no limit.
  const int64_t rate_cost_ns_;
  const int64_t rate_burst_ns_;
  // Connections the descriptor limit allows (kReservedDescriptors kept free).
  size_t max_conns_ = 0;
  // Requests this pass may still run on this thread, and bytes of long
  // listings it may still make.
  size_t inline_left_ = 0;
  size_t stream_left_ = 0;
  // TLS handshake steps this pass may still make (kMaxHandshakeStepsPerPass).
  int handshakes_left_ = 0;
  int listenfd_ = -1;
  int tls_port_ = -1;
  int tlsfd_ = -1;
  const bool plain_;
  const TlsContext* tls_ctx_ = nullptr;
  std::string tls_plain_;  // decrypted bytes on their way to Feed
  int epfd_ = -1;
  int sigfd_ = -1;
  bool accept_paused_ = false;
  Clock::time_point accept_resume_at_{};
  Clock::time_point next_memory_check_{};
  bool stop_ = false;
  // Metrics: the start of the current pass (metrics::NowNs), and the requests
  // answered on this thread during it, by kind (a bit per kind that has some).
  int64_t pass_start_ns_ = 0;
  std::array<uint32_t, metrics::kKinds> inline_answered_{};
  uint32_t inline_kinds_ = 0;
  // Requests run on this thread not yet added to the run counter (CountTaken):
  // one atomic step per read rather than per request.
  uint64_t inline_taken_ = 0;
  std::atomic<size_t> open_{0};

  std::unordered_map<Connection*, std::shared_ptr<Connection>> conns_;
  // Connections closed during the current pass: kept alive until its end, as
  // later events of the same pass may still name them.
  std::vector<std::shared_ptr<Connection>> graveyard_;
  // Frame deadlines, soonest first, and by connection (only connections
  // holding an incomplete frame have one).
  std::set<std::pair<Clock::time_point, Connection*>> frame_timers_;
  std::unordered_map<Connection*, Clock::time_point> frame_deadline_;
  StagedEvents staged_;
  // Open connections per client address (with a limit set).
  std::unordered_map<uint32_t, uint32_t> conns_per_ip_;
  // Connections paused for their request rate, by when they may go on.
  std::set<std::pair<Clock::time_point, Connection*>> rate_timers_;
  std::unordered_map<Connection*, Clock::time_point> rate_deadline_;
  // Requests that run alone, waiting for their connection's earlier requests.
  std::unordered_map<Connection*, std::shared_ptr<Event>> parked_;
  std::function<void()> on_snapshot_signal_;
  std::unique_ptr<char[]> scratch_;
};

}  // namespace parley
