// One client connection: its socket, its input tail and its output buffer.
//
// Owned jointly by the network thread's connection table and by every request
// in flight from it, so a reply for a connection that has since closed lands
// on a closed Connection and is dropped; it can never reach a later client
// that was given the same descriptor number.
//
// Threads:
// - The network thread reads the socket, keeps `in` and `queue`, and alone
//   closes the socket (Close).
// - Replies are handed over with Deliver, by the event threads and by the
//   network thread for the requests it runs itself.
// - The output side (the buffer, the flags, the epoll interest) is guarded
//   by `mu`; the socket is written only under it, so frames never interleave.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace parley {

class Connection {
 public:
  // Takes ownership of the connected, non-blocking socket `fd`, registered
  // (or about to be) in `epfd` with this object as its data.
  Connection(int fd, int epfd);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_; }

  // Requests queued or executing. Any thread.
  size_t Inflight() const { return inflight_.load(std::memory_order_acquire); }
  // True once the connection is closed or failed: replies to it are dropped.
  // Any thread; a snapshot.
  bool Gone() const { return gone_.load(std::memory_order_relaxed); }

  // ---- Any thread ----
  // Appends `bytes` (whole reply frames) to the output and sends what the
  // socket takes at once; the rest is flushed by the network thread. Then
  // counts `finished` requests as done. Past kMaxPendingOutput unsent bytes
  // the connection is shut down and its output dropped. Dropped silently
  // when the connection is closed or failed.
  void Deliver(std::string_view bytes, size_t finished);

  // ---- Network thread ----
  // Counts `n` more requests in flight; pauses reading past kMaxInflight.
  void AddInflight(size_t n);
  // Flushes pending output. Returns true when the connection is finished
  // (failed, or input ended and everything is answered and sent).
  bool OnWritable();
  // The peer ended its input. Returns true when the connection can be closed
  // now; otherwise it stays open until its replies are sent.
  bool OnReadEof();
  bool ReadEof() const { return read_eof_; }
  // Closes the socket. Idempotent.
  void Close();

  // Network thread only: bytes of an incomplete frame, and the queue that
  // runs this connection's requests while any are in flight.
  std::string in;
  size_t queue = 0;

 private:
  // Requires mu. Sends from the output buffer until it is empty or the
  // socket is full; fails the connection on a socket error.
  void FlushLocked();
  // Requires mu. Re-registers the epoll interest if it changed.
  void UpdateInterestLocked();
  // Requires mu. Shuts the socket down; the network thread then sees a hang-up and closes.
  void FailLocked();
  // Requires mu. Input ended and nothing is left to answer or send.
  bool DoneLocked() const;

  const int fd_;
  const int epfd_;
  std::atomic<size_t> inflight_{0};
  std::atomic<bool> gone_{false};  // closed_ || failed_, readable without mu
  bool read_eof_ = false;  // written under mu by the network thread; read by it freely

  std::mutex mu;
  // Guarded by mu.
  std::string out_;
  size_t out_off_ = 0;  // bytes of out_ already sent
  bool closed_ = false;
  bool failed_ = false;
  bool paused_ = false;
  bool finishing_ = false;
  uint32_t interest_ = 0;
};

}  // namespace parley
