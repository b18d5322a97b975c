// One client connection: its socket, its input tail and its output.
//
// Owned jointly by the network thread's connection table and by every request
// in flight from it, so a reply for a connection that has since closed lands
// on a closed Connection and is dropped; it can never reach a later client
// that was given the same descriptor number.
//
// Threads:
// - The network thread reads the socket, keeps the fields marked "network
//   thread only", and alone closes the socket (Close).
// - Replies are handed over with Deliver, by the event threads and by the
//   network thread for the requests it runs itself.
// - The output side (the pending replies, the flags, the epoll interest) is
//   guarded by `mu`; the socket is written only under it, so frames never
//   interleave. Output held for the journal (a gate, see DurableGate) stops
//   the sending there; the gate hands the connection back to the network
//   thread (OnWritable) once it opens. A stream in the output (a long
//   listing) is made under `mu` as the socket drains, within the budget the
//   flushing thread gives it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Reply.h"

namespace parley {

class User;

class Connection {
 public:
  // Takes ownership of the connected, non-blocking socket `fd`, registered
  // (or about to be) in `epfd` with this object as its data. `peer` is the
  // client's IPv4 address in network byte order (0 when unknown).
  Connection(int fd, int epfd, uint32_t peer = 0);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_; }
  // The client's IPv4 address, network byte order; fixed at construction.
  uint32_t peer() const { return peer_; }

  // Requests queued or executing. Any thread.
  size_t Inflight() const { return inflight_.load(std::memory_order_acquire); }
  // True once the connection is closed or failed: replies to it are dropped.
  // Any thread; a snapshot.
  bool Gone() const { return gone_.load(std::memory_order_relaxed); }
  // Unsent output (streams counted at their pending cost). Any thread; a snapshot.
  size_t PendingOutput() const { return pending_.load(std::memory_order_relaxed); }
  // True while reading is paused for any of the reasons below. Any thread; a snapshot.
  bool ReadPaused() const { return paused_flag_.load(std::memory_order_acquire); }

  // Why reading from the connection is paused; each reason is set and
  // cleared on its own, and the connection is read again once none is left.
  enum Pause : uint8_t {
    kPauseInflight = 1,   // kMaxInflight requests in flight; cleared at kResumeInflight
    kPauseUntilIdle = 2,  // a request that must run alone; cleared when none is in flight
    kPauseRate = 4,       // over the request rate; cleared by the network thread
  };

  // ---- Any thread ----
  // Appends `replies` (whole reply frames and streams, emptied) to the output
  // and sends what the socket takes at once; the rest, and every stream, is
  // sent by the network thread as the socket drains. Then counts `finished` requests as done.
  // Past kMaxPendingOutput unsent bytes the connection is shut down and its
  // output dropped. Dropped silently when the connection is closed or failed.
  void Deliver(ReplyBuffer& replies, size_t finished);
  void Deliver(std::string_view bytes, size_t finished) {
    ReplyBuffer replies;
    replies.Bytes().assign(bytes);
    Deliver(replies, finished);
  }
  // Shuts the connection down (the network thread then closes it) and drops
  // its output; `why` is counted by the caller.
  void Fail();

  // ---- Network thread ----
  // Counts `n` more requests in flight; pauses reading at kMaxInflight.
  void AddInflight(size_t n);
  // Pauses reading for `why` (kPauseUntilIdle: only while requests are in
  // flight; returns false, not paused, when none is). Resume clears `why`.
  bool PauseReading(Pause why);
  void ResumeReading(Pause why);
  // Sends pending output, making at most `stream_budget` bytes of streams
  // (the loop pass's share; it is lowered by what was made). Returns true
  // when the connection is finished (failed, or input ended and everything
  // is answered and sent).
  bool OnWritable(size_t& stream_budget);
  // The peer ended its input. Returns true when the connection can be closed
  // now; otherwise it stays open until its replies are sent.
  bool OnReadEof();
  bool ReadEof() const { return read_eof_; }
  // Whether `in` holds frames left unread because reading was paused: the
  // connection then asks for a writable event once reading resumes, so the
  // network thread comes back to them even if the socket brings nothing new.
  void SetInputBacklog(bool backlog);
  bool InputBacklog() const { return input_backlog_; }
  // Closes the socket. Idempotent.
  void Close();

