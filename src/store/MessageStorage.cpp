#include "store/MessageStorage.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Limits.h"
#include "Log.h"
#include "MemoryBudget.h"

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

// ---- Arena -------------------------------------------------------------------

char* MessageStorage::Arena::At(uint32_t offset) const {
  return chunks_[offset >> kChunkShift].get() + (offset & (kChunkSize - 1));
}

size_t MessageStorage::Arena::Used() const {
  return chunks_.empty() ? 0 : (chunks_.size() - 1) * kChunkSize + tail_used_;
}

size_t MessageStorage::Arena::Allocated() const {
  return chunks_.size() <= 1 ? first_cap_ : first_cap_ + (chunks_.size() - 1) * kChunkSize;
}

std::optional<uint32_t> MessageStorage::Arena::Write(UserId sender, std::string_view body) {
  const size_t need = kHeader + body.size();
  if (chunks_.empty()) {
    first_cap_ = std::max(kFirstChunkMin, std::bit_ceil(need));
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(first_cap_));
    tail_used_ = 0;
  } else if (chunks_.size() == 1 && tail_used_ + need > first_cap_ && first_cap_ < kChunkSize) {
    // Grow the first chunk in place of a new one, so small chats stay small.
    size_t cap = first_cap_;
    while (cap < tail_used_ + need && cap < kChunkSize) cap *= 2;
    auto bigger = std::make_unique_for_overwrite<char[]>(cap);
    std::memcpy(bigger.get(), chunks_[0].get(), tail_used_);
    chunks_[0] = std::move(bigger);
    first_cap_ = cap;
  }
  const size_t cap = chunks_.size() == 1 ? first_cap_ : kChunkSize;
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

// ---- MessageStorage ------------------------------------------------------------

MessageStorage::MessageStorage(uint32_t chat_number, ChangeSink* sink) : chat_number_(chat_number), sink_(sink) {}

MessageStorage::~MessageStorage() { MemoryBudget::Get().ChargeStore(-static_cast<int64_t>(charged_)); }

UserId MessageStorage::RecordSender(const char* rec) { return LoadU32(rec + 2); }

std::string_view MessageStorage::RecordBody(const char* rec) { return {rec + kHeader, LoadU16(rec)}; }

const char* MessageStorage::FindActive(MessageId id) const {
  if (id < 0 || ChatNumberOf(id) != chat_number_) return nullptr;
  const uint32_t pos = PositionOf(id);
  if (pos >= index_.size()) return nullptr;
  const uint32_t entry = index_.Load(pos);
  if (entry & kDeleted) return nullptr;
  return arena_.At(entry);
}

size_t MessageStorage::bytes() const {
  std::shared_lock lk(mu_);
  return arena_.Allocated() + index_.Bytes() + deleted_log_.Bytes();
}

void MessageStorage::ChargeBudget() {
  const size_t now = arena_.Allocated() + index_.Bytes() + deleted_log_.Bytes();
  if (now == charged_) return;  // most messages fit what is already allocated
  MemoryBudget::Get().ChargeStore(static_cast<int64_t>(now) - static_cast<int64_t>(charged_));
  charged_ = now;
}

void MessageStorage::AddGarbage(size_t bytes) {
  garbage_ += bytes;
  if (garbage_ >= kCompactMinGarbage && garbage_ * 2 >= arena_.Used()) Compact();
}

void MessageStorage::Compact() {
  Arena fresh;
  const size_t n = index_.size();
  for (size_t pos = 0; pos < n; ++pos) {
    const uint32_t entry = index_.Load(pos);
    if (entry & kDeleted) {
      index_.Store(pos, kDeleted);
      continue;
    }
    const char* rec = arena_.At(entry);
    // The live records fitted the old arena; they fit a new one.
    index_.Store(pos, *fresh.Write(RecordSender(rec), RecordBody(rec)));
  }
  arena_ = std::move(fresh);
  garbage_ = 0;
}

