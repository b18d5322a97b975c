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

static_assert(kMaxChatArenaBytes <= 0x100000000ull, "arena offsets are 32-bit");

namespace {

// Base-128 varints, low group first, the top bit of a byte telling that
// another follows.
size_t VarintBytes(uint32_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}
// Writes `v` in exactly `width` bytes (>= VarintBytes(v)): an edit in place
// keeps the width of the size it replaces.
char* PutVarint(char* p, uint32_t v, size_t width) {
  for (size_t i = 1; i < width; ++i) {
    *p++ = static_cast<char>((v & 0x7f) | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<char>(v);
  return p;
}
const char* GetVarint(const char* p, uint32_t& v) {
  v = 0;
  for (unsigned shift = 0;; shift += 7) {
    const auto b = static_cast<uint8_t>(*p++);
    v |= uint32_t{b & 0x7fu} << shift;
    if (b < 0x80) return p;
  }
}

// A record's parts: [size][sender][body].
struct Parts {
  uint32_t size;
  size_t size_width;
  UserId sender;
  const char* body;
};
Parts Decode(const char* rec) {
  Parts r{};
  const char* p = GetVarint(rec, r.size);
  r.size_width = static_cast<size_t>(p - rec);
  r.body = GetVarint(p, r.sender);
  return r;
}

}  // namespace

// ---- Arena -------------------------------------------------------------------

char* MessageStorage::Arena::At(uint32_t offset) const {
  return chunks_[offset >> kChunkShift].get() + (offset & (kChunkSize - 1));
}

size_t MessageStorage::Arena::Used() const {
  return chunks_.empty() ? 0 : (chunks_.size() - 1) * kChunkSize + tail_used_;
}

size_t MessageStorage::Arena::Allocated() const {
  return chunks_.size() <= 1 ? first_cap_ : first_cap_ + (chunks_.size() - 1) * kChunkBytes;
}

uint32_t MessageStorage::Arena::Write(UserId sender, std::string_view body) {
  static_assert(kMaxChatArenaBytes <= kNoOffset, "an offset could be taken for kNoOffset");
  const auto size = static_cast<uint32_t>(body.size());
  const size_t size_width = VarintBytes(size);
  const size_t need = size_width + VarintBytes(sender) + body.size();
  if (chunks_.empty()) {
    first_cap_ = std::max(kFirstChunkMin, std::bit_ceil(need));
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(first_cap_));
    tail_used_ = 0;
  } else if (chunks_.size() == 1 && tail_used_ + need > first_cap_ && first_cap_ < kChunkBytes) {
    // Grow the first chunk in place of a new one, so small chats stay small.
    size_t cap = first_cap_;
    while (cap < tail_used_ + need && cap < kChunkSize) cap *= 2;
    cap = std::min(cap, kChunkBytes);
    auto bigger = std::make_unique_for_overwrite<char[]>(cap);
    std::memcpy(bigger.get(), chunks_[0].get(), tail_used_);
    chunks_[0] = std::move(bigger);
    first_cap_ = cap;
  }
  const size_t cap = chunks_.size() == 1 ? first_cap_ : kChunkBytes;
  if (tail_used_ + need > cap) {
    if ((chunks_.size() + 1) * kChunkSize > kMaxChatArenaBytes) return kNoOffset;
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(kChunkBytes));
    tail_used_ = 0;
  }
  const uint32_t offset = static_cast<uint32_t>(((chunks_.size() - 1) << kChunkShift) | tail_used_);
  char* rec = chunks_.back().get() + tail_used_;
  rec = PutVarint(rec, size, size_width);
  rec = PutVarint(rec, sender, VarintBytes(sender));
  if (!body.empty()) std::memcpy(rec, body.data(), body.size());
  tail_used_ += need;
  return offset;
}

// ---- MessageStorage ------------------------------------------------------------

MessageStorage::MessageStorage(uint32_t chat_number, ChangeSink* sink) : chat_number_(chat_number), sink_(sink) {}

MessageStorage::~MessageStorage() { MemoryBudget::Get().ChargeStore(-static_cast<int64_t>(charged_)); }

MessageStorage::Record MessageStorage::ReadRecord(const char* rec) {
  const Parts r = Decode(rec);
  return {r.sender, {r.body, r.size}};
}

const char* MessageStorage::FindActive(MessageId id) const {
  if (id < 0 || ChatNumberOf(id) != chat_number_) return nullptr;
  const uint32_t pos = PositionOf(id);
  if (pos >= count() || Marked(pos)) return nullptr;
  return arena_.At(offsets_.Load(pos));
}

void MessageStorage::AddPosition(uint32_t offset) {
  const size_t pos = count();
  if (pos % 32 == 0) marks_.PushBack(0);
  if (offset != Arena::kNoOffset) {
    offsets_.PushBack(offset);
    ++active_;
  } else {
    // A deleted message has no record; any offset near the others keeps
    // its group's distances short.
    offsets_.PushBack(static_cast<uint32_t>(arena_.Used()));
    Mark(pos);
  }
  count_.store(pos + 1, std::memory_order_release);
}

