// The messages of one chat.
//
// Layout: message records are packed back to back in an arena of byte
// chunks, each record a header (body size, then the sender's user number,
// each a base-128 varint: two bytes for a short body from one of the first
// 128 users) followed by the body. Per message an offset index
// (OffsetIndex, about 2.3 bytes) says where its record starts, and a bitmap
// marks the deleted ones. A message's position is the low half of its id, so
// a lookup by id is one bounds check, one mark and one index read. Per
// message this costs the body plus about 5 bytes.
//
// Space: deleting wipes the body at once; an edit to a body no longer than
// the current one rewrites it in place, a longer one writes a new record and
// repoints the index entry (the id never changes). What deletions and edits
// leave behind is counted; once it is as large as the live records (and at
// least kCompactMinGarbage), the arena is rewritten with the live records
// only, so neither deletions nor edit loops grow a chat without bound.
//
// Listings: a Listing is one consistent view of the chat (the active messages
// at the moment it began) that is read out piece by piece without the lock,
// so a long listing never keeps writers waiting. It reads the index without
// the lock and learns from a log of the deletions made meanwhile which
// messages were still active when it began.
//
// Thread safety: all operations may be called from any thread. Readers
// (fetching, starting a listing) share the lock; writers (add, edit, delete)
// hold it alone, each for one bounded step (a compaction excepted, which is
// paid for by at least as many bytes of edits and deletions). A reader sees
// message contents only inside the callback of visitMsg, while the lock is
// held. Every lock step follows the calling thread's waiting rule (see
// NoWaitScope): when it met a busy lock, the operation changed nothing and
// reports failure.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "store/AppendTable.h"
#include "store/Change.h"
#include "store/Message.h"
#include "store/OffsetIndex.h"
#include "store/RwLock.h"
#include "store/User.h"

namespace parley {

class MessageStorage {
 public:
  class Listing;

  // `chat_number` forms the high half of every id this storage hands out.
  // Every change is reported to `sink` (when set) inside its lock step.
  explicit MessageStorage(uint32_t chat_number, ChangeSink* sink = nullptr);
  ~MessageStorage();
  MessageStorage(const MessageStorage&) = delete;
  MessageStorage& operator=(const MessageStorage&) = delete;

  // Appends a message from `sender`. Returns its id, or nothing when this
  // chat has reached its size limit (kMaxChatArenaBytes or 2^32 messages).
  std::optional<MessageId> addTextMessage(UserId sender, std::string_view body);

  // Replaces the body of the active message `id` if `sender` sent it.
  // Returns whether such a message was found (and edited).
  bool editMsg(UserId sender, MessageId id, std::string_view body);

  // Deletes the active message `id` if `sender` sent it. Returns whether such
  // a message was found (and deleted).
  bool removeMessage(UserId sender, MessageId id);

  // The ids of the active messages, oldest first.
  std::vector<MessageId> getMsgIds() const;
  // The same, appended to `out`.
  void appendMsgIds(std::vector<MessageId>& out) const;

  // Begins a listing of the active messages as they are now. Null only when
  // the lock was busy for a thread that may not wait.
  std::unique_ptr<Listing> startListing() const;

  // Calls f(sender, body) for the active message `id` with the lock held;
  // returns false (without calling f) when there is no such message.
  template <class F>
  bool visitMsg(MessageId id, F&& f) const {
    auto lk = LockShared(mu_);
    if (!lk) return false;
    const char* rec = FindActive(id);
    if (rec == nullptr) return false;
    const Record r = ReadRecord(rec);
    f(r.sender, r.body);
    return true;
  }

  // Calls f(id, sender, body, deleted) for the messages at positions
  // [from, from + max), deleted ones included (with an empty body), under
  // the lock. Returns the position after the last one visited.
  template <class F>
  size_t exportMessages(size_t from, size_t max, F&& f) const {
    std::shared_lock lk(mu_);
    return VisitLocked(from, max, [&](MessageId id, UserId u, std::string_view body, bool deleted) {
      f(id, u, body, deleted);
      return true;
    });
  }
  // The same under the calling thread's waiting rule, stopping before the
  // first message for which f returns false. Returns the position of the
  // first message not taken, or nothing when the lock was busy.
  template <class F>
  std::optional<size_t> visitFrom(size_t from, size_t max, F&& f) const {
    auto lk = LockShared(mu_);
    if (!lk) return std::nullopt;
    return VisitLocked(from, max, f);
  }
  // Calls f(last) with the lock held (so no message is added, edited or
  // deleted while f runs), `last` being the id of the last message ever
  // added, deleted or not, or -1 when there is none. False when the lock was busy.
  template <class F>
  bool withLastId(F&& f) const {
    auto lk = LockShared(mu_);
    if (!lk) return false;
    const size_t n = count();
    f(n == 0 ? MessageId{-1} : MakeMessageId(chat_number_, static_cast<uint32_t>(n - 1)));
    return true;
  }

  // ---- Start-up only (no other thread uses the storage; nothing reported) ----
  // Puts message `id` back: appended when it is the next position, left
  // alone when the position is already taken (a snapshot may hold changes
  // the journal repeats). False when `id` is past the next position or not
  // of this chat, or the chat is full.
  bool restoreMessage(MessageId id, UserId sender, std::string_view body, bool deleted);
  // Sets the body of, or deletes, message `id` if it is active. False when
  // `id` was never added.
  bool restoreEdit(MessageId id, std::string_view body);
  bool restoreDelete(MessageId id);
  // Calls f(sender) for every active message.
  template <class F>
  void forEachSender(F&& f) const {
    for (size_t pos = 0; pos < count(); ++pos)
      if (!Marked(pos)) f(RecordSender(arena_.At(offsets_.Load(pos))));
  }
  void setSink(ChangeSink* sink) { sink_ = sink; }