std::optional<MessageId> MessageStorage::addTextMessage(UserId sender, std::string_view body) {
  if (body.size() > static_cast<size_t>(kMaxPayload)) return std::nullopt;
  auto lk = LockExclusive(mu_);
  if (!lk) return std::nullopt;
  if (index_.size() >= 0xffffffffu) return std::nullopt;
  auto offset = arena_.Write(sender, body);
  if (!offset && garbage_ > 0) {  // full of dead space: reclaim it first
    Compact();
    offset = arena_.Write(sender, body);
  }
  if (!offset) return std::nullopt;
  index_.PushBack(*offset);
  ++active_;
  ChargeBudget();
  const MessageId id = MakeMessageId(chat_number_, static_cast<uint32_t>(index_.size() - 1));
  if (sink_ != nullptr) sink_->Record({.kind = Change::Kind::kMessage, .user = sender, .id = id, .text = body});
  return id;
}

bool MessageStorage::editMsg(UserId sender, MessageId id, std::string_view body) {
  if (body.size() > static_cast<size_t>(kMaxPayload)) return false;
  auto lk = LockExclusive(mu_);
  if (!lk) return false;
  char* rec = const_cast<char*>(FindActive(id));
  if (rec == nullptr || RecordSender(rec) != sender) return false;
  bool ok = false;
  EditLocked(PositionOf(id), rec, sender, body, ok);
  if (ok && sink_ != nullptr) sink_->Record({.kind = Change::Kind::kEdit, .id = id, .text = body});
  return ok;
}

void MessageStorage::EditLocked(uint32_t pos, char* rec, UserId sender, std::string_view body, bool& ok) {
  const size_t old_size = LoadU16(rec);
  if (body.size() <= old_size) {
    if (!body.empty()) std::memmove(rec + kHeader, body.data(), body.size());
    std::memset(rec + kHeader + body.size(), 0, old_size - body.size());
    StoreU16(rec, static_cast<uint16_t>(body.size()));
    AddGarbage(old_size - body.size());
    ChargeBudget();
    ok = true;
    return;
  }
  auto offset = arena_.Write(sender, body);
  if (!offset) {
    if (garbage_ == 0) return;
    Compact();
    offset = arena_.Write(sender, body);
    if (!offset) return;
  }
  // Writing may have moved the first chunk: find the old record again.
  rec = arena_.At(index_.Load(pos));
  std::memset(rec + kHeader, 0, old_size);
  index_.Store(pos, *offset);
  AddGarbage(kHeader + old_size);
  ChargeBudget();
  ok = true;
}

bool MessageStorage::removeMessage(UserId sender, MessageId id) {
  auto lk = LockExclusive(mu_);
  if (!lk) return false;
  char* rec = const_cast<char*>(FindActive(id));
  if (rec == nullptr || RecordSender(rec) != sender) return false;
  RemoveLocked(PositionOf(id), rec);
  if (sink_ != nullptr) sink_->Record({.kind = Change::Kind::kDelete, .id = id});
  return true;
}

void MessageStorage::RemoveLocked(uint32_t pos, char* rec) {
  const size_t size = LoadU16(rec);
  std::memset(rec + kHeader, 0, size);  // a deleted body does not linger
  // An open listing must learn of the deletion before it can see the mark.
  if (open_listings_.load(std::memory_order_acquire) > 0) deleted_log_.PushBack(pos);
  else if (deleted_log_.size() > 0) deleted_log_.Clear();
  index_.Store(pos, index_.Load(pos) | kDeleted);
  --active_;
  AddGarbage(kHeader + size);
  ChargeBudget();
}

bool MessageStorage::restoreMessage(MessageId id, UserId sender, std::string_view body, bool deleted) {
  if (ChatNumberOf(id) != chat_number_ || body.size() > static_cast<size_t>(kMaxPayload)) return false;
  std::unique_lock lk(mu_);
  const size_t pos = PositionOf(id);
  if (pos < index_.size()) return true;
  if (pos > index_.size()) return false;
  if (deleted) {
    index_.PushBack(kDeleted);
  } else {
    const auto offset = arena_.Write(sender, body);
    if (!offset) return false;
    index_.PushBack(*offset);
    ++active_;
  }
  ChargeBudget();
  return true;
}

