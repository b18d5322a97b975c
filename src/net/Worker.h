// The network thread: the listening socket, every client connection, the
// framing and the dispatch of complete payloads to the event queues.
//
// Readiness comes from epoll (level-triggered). Each pass reads what is
// ready, cuts every complete frame and decodes it into a request stamped with
// its connection. The first kInlineBudget quick requests of a pass, from
// connections with nothing queued, run right here (no thread hand-off: light
// traffic is answered like by a single-threaded server); the rest are staged,
// and at the end of the pass each queue gets its share with one lock and one
// wake-up. Replies run here are handed to the connection before anything
// staged in the same pass can run, so each connection's replies keep request
// order. Output that a socket did not take at once is flushed here when the
// socket becomes writable.
//
// Everything in a Worker is touched by the network thread only, except that
// construction and Listen run on the main thread before the loop starts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "events/QueueManager.h"
#include "net/Connection.h"
#include "net/Framing.h"
#include "store/ResourceManager.h"

namespace parley {

class Worker {
 public:
  // `port` 0 binds an ephemeral port (see Port()). `rm` is the store the
  // network thread runs requests against itself (see Dispatch).
  Worker(QueueManager* qm, ResourceManager* rm, int port);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Creates the listening socket and the loop's descriptors. On failure
  // prints the reason on stderr and returns false. SIGINT and SIGTERM must
  // be blocked in every thread before this is called: the loop takes them
  // from a signalfd.
  bool Listen();
  // The bound port, once Listen succeeded.
  int Port() const { return port_; }

  // The connection loop. Returns after SIGINT or SIGTERM, with the listener
  // and every connection closed.
  void operator()();

 private:
  class Dispatcher;
  friend class Dispatcher;

  void AcceptAll();
  void PauseAccepting();
  void ResumeAccepting();
  void OnConnectionEvent(Connection* conn, uint32_t events);
  // Reads and dispatches; returns false if the connection was closed.
  bool ReadFrom(const std::shared_ptr<Connection>& conn);
  void Dispatch(const std::shared_ptr<Connection>& conn, const char* data, size_t n);
  // Decodes one payload and stages the request; false if it does not decode.
  bool CreateEvent(const char* data, size_t len, const std::shared_ptr<Connection>& conn);
  void CloseConnection(Connection* conn);
  void CloseAll();

  QueueManager* qMgr;
  ResourceManager* rMgr;
  int port_;
  // Requests this pass may still run on this thread (see Dispatch).
  size_t inline_left_ = 0;
  // Replies of requests run on this thread, for the connection being read.
  std::string inline_out_;
  int listenfd_ = -1;
  int epfd_ = -1;
  int sigfd_ = -1;
  bool accept_paused_ = false;
  std::chrono::steady_clock::time_point accept_resume_at_{};
  bool stdout_dirty_ = false;
  bool stop_ = false;

  std::unordered_map<Connection*, std::shared_ptr<Connection>> conns_;
  // Connections closed during the current pass: kept alive until its end, as
  // later events of the same pass may still name them.
  std::vector<std::shared_ptr<Connection>> graveyard_;
  StagedEvents staged_;
  std::unique_ptr<char[]> scratch_;
};

}  // namespace parley
