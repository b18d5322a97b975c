#include "store/MessageStorage.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>

#include "Limits.h"

namespace parley {

static_assert(kMaxPayload < 65536, "a body size must fit the record's 16-bit size field");
static_assert(kMaxChatArenaBytes <= 0x80000000ull, "arena offsets must leave the deleted bit free");

namespace {

uint16_t LoadU16(const char* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint32_t LoadU32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void StoreU16(char* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
void StoreU32(char* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

MessageStorage::MessageStorage(uint32_t chat_number) : chat_number_(chat_number) {}

MessageStorage::~MessageStorage() = default;

char* MessageStorage::RecordAt(uint32_t offset) const {
  return chunks_[offset >> kChunkShift].get() + (offset & (kChunkSize - 1));
}

UserId MessageStorage::RecordSender(const char* rec) { return LoadU32(rec + 2); }

std::string_view MessageStorage::RecordBody(const char* rec) {
  return {rec + kHeader, LoadU16(rec)};
}

const char* MessageStorage::FindActive(MessageId id) const {
  if (id < 0 || ChatNumberOf(id) != chat_number_) return nullptr;
  uint32_t pos = PositionOf(id);
  if (pos >= index_.size()) return nullptr;
  uint32_t entry = index_[pos];
  if (entry & kDeleted) return nullptr;
  return RecordAt(entry);
}

std::optional<uint32_t> MessageStorage::WriteRecord(UserId sender, std::string_view body) {
  const size_t need = kHeader + body.size();
  if (chunks_.empty()) {
    first_chunk_cap_ = std::max(kFirstChunkMin, std::bit_ceil(need));
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(first_chunk_cap_));
    tail_used_ = 0;
  } else if (chunks_.size() == 1 && tail_used_ + need > first_chunk_cap_ && first_chunk_cap_ < kChunkSize) {
    // Grow the first chunk in place of a new one, so small chats stay small.
    size_t cap = first_chunk_cap_;
    while (cap < tail_used_ + need && cap < kChunkSize) cap *= 2;
    auto bigger = std::make_unique_for_overwrite<char[]>(cap);
    std::memcpy(bigger.get(), chunks_[0].get(), tail_used_);
    chunks_[0] = std::move(bigger);
    first_chunk_cap_ = cap;
  }
  size_t cap = chunks_.size() == 1 ? first_chunk_cap_ : kChunkSize;
  if (tail_used_ + need > cap) {
    if ((chunks_.size() + 1) * kChunkSize > kMaxChatArenaBytes) return std::nullopt;
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(kChunkSize));
    tail_used_ = 0;
  }
  const uint32_t offset = static_cast<uint32_t>(((chunks_.size() - 1) << kChunkShift) | tail_used_);
  char* rec = chunks_.back().get() + tail_used_;
  StoreU16(rec, static_cast<uint16_t>(body.size()));
  StoreU32(rec + 2, sender);
  if (!body.empty()) std::memcpy(rec + kHeader, body.data(), body.size());
  tail_used_ += need;
  return offset;
}

std::optional<MessageId> MessageStorage::addTextMessage(UserId sender, std::string_view body) {
  if (body.size() > static_cast<size_t>(kMaxPayload)) return std::nullopt;
  std::unique_lock lk(mu_);
  if (index_.size() >= 0xffffffffu) return std::nullopt;
  auto offset = WriteRecord(sender, body);
  if (!offset) return std::nullopt;
  index_.push_back(*offset);
  return MakeMessageId(chat_number_, static_cast<uint32_t>(index_.size() - 1));
}

bool MessageStorage::editMsg(UserId sender, MessageId id, std::string_view body) {
  if (body.size() > static_cast<size_t>(kMaxPayload)) return false;
  std::unique_lock lk(mu_);
  char* rec = const_cast<char*>(FindActive(id));
  if (rec == nullptr || RecordSender(rec) != sender) return false;
  const size_t old_size = LoadU16(rec);
  if (body.size() <= old_size) {
    if (!body.empty()) std::memmove(rec + kHeader, body.data(), body.size());
    std::memset(rec + kHeader + body.size(), 0, old_size - body.size());
    StoreU16(rec, static_cast<uint16_t>(body.size()));
    return true;
  }
  auto offset = WriteRecord(sender, body);
  if (!offset) return false;
  // WriteRecord may have moved the first chunk: find the old record again.
  rec = RecordAt(index_[PositionOf(id)]);
  std::memset(rec + kHeader, 0, old_size);
  index_[PositionOf(id)] = *offset;
  return true;
}

bool MessageStorage::removeMessage(UserId sender, MessageId id) {
  std::unique_lock lk(mu_);
  char* rec = const_cast<char*>(FindActive(id));
  if (rec == nullptr || RecordSender(rec) != sender) return false;
  std::memset(rec + kHeader, 0, LoadU16(rec));  // a deleted body does not linger
  index_[PositionOf(id)] |= kDeleted;
  return true;
}

void MessageStorage::appendMsgIds(std::vector<MessageId>& out) const {
  std::shared_lock lk(mu_);
  out.reserve(out.size() + index_.size());
  for (uint32_t pos = 0; pos < static_cast<uint32_t>(index_.size()); ++pos)
    if (!(index_[pos] & kDeleted)) out.push_back(MakeMessageId(chat_number_, pos));
}

std::vector<MessageId> MessageStorage::getMsgIds() const {
  std::vector<MessageId> ids;
  appendMsgIds(ids);
  return ids;
}

size_t MessageStorage::count() const {
  std::shared_lock lk(mu_);
  return index_.size();
}

}  // namespace parley