size_t MessageStorage::bytes() const {
  std::shared_lock lk(mu_);
  return arena_.Allocated() + offsets_.Bytes() + marks_.Bytes() + deleted_log_.Bytes();
}

void MessageStorage::ChargeBudget() {
  const size_t now = arena_.Allocated() + offsets_.Bytes() + marks_.Bytes() + deleted_log_.Bytes();
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
  OffsetIndex offsets;
  const size_t n = count();
  for (size_t pos = 0; pos < n; ++pos) {
    if (Marked(pos)) {
      offsets.PushBack(static_cast<uint32_t>(fresh.Used()));
      continue;
    }
    const char* rec = arena_.At(offsets_.Load(pos));
    // The live records fitted the old arena; they fit a new one.
    const Record r = ReadRecord(rec);
    offsets.PushBack(fresh.Write(r.sender, r.body));
  }
  arena_ = std::move(fresh);
  offsets_ = std::move(offsets);
  garbage_ = 0;
}

std::optional<MessageId> MessageStorage::addTextMessage(UserId sender, std::string_view body) {
  if (body.size() > static_cast<size_t>(kMaxPayload)) return std::nullopt;
  auto lk = LockExclusive(mu_);
  if (!lk) return std::nullopt;
  if (count() >= 0xffffffffu) return std::nullopt;
  uint32_t offset = arena_.Write(sender, body);
  if (offset == Arena::kNoOffset && garbage_ > 0) {  // full of dead space: reclaim it first
    Compact();
    offset = arena_.Write(sender, body);
  }
  if (offset == Arena::kNoOffset) return std::nullopt;
  AddPosition(offset);
  ChargeBudget();
  const MessageId id = MakeMessageId(chat_number_, static_cast<uint32_t>(count() - 1));
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
  const Parts old = Decode(rec);
  const size_t old_size = old.size;
  const auto header = static_cast<size_t>(old.body - rec);
  if (body.size() <= old_size) {
    // The size keeps its width, so the sender and the body stay where they are.
    char* at = rec + header;
    if (!body.empty()) std::memmove(at, body.data(), body.size());
    std::memset(at + body.size(), 0, old_size - body.size());
    PutVarint(rec, static_cast<uint32_t>(body.size()), old.size_width);
    AddGarbage(old_size - body.size());
    ChargeBudget();
    ok = true;
    return;
  }
  uint32_t offset = arena_.Write(sender, body);
  if (offset == Arena::kNoOffset) {
    if (garbage_ == 0) return;
    Compact();
    offset = arena_.Write(sender, body);
    if (offset == Arena::kNoOffset) return;
  }
  // Writing may have moved the first chunk: find the old record again.
  rec = arena_.At(offsets_.Load(pos));
  std::memset(rec + header, 0, old_size);
  offsets_.Store(pos, offset);
  AddGarbage(header + old_size);
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
  const Parts r = Decode(rec);
  const auto header = static_cast<size_t>(r.body - rec);
  std::memset(rec + header, 0, r.size);  // a deleted body does not linger
  // An open listing must learn of the deletion before it can see the mark.
  if (open_listings_.load(std::memory_order_acquire) > 0) deleted_log_.PushBack(pos);
  else if (deleted_log_.size() > 0) deleted_log_.Clear();
  Mark(pos);
  --active_;
  AddGarbage(header + r.size);
  ChargeBudget();
}

bool MessageStorage::restoreMessage(MessageId id, UserId sender, std::string_view body, bool deleted) {
  if (ChatNumberOf(id) != chat_number_ || body.size() > static_cast<size_t>(kMaxPayload)) return false;
  std::unique_lock lk(mu_);
  const size_t pos = PositionOf(id);
  if (pos < count()) return true;
  if (pos > count()) return false;
  if (deleted) {
    AddPosition(Arena::kNoOffset);
  } else {
    const uint32_t offset = arena_.Write(sender, body);
    if (offset == Arena::kNoOffset) return false;
    AddPosition(offset);
  }
  ChargeBudget();
  return true;
}

bool MessageStorage::restoreEdit(MessageId id, std::string_view body) {
  if (ChatNumberOf(id) != chat_number_ || PositionOf(id) >= count() ||
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
  if (ChatNumberOf(id) != chat_number_ || PositionOf(id) >= count()) return false;
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
      end_(s.count()),
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
  thread_local std::vector<uint32_t> words;
  const size_t w0 = first / 32;
  words.resize((stop + 31) / 32 - w0);
  const uint32_t any_marked = first == stop ? 0 : s_.marks_.LoadRange(w0, w0 + words.size(), words.data());
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
      const bool marked = (words[pos / 32 - w0] >> (pos % 32)) & 1u;
      if (marked && deleted_since_.count(static_cast<uint32_t>(pos)) == 0) continue;
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
