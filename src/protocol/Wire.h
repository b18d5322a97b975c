// Wire-level building blocks of the Parley protocol, shared by the server, the
// client library and the load generator.
//
// Every integer on the wire is little-endian and unaligned. A frame is a signed
// 32-bit payload length followed by the payload; a payload starts with the
// 8-byte request type code. Request fields are strings (8-byte length, bytes)
// and integers (8 bytes). See docs/protocol.md.
//
// Header-only and free of server state: safe to use from any thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parley::wire {

// Largest accepted payload, in bytes. A frame's length prefix must be in 1..kMaxPayload.
inline constexpr int32_t kMaxPayload = 3200;
// Size of the frame's length prefix.
inline constexpr size_t kLengthSize = 4;
// Size of the type code, of a string's length field and of an integer field.
inline constexpr size_t kWordSize = 8;
// A length prefix of -1 is skipped silently (it carries no payload).
inline constexpr int32_t kSkipLength = -1;

// The request type codes; replies echo the code of the request they answer.
enum EVENTS_ID : uint64_t {
  EV_REGISTER = 0,
  EV_CREATECHAT = 1,
  EV_JOINCHAT = 2,
  EV_SENGMSG = 3,
  EV_EDITMSG = 4,
  EV_DELETEMSG = 5,
  EV_FORWARDMSG = 6,
  EV_GETMSG = 7,
  EV_GETCHAT = 8,
  EV_SUBSCRIBE = 9,
  EV_UNSUBSCRIBE = 10,
  EV_HISTORY = 11,
  EV_REGISTER_SECRET = 12,  // user, secret: register an account that needs its secret
  EV_LOGIN = 13,            // user, secret: this connection acts as that user
  EV_CHANGE_SECRET = 14,    // user, old secret, new secret
};
inline constexpr uint64_t kLastEventId = EV_CHANGE_SECRET;

// Frames the server sends unasked, to a connection subscribed to a chat. Their
// type codes have the top bit set, which no request's (and so no reply's) has.
inline constexpr uint64_t kPushBit = uint64_t{1} << 63;
inline constexpr uint64_t PUSH_MESSAGE = kPushBit | 1;  // chat, id, sender, body
inline constexpr uint64_t PUSH_EDIT = kPushBit | 2;     // chat, id, body
inline constexpr uint64_t PUSH_DELETE = kPushBit | 3;   // chat, id
inline constexpr bool IsPush(uint64_t type) { return (type & kPushBit) != 0; }

// A secret is 1 to this many bytes, any bytes.
inline constexpr uint64_t kMaxSecretBytes = 1024;

// A history page: at most this many messages, whatever the request asks for.
inline constexpr uint64_t kHistoryMaxMessages = 1000;
// A history entry's flags.
inline constexpr uint64_t kHistoryDeleted = 1;
// The last-id field of a subscribe reply for a chat without messages, and the
// `after` of a history request that starts at the beginning.
inline constexpr int64_t kNoMessage = -1;

// Little-endian loads and stores of unaligned integers: one move on a
// little-endian host, the byte order spelled out on any other.
template <class T>
inline void StoreLE(char* p, T v) {
  if constexpr (std::endian::native != std::endian::little) {
    for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  } else {
    std::memcpy(p, &v, sizeof(T));
  }
}

template <class T>
inline T LoadLE(const char* p) {
  T v = 0;
  if constexpr (std::endian::native != std::endian::little) {
    for (size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | static_cast<unsigned char>(p[i]));
  } else {
    std::memcpy(&v, p, sizeof(T));
  }
  return v;
}

inline void StoreU32(char* p, uint32_t v) { StoreLE(p, v); }
inline void StoreU64(char* p, uint64_t v) { StoreLE(p, v); }
inline uint64_t LoadU64(const char* p) { return LoadLE<uint64_t>(p); }
inline int32_t LoadI32(const char* p) { return static_cast<int32_t>(LoadLE<uint32_t>(p)); }

inline void PutU32(std::string& out, uint32_t v) {
  char b[4];
  StoreU32(b, v);
  out.append(b, 4);
}

