// The messages of one chat.
//
// Layout: message records are packed back to back in an append-only arena of
// byte chunks, each record a 6-byte header (body size, sender's user number)
// followed by the body. An index holds one 32-bit entry per message ever
// added, in order: the record's arena offset, with the top bit marking a
// deleted message. A message's position in the index is the low half of its
// id, so a lookup by id is one bounds check and one index read. Per message
// this costs the body plus 10 bytes.
//
// Nothing is ever taken out: deleting marks the index entry and wipes the
// body; an edit to a body no longer than the current one rewrites it in
// place, a longer one writes a new record and repoints the index entry (the
// id never changes).
//
// Thread safety: all operations may be called from any thread. Readers
// (listing, fetching) share the lock; writers (add, edit, delete) hold it
// alone. A reader only sees message contents inside the callback of
// visitMsg, while the lock is held, or as a copy.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>

#include "store/RwLock.h"
#include <string_view>
#include <vector>

#include "store/Message.h"
#include "store/User.h"

namespace parley {

class MessageStorage {
 public:
  // `chat_number` forms the high half of every id this storage hands out.
  explicit MessageStorage(uint32_t chat_number);
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
  // The same, appended to `out` (lets a caller reuse its buffer).
  void appendMsgIds(std::vector<MessageId>& out) const;

  // Calls f(sender, body) for the active message `id` with the lock held;
  // returns false (without calling f) when there is no such message.
  template <class F>
  bool visitMsg(MessageId id, F&& f) const {
    std::shared_lock lk(mu_);
    const char* rec = FindActive(id);
    if (rec == nullptr) return false;
    f(RecordSender(rec), RecordBody(rec));
    return true;
  }

  // Number of messages ever added (deleted ones included).
  size_t count() const;

 private:
  static constexpr uint32_t kDeleted = 0x80000000u;
  static constexpr size_t kHeader = 6;  // u16 size, u32 sender
  static constexpr uint32_t kChunkShift = 20;  // 1 MiB chunks
  static constexpr size_t kChunkSize = size_t{1} << kChunkShift;
  static constexpr size_t kFirstChunkMin = 256;

  // Requires mu_ held (either way). Null when id is not an active message here.
  const char* FindActive(MessageId id) const;
  char* RecordAt(uint32_t offset) const;
  static UserId RecordSender(const char* rec);
  static std::string_view RecordBody(const char* rec);
  // Requires mu_ held exclusively. Writes a record; returns its offset.
  std::optional<uint32_t> WriteRecord(UserId sender, std::string_view body);

  // The index: blocks of kIndexBlock entries, so that growing it never
  // copies more than one block (no pause to move a million entries).
  class Index {
   public:
    size_t size() const { return size_; }
    uint32_t& operator[](size_t pos) { return blocks_[pos >> kIndexShift][pos & (kIndexBlock - 1)]; }
    uint32_t operator[](size_t pos) const { return blocks_[pos >> kIndexShift][pos & (kIndexBlock - 1)]; }
    void push_back(uint32_t v) {
      if ((size_ & (kIndexBlock - 1)) == 0) blocks_.emplace_back();
      blocks_.back().push_back(v);
      ++size_;
    }

   private:
    static constexpr unsigned kIndexShift = 13;
    static constexpr size_t kIndexBlock = size_t{1} << kIndexShift;
    std::vector<std::vector<uint32_t>> blocks_;
    size_t size_ = 0;
  };

  const uint32_t chat_number_;
  mutable RwLock mu_;
  // Guarded by mu_.
  Index index_;
  std::vector<std::unique_ptr<char[]>> chunks_;
  size_t first_chunk_cap_ = 0;  // the first chunk grows by doubling up to kChunkSize
  size_t tail_used_ = 0;        // bytes used in the last chunk
};

}  // namespace parley
