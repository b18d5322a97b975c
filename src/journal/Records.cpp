#include "journal/Records.h"

#include <cstring>

#include "protocol/Wire.h"

namespace parley {

namespace {

using Kind = Change::Kind;

// Reads fixed-size fields from the front of a payload.
class Reader {
 public:
  explicit Reader(std::string_view p) : p_(p) {}
  bool U32(uint32_t& v) { return Take(&v, sizeof v); }
  bool U64(uint64_t& v) { return Take(&v, sizeof v); }
  std::string_view Rest() const { return p_; }
  bool Done() const { return p_.empty(); }

 private:
  bool Take(void* v, size_t n) {
    if (p_.size() < n) return false;
    std::memcpy(v, p_.data(), n);
    p_.remove_prefix(n);
    return true;
  }
  std::string_view p_;
};

}  // namespace

namespace {

char* Store32(char* p, uint32_t v) {
  wire::StoreU32(p, v);
  return p + 4;
}
char* Store64(char* p, uint64_t v) {
  wire::StoreU64(p, v);
  return p + 8;
}
char* StoreText(char* p, std::string_view t) {
  if (!t.empty()) std::memcpy(p, t.data(), t.size());
  return p + t.size();
}

}  // namespace

// The kind byte and fixed fields go to a small buffer first, so that `out`
// is resized once per change and written in place, however many fields it has.
void EncodeChange(const Change& c, std::string& out, size_t header) {
  char fixed[1 + 8 + 4];
  char* f = fixed;
  *f++ = static_cast<char>(c.kind);
  std::string_view first, second;  // the variable parts, in this order
  switch (c.kind) {
    case Kind::kUser:
      f = Store32(f, c.user);
      first = c.text;
      break;
    case Kind::kChat:
      f = Store32(Store32(f, c.chat), c.user);
      first = c.text;
      break;
    case Kind::kJoin:
      f = Store32(Store32(f, c.chat), c.user);
      break;
    case Kind::kMessage:
      f = Store32(Store64(f, static_cast<uint64_t>(c.id)), c.user);
      first = c.text;
      break;
    case Kind::kEdit:
      f = Store64(f, static_cast<uint64_t>(c.id));
      first = c.text;
      break;
    case Kind::kDelete:
    case Kind::kTombstone:
      f = Store64(f, static_cast<uint64_t>(c.id));
      break;
    case Kind::kSecret:
      f = Store32(f, c.user);
      first = c.secret;
      break;
    case Kind::kSecretUser:
      f = Store32(Store32(f, c.user), static_cast<uint32_t>(c.text.size()));
      first = c.text;
      second = c.secret;
      break;
  }
  const auto fixed_size = static_cast<size_t>(f - fixed);
  const size_t at = out.size();
  out.resize(at + header + fixed_size + first.size() + second.size());
  char* p = out.data() + at + header;
  std::memcpy(p, fixed, fixed_size);
  StoreText(StoreText(p + fixed_size, first), second);
}

std::optional<Change> DecodeChange(std::string_view payload) {
  if (payload.empty()) return std::nullopt;
  Change c;
  c.kind = static_cast<Kind>(static_cast<uint8_t>(payload[0]));
  Reader r(payload.substr(1));
  uint64_t id = 0;
  bool ok = false;
  switch (c.kind) {
    case Kind::kUser:
      ok = r.U32(c.user);
      c.text = r.Rest();
      break;
    case Kind::kChat:
      ok = r.U32(c.chat) && r.U32(c.user);
      c.text = r.Rest();
      break;
    case Kind::kJoin:
      ok = r.U32(c.chat) && r.U32(c.user) && r.Done();
      break;
    case Kind::kMessage:
      ok = r.U64(id) && r.U32(c.user);
      c.text = r.Rest();
      break;
    case Kind::kEdit:
      ok = r.U64(id);
      c.text = r.Rest();
      break;
    case Kind::kDelete:
    case Kind::kTombstone:
      ok = r.U64(id) && r.Done();
      break;
    case Kind::kSecret:
      ok = r.U32(c.user) && !r.Done();
      c.secret = r.Rest();
      break;
    case Kind::kSecretUser: {
      uint32_t name_len = 0;
      ok = r.U32(c.user) && r.U32(name_len) && r.Rest().size() > name_len;
      if (ok) {
        c.text = r.Rest().substr(0, name_len);
        c.secret = r.Rest().substr(name_len);
      }
      break;
    }
    default:
      return std::nullopt;
  }
  if (!ok || id > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  c.id = static_cast<MessageId>(id);
  return c;
}

std::string EncodeEnd(uint64_t covered_seq, uint64_t records) {
  std::string out;
  out.push_back(static_cast<char>(kEndRecordKind));
  wire::PutU64(out, covered_seq);
  wire::PutU64(out, records);
  return out;
}

std::optional<std::pair<uint64_t, uint64_t>> DecodeEnd(std::string_view payload) {
  if (payload.empty() || static_cast<uint8_t>(payload[0]) != kEndRecordKind) return std::nullopt;
  Reader r(payload.substr(1));
  uint64_t covered = 0, records = 0;
  if (!r.U64(covered) || !r.U64(records) || !r.Done()) return std::nullopt;
  return std::make_pair(covered, records);
}

}  // namespace parley