  // ---- Accounts ----
  // The account this connection logged in as, or null. A log-in runs while
  // no other request of the connection is in flight (see QueueManager).
  const User* user() const { return user_.load(std::memory_order_acquire); }
  void BindUser(const User* u) { user_.store(u, std::memory_order_release); }
  // Network thread: counts one request in flight that must run alone, and
  // pauses reading until it is answered.
  void BeginAlone();

  // ---- Subscriptions (see PushHub) ----
  // A subscription is added pending: events for it are kept aside until the
  // reply that started it is in the output (Deliver, ReplyBuffer::activate),
  // then sent after it. Any thread.
  enum class Follow { kAdded, kAlready, kGone };
  Follow AddSubscription(uint32_t chat);
  // False when the connection did not follow `chat`. No event of it is sent after this.
  bool RemoveSubscription(uint32_t chat);
  // Network thread, after Close: the chats the connection followed (none follow from now on).
  std::vector<uint32_t> TakeSubscriptions();
  // The push thread: appends pushed event frames of `chat` (whole frames) if
  // the connection follows it, after everything already in the output, and
  // sends what the socket takes at once. Past kMaxPushBacklog unsent bytes the
  // connection is shut down.
  void Push(uint32_t chat, std::string_view frames);

  // Network thread only: bytes not yet cut into frames, and the queue that
  // runs this connection's requests while any are in flight.
  std::string in;
  uint32_t queue = 0;
  // Network thread only, with a request rate set: when the connection's
  // request budget is spent (see Worker::ChargeRate), in steady-clock ns.
  int64_t rate_tat = 0;

 private:
  // Requires mu. Sends until everything is sent, the socket is full or
  // `stream_budget` bytes of streams were made; fails the connection on a
  // socket error. Returns the bytes of streams made. The caller recounts the
  // pending output (RecountLocked) once it is done with the output.
  size_t FlushLocked(size_t stream_budget);
  // Requires mu. Re-registers the epoll interest if it changed.
  void UpdateInterestLocked();
  // Requires mu. Shuts the socket down; the network thread then sees a hang-up and closes.
  void FailLocked();
  // Requires mu. Clears one pause reason.
  void ClearPauseLocked(Pause why);
  // Requires mu. Input ended and nothing is left to answer or send.
  bool DoneLocked() const;
  // Requires mu. Nothing left to send.
  bool DrainedLocked() const { return out_off_ == out_.size() && (!rest_ || rest_->empty()); }
  // Requires mu. Recounts the pending output and charges the memory budget.
  size_t RecountLocked();

  // Laid out to keep an idle connection small.
  const int fd_;
  const int epfd_;
  const uint32_t peer_;
  std::atomic<uint32_t> inflight_{0};  // at most kMaxInflight
  std::atomic<uint32_t> pending_{0};
  std::atomic<bool> gone_{false};  // closed_ || failed_, readable without mu
  std::atomic<bool> paused_flag_{false};
  std::atomic<const User*> user_{nullptr};
  bool read_eof_ = false;       // written under mu by the network thread; read by it freely
  bool input_backlog_ = false;  // the same
  // Guarded by mu.
  bool closed_ = false;
  bool failed_ = false;
  uint8_t paused_ = 0;  // Pause bits
  bool finishing_ = false;
  bool held_ = false;  // the output waits at a gate (registered with DurableGate)
  uint32_t interest_ = 0;
  uint32_t out_off_ = 0;  // bytes of out_ already sent
  std::mutex mu;
  std::string out_;  // bytes being sent
  // What follows out_: streams and the bytes after them; made only for a stream.
  std::unique_ptr<std::vector<ReplyBuffer::Piece>> rest_;
  // Followed chats, made on the first subscription: their numbers, sorted,
  // with kPending set until the reply that started one is in the output,
  // and the events that came before that, by chat.
  static constexpr uint32_t kPending = 1u << 31;  // chat numbers are below 2^31
  struct Subscriptions {
    std::vector<uint32_t> chats;
    std::vector<std::pair<uint32_t, std::string>> early;
  };
  std::unique_ptr<Subscriptions> subs_;
  // Requires mu. The entry of `chat` in subs_->chats, or null.
  uint32_t* FindSubscriptionLocked(uint32_t chat);
  // Requires mu. Appends bytes after everything in the output.
  void AppendLocked(std::string_view bytes);
};

}  // namespace parley
