#include "journal/Records.h"

#include <cstring>

#include "protocol/Wire.h"

namespace parley {

namespace {

using Kind = Change::Kind;

void PutU8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }

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

void EncodeChange(const Change& c, std::string& out) {
  PutU8(out, static_cast<uint8_t>(c.kind));
  switch (c.kind) {
    case Kind::kUser:
      wire::PutU32(out, c.user);
      out.append(c.text);
      break;
    case Kind::kChat:
      wire::PutU32(out, c.chat);
      wire::PutU32(out, c.user);
      out.append(c.text);
      break;
    case Kind::kJoin:
      wire::PutU32(out, c.chat);
      wire::PutU32(out, c.user);
      break;
    case Kind::kMessage:
      wire::PutU64(out, static_cast<uint64_t>(c.id));
      wire::PutU32(out, c.user);
      out.append(c.text);
      break;
    case Kind::kEdit:
      wire::PutU64(out, static_cast<uint64_t>(c.id));
      out.append(c.text);
      break;
    case Kind::kDelete:
    case Kind::kTombstone:
      wire::PutU64(out, static_cast<uint64_t>(c.id));
      break;
    case Kind::kSecret:
      wire::PutU32(out, c.user);
      out.append(c.secret);
      break;
    case Kind::kSecretUser:
      wire::PutU32(out, c.user);
      wire::PutU32(out, static_cast<uint32_t>(c.text.size()));
      out.append(c.text);
      out.append(c.secret);
      break;
  }
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
  PutU8(out, kEndRecordKind);
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
