// Replies on their way to a connection: encoded frames, and streams that
// encode a long reply piece by piece as the socket drains.
//
// A ReplyBuffer holds the replies of consecutive requests of one connection,
// in request order: bytes, then possibly a stream and the bytes of the
// replies after it, and so on. The connection sends them in that order (see
// Connection::Deliver), so a reply that follows a long listing leaves after
// the listing's last byte.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace parley {

// A reply made as it is sent. Produce is called from whichever thread sends
// the connection's output, one call at a time, and must not wait for a lock.
class ReplyStream {
 public:
  virtual ~ReplyStream() = default;
  // Appends about `budget` bytes (more when one unit is larger) to `out`.
  // Returns true once the whole reply has been appended.
  virtual bool Produce(std::string& out, size_t budget) = 0;
  // What the stream will add to the memory it holds when made, counted
  // against the connection's pending-output bound.
  virtual size_t PendingCost() const = 0;
};

class ReplyBuffer {
 public:
  struct Piece {
    std::unique_ptr<ReplyStream> stream;
    std::string after;  // bytes that follow the stream
    // When not 0, nothing from here on leaves before the journal has this
    // sequence durable (see DurableGate).
    uint64_t gate = 0;
  };

  // Subscriptions (chat numbers) whose events may be sent once these replies
  // are in their connection's output: events never go before the reply that
  // started them (see Connection::Push).
  std::vector<uint32_t> activate;

  // Bytes set aside for a run of held replies (a status reply is 22 bytes).
  static constexpr size_t kHeldReserve = 512;

  // Where the next encoded frames go: after everything so far.
  std::string& Bytes() { return pieces_.empty() ? head_ : pieces_.back().after; }
  void AddStream(std::unique_ptr<ReplyStream> s) { pieces_.push_back({std::move(s), {}, 0}); }
  // Holds the bytes from offset `mark` of Bytes() on, and everything added
  // after them, until sequence `gate` is durable. Consecutive holds share
  // one gate (the later sequence).
  void HoldFrom(size_t mark, uint64_t gate);

  bool empty() const { return head_.empty() && pieces_.empty() && activate.empty(); }
  // A buffer kept for reuse gives back its storage once a burst grew it past
  // `capacity`.
  void Shrink(size_t capacity) {
    if (head_.capacity() > capacity) std::string().swap(head_);
  }
  // Encoded bytes held, plus the pending cost of the streams.
  size_t size() const;
  void clear();

  std::string& head() { return head_; }
  std::vector<Piece>& pieces() { return pieces_; }

 private:
  std::string head_;
  std::vector<Piece> pieces_;
};

inline size_t ReplyBuffer::size() const {
  size_t n = head_.size();
  for (const Piece& p : pieces_) n += p.after.size() + (p.stream ? p.stream->PendingCost() : 0);
  return n;
}

inline void ReplyBuffer::HoldFrom(size_t mark, uint64_t gate) {
  if (!pieces_.empty() && !pieces_.back().stream && pieces_.back().gate != 0) {
    pieces_.back().gate = std::max(pieces_.back().gate, gate);
    return;
  }
  std::string& cur = Bytes();
  // The replies after this one join the held bytes: room for a burst of
  // them up front, rather than a reallocation at every doubling.
  Piece p{nullptr, {}, gate};
  p.after.reserve(std::max(cur.size() - mark, kHeldReserve));
  p.after.assign(cur, mark);
  cur.resize(mark);
  pieces_.push_back(std::move(p));
}

inline void ReplyBuffer::clear() {
  head_.clear();
  pieces_.clear();
  activate.clear();
}

}  // namespace parley