bool MessageStorage::restoreEdit(MessageId id, std::string_view body) {
  if (ChatNumberOf(id) != chat_number_ || PositionOf(id) >= index_.size() ||
      body.size() > static_cast<size_t>(kMaxPayload))
    return false;
  std::unique_lock lk(mu_);
  char* rec = const_cast<char*>(FindActive(id));
  if (rec == nullptr) return true;  // deleted later: a snapshot already has that
  bool ok = false;
  EditLocked(PositionOf(id), rec, RecordSender(rec), body, ok);
  return ok;
}

bool MessageStorage::restoreDelete(MessageId id) {
  std::unique_lock lk(mu_);
  if (ChatNumberOf(id) != chat_number_ || PositionOf(id) >= index_.size()) return false;
  if (char* rec = const_cast<char*>(FindActive(id))) RemoveLocked(PositionOf(id), rec);
  return true;
}

std::unique_ptr<MessageStorage::Listing> MessageStorage::startListing() const {
  auto lk = LockShared(mu_);
  if (!lk) return nullptr;
  return std::make_unique<Listing>(*this);
}

void MessageStorage::appendMsgIds(std::vector<MessageId>& out) const {
  std::unique_ptr<Listing> l;
  {
    std::shared_lock lk(mu_);  // callers of this convenience may always wait
    l = std::make_unique<Listing>(*this);
  }
  out.reserve(out.size() + l->size());
  while (!l->done()) l->Next(out, size_t{1} << 16);
}

std::vector<MessageId> MessageStorage::getMsgIds() const {
  std::vector<MessageId> ids;
  appendMsgIds(ids);
  return ids;
}

// ---- Listing -------------------------------------------------------------------

MessageStorage::Listing::Listing(const MessageStorage& s)
    : s_(s),
      end_(s.index_.size()),
      count_(s.active_),
      log_start_(s.deleted_log_.size()),
      log_read_(log_start_) {
  s.open_listings_.fetch_add(1, std::memory_order_acq_rel);
}

MessageStorage::Listing::~Listing() { s_.open_listings_.fetch_sub(1, std::memory_order_acq_rel); }

size_t MessageStorage::Listing::Next(std::vector<MessageId>& out, size_t max) {
  const size_t stop = std::min(end_, next_ + max);
  const size_t first = next_;
  // The marks first, then the log: a deletion is logged before it is marked,
  // so every mark seen here that came after the view began is in the log read
  // below.
  thread_local std::vector<uint32_t> entries;
  entries.resize(stop - first);
  const uint32_t any_marked = s_.index_.LoadRange(first, stop, entries.data()) & kDeleted;
  if (any_marked != 0) {
    const size_t logged = s_.deleted_log_.size();
    for (; log_read_ < logged; ++log_read_) deleted_since_.insert(s_.deleted_log_.Load(log_read_));
  }
  const size_t before = out.size();
  out.resize(before + (stop - first));
  MessageId* ids = out.data() + before;
  const MessageId base = MakeMessageId(s_.chat_number_, 0);
  size_t kept = 0;
  if (any_marked == 0) {
    for (size_t pos = first; pos < stop; ++pos) ids[kept++] = base | static_cast<MessageId>(pos);
  } else {
    for (size_t pos = first; pos < stop; ++pos) {
      if ((entries[pos - first] & kDeleted) != 0 && deleted_since_.count(static_cast<uint32_t>(pos)) == 0) continue;
      ids[kept++] = base | static_cast<MessageId>(pos);
    }
  }
  out.resize(before + kept);
  next_ = stop;
  const size_t added = out.size() - before;
  emitted_ += added;
  if (emitted_ > count_ || (done() && emitted_ != count_)) {
    // The view's count went out in the reply's header already: a listing
    // that disagrees with it would corrupt the stream. A bug, not a state.
    LogError("listing of chat %u produced %zu ids for a view of %zu", s_.chat_number_, emitted_, count_);
    std::abort();
  }
  return added;
}

}  // namespace parley