  // Number of messages ever added (deleted ones included).
  size_t count() const { return count_.load(std::memory_order_acquire); }
  // Bytes this storage holds (arena and index).
  size_t bytes() const;

 private:
  friend class Listing;

  // Message records, packed. The first chunk grows by doubling up to
  // kChunkSize, so small chats stay small.
  class Arena {
   public:
    // Never an offset (offsets stay below kMaxChatArenaBytes): what Write
    // returns when the arena is full, and the place of a deleted message.
    static constexpr uint32_t kNoOffset = UINT32_MAX;
    // Writes a record; its offset, or kNoOffset when full. (A plain integer,
    // not an optional: GCC returns an optional<uint32_t> through the stack
    // with two stores and one wider load, which cannot be forwarded and waits
    // for every store before it, the record's own included.)
    uint32_t Write(UserId sender, std::string_view body);
    char* At(uint32_t offset) const;
    size_t Used() const;       // bytes of records written
    size_t Allocated() const;  // bytes of chunks
   private:
    static constexpr uint32_t kChunkShift = 20;  // 1 MiB chunks
    static constexpr size_t kChunkSize = size_t{1} << kChunkShift;  // the offsets' span of a chunk
    // Bytes allocated for a chunk: a little under its span, so that with the
    // allocator's own header a chunk takes whole pages, not one page more.
    static constexpr size_t kChunkBytes = kChunkSize - 64;
    static constexpr size_t kFirstChunkMin = 256;
    std::vector<std::unique_ptr<char[]>> chunks_;
    size_t first_cap_ = 0;
    size_t tail_used_ = 0;
  };

  // Requires mu_ held (either way). See visitFrom.
  template <class F>
  size_t VisitLocked(size_t from, size_t max, F&& f) const {
    const size_t n = count();
    const size_t end = std::min(n, from + std::min(max, n));
    size_t pos = from;
    for (; pos < end; ++pos) {
      const MessageId id = MakeMessageId(chat_number_, static_cast<uint32_t>(pos));
      if (Marked(pos)) {
        if (!f(id, UserId{0}, std::string_view(), true)) break;
        continue;
      }
      const Record r = ReadRecord(arena_.At(offsets_.Load(pos)));
      if (!f(id, r.sender, r.body, false)) break;
    }
    return pos;
  }
  // Requires mu_ held (either way). Null when id is not an active message here.
  const char* FindActive(MessageId id) const;
  struct Record {
    UserId sender;
    std::string_view body;
  };
  static Record ReadRecord(const char* rec);
  static UserId RecordSender(const char* rec) { return ReadRecord(rec).sender; }
  // Whether the message at `pos` is deleted. Any thread, any time for pos < count().
  bool Marked(size_t pos) const { return (marks_.Load(pos / 32) >> (pos % 32)) & 1u; }
  // Requires mu_ held exclusively. Marks the message at `pos` deleted.
  void Mark(size_t pos) { marks_.Store(pos / 32, marks_.Load(pos / 32) | (1u << (pos % 32))); }
  // Requires mu_ held exclusively: counts `bytes` of dead record space and
  // compacts when it is time; charges the memory budget for what changed.
  void AddGarbage(size_t bytes);
  // Requires mu_ held exclusively and `rec` the active record at `pos`.
  void EditLocked(uint32_t pos, char* rec, UserId sender, std::string_view body, bool& ok);
  void RemoveLocked(uint32_t pos, char* rec);
  // Requires mu_ held exclusively. Hands out the next position: a message
  // whose record is at `offset`, or with Arena::kNoOffset, a deleted one.
  void AddPosition(uint32_t offset);
  void Compact();
  void ChargeBudget();

  const uint32_t chat_number_;
  ChangeSink* sink_;  // set at start-up, then read-only
  mutable RwLock mu_;
  // Written under mu_ held exclusively. count_, marks_ and deleted_log_ may
  // also be read by listings without the lock (see AppendTable).
  std::atomic<size_t> count_{0};  // positions handed out
  AppendTable marks_;             // deletion bits, 32 positions a word
  OffsetIndex offsets_;
  Arena arena_;
  size_t active_ = 0;    // messages not deleted
  size_t garbage_ = 0;   // arena bytes no live record uses
  size_t charged_ = 0;   // bytes charged to the memory budget
  // Positions deleted while a listing was open, in order; cleared by the
  // next deletion once no listing is open.
  AppendTable deleted_log_;
  mutable std::atomic<size_t> open_listings_{0};
};

// One consistent view of a chat's active messages, read out in order.
// Made by MessageStorage::startListing; reads without the storage's lock.
// Requires: the storage outlives it. One thread at a time.
class MessageStorage::Listing {
 public:
  explicit Listing(const MessageStorage& s);  // requires s.mu_ held
  ~Listing();
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

  // Ids in the view, and ids not read out yet.
  size_t size() const { return count_; }
  size_t remaining() const { return count_ - emitted_; }
  bool done() const { return next_ == end_; }
  // Appends the next ids of the view (at most `max` positions are looked at)
  // to `out`. Returns how many were appended.
  size_t Next(std::vector<MessageId>& out, size_t max);

 private:
  const MessageStorage& s_;
  const size_t end_;    // positions below this one are in the view
  const size_t count_;  // of which this many were active
  const size_t log_start_;
  size_t log_read_;
  size_t next_ = 0;
  size_t emitted_ = 0;
  std::unordered_set<uint32_t> deleted_since_;  // positions deleted after the view began
};

}  // namespace parley