inline void PutU64(std::string& out, uint64_t v) {
  char b[8];
  StoreU64(b, v);
  out.append(b, 8);
}

// Appends one string field: its 8-byte length, then its bytes.
inline void PutString(std::string& out, std::string_view s) {
  PutU64(out, s.size());
  out.append(s.data(), s.size());
}

// Builds one frame at the end of `out`: Begin() reserves the length prefix and
// writes the type code, the field calls append, End() fills in the length.
class FrameBuilder {
 public:
  FrameBuilder(std::string& out, uint64_t type) : out_(out), start_(out.size()) {
    out_.append(kLengthSize, '\0');
    PutU64(out_, type);
  }
  FrameBuilder& String(std::string_view s) {
    PutString(out_, s);
    return *this;
  }
  FrameBuilder& Int(uint64_t v) {
    PutU64(out_, v);
    return *this;
  }
  // Writes the payload length into the reserved prefix. Returns the payload size.
  size_t End() {
    size_t payload = out_.size() - start_ - kLengthSize;
    StoreU32(out_.data() + start_, static_cast<uint32_t>(payload));
    return payload;
  }

 private:
  std::string& out_;
  size_t start_;
};

// One reply frame as a client sees it.
struct ReplyFrame {
  uint64_t type = 0;
  std::string_view body;  // everything after the type code
};

// Splits the next complete frame off the front of `buf`. Returns the frame and
// the bytes it occupies, or nothing when `buf` does not yet hold a whole frame.
// A frame whose length is below 8 or negative cannot carry a type code; it is
// reported with `ok == false` so the caller can treat the stream as corrupt.
struct FrameSplit {
  bool complete = false;  // a whole frame is present
  bool ok = false;        // its length is sane (>= 8)
  ReplyFrame frame;
  size_t consumed = 0;
};
inline FrameSplit SplitFrame(std::string_view buf) {
  FrameSplit r;
  if (buf.size() < kLengthSize) return r;
  int32_t len = LoadI32(buf.data());
  if (len < static_cast<int32_t>(kWordSize)) {
    r.complete = true;
    return r;
  }
  size_t need = kLengthSize + static_cast<size_t>(len);
  if (buf.size() < need) return r;
  r.complete = true;
  r.ok = true;
  r.frame.type = LoadU64(buf.data() + kLengthSize);
  r.frame.body = buf.substr(kLengthSize + kWordSize, static_cast<size_t>(len) - kWordSize);
  r.consumed = need;
  return r;
}

// Reads a reply body made of length-prefixed strings and counted arrays.
// Every read checks the bounds; a failed read leaves the reader failed.
class BodyReader {
 public:
  explicit BodyReader(std::string_view body) : rest_(body) {}
  std::optional<std::string_view> String() {
    if (rest_.size() < kWordSize) return std::nullopt;
    uint64_t n = LoadU64(rest_.data());
    if (n > rest_.size() - kWordSize) return std::nullopt;
    std::string_view s = rest_.substr(kWordSize, static_cast<size_t>(n));
    rest_.remove_prefix(kWordSize + static_cast<size_t>(n));
    return s;
  }
  std::optional<uint64_t> Int() {
    if (rest_.size() < kWordSize) return std::nullopt;
    uint64_t v = LoadU64(rest_.data());
    rest_.remove_prefix(kWordSize);
    return v;
  }
  std::optional<std::vector<int64_t>> IdList() {
    if (rest_.size() < kWordSize) return std::nullopt;
    uint64_t n = LoadU64(rest_.data());
    if (n > (rest_.size() - kWordSize) / kWordSize) return std::nullopt;
    std::vector<int64_t> ids;
    ids.reserve(static_cast<size_t>(n));
    for (uint64_t i = 0; i < n; ++i)
      ids.push_back(static_cast<int64_t>(LoadU64(rest_.data() + kWordSize * (i + 1))));
    rest_.remove_prefix(kWordSize * (static_cast<size_t>(n) + 1));
    return ids;
  }
  bool AtEnd() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

}  // namespace parley::wire
