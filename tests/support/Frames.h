// Whole request and reply frames, built field by field from the wire rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "protocol/Wire.h"

namespace parley::test {

// Bytes put into a frame as they are, without a length field.
struct RawBytes {
  std::string_view bytes;
};

// A frame of `type`: integers as 8 bytes, RawBytes as they are, anything else as a string.
template <class... Fields>
std::string BuildFrame(uint64_t type, const Fields&... fields) {
  std::string f;
  wire::FrameBuilder b(f, type);
  auto put = [&](const auto& v) {
    using T = std::decay_t<decltype(v)>;
    if constexpr (std::is_integral_v<T>) b.Int(static_cast<uint64_t>(v));
    else if constexpr (std::is_same_v<T, RawBytes>) f.append(v.bytes);
    else b.String(v);
  };
  (void)put;  // unused for a frame without fields
  (put(fields), ...);
  b.End();
  return f;
}

using std::string_view;
inline std::string Register(string_view user) { return BuildFrame(wire::EV_REGISTER, user); }
inline std::string CreateChatReq(string_view user, string_view chat) { return BuildFrame(wire::EV_CREATECHAT, user, chat); }
inline std::string JoinChatReq(string_view user, string_view chat) { return BuildFrame(wire::EV_JOINCHAT, user, chat); }
inline std::string SendReq(string_view user, string_view chat, string_view body) {
  return BuildFrame(wire::EV_SENGMSG, user, chat, body);
}
inline std::string EditReq(string_view user, string_view chat, int64_t id, string_view body) {
  return BuildFrame(wire::EV_EDITMSG, user, chat, id, body);
}
inline std::string DeleteReq(string_view user, string_view chat, int64_t id) {
  return BuildFrame(wire::EV_DELETEMSG, user, chat, id);
}
inline std::string ForwardReq(string_view user, string_view from, string_view to, int64_t id) {
  return BuildFrame(wire::EV_FORWARDMSG, user, from, to, id);
}
inline std::string GetMsgReq(string_view chat, int64_t id) { return BuildFrame(wire::EV_GETMSG, chat, id); }
inline std::string GetChatReq(string_view chat) { return BuildFrame(wire::EV_GETCHAT, chat); }

// A length prefix alone, and a frame around an arbitrary payload.
inline std::string Prefix(int32_t len) {
  std::string f;
  wire::PutU32(f, static_cast<uint32_t>(len));
  return f;
}
inline std::string RawFrame(string_view payload) { return Prefix(static_cast<int32_t>(payload.size())) + std::string(payload); }

// The status "ok" or "no" answering a request of `type` (22 bytes).
inline std::string StatusFrame(uint64_t type, bool ok) { return BuildFrame(type, ok ? "ok" : "no"); }
// The "ok" answering each of the request frames in `requests`, in order.
inline std::string OksFor(std::string_view requests) {
  std::string replies;
  for (size_t at = 0; at + wire::kLengthSize + wire::kWordSize <= requests.size();
       at += wire::kLengthSize + static_cast<size_t>(wire::LoadI32(requests.data() + at)))
    replies += StatusFrame(wire::LoadU64(requests.data() + at + wire::kLengthSize), true);
  return replies;
}
// The data frame after an "ok" to a list: the count, then the ids.
inline std::string ListFrame(const std::vector<int64_t>& ids) {
  std::string f;
  wire::FrameBuilder b(f, wire::EV_GETCHAT);
  b.Int(ids.size());
  for (int64_t id : ids) b.Int(static_cast<uint64_t>(id));
  b.End();
  return f;
}
// The data frame after an "ok" to a fetch: the sender, then the body.
inline std::string MessageFrame(string_view sender, string_view body) { return BuildFrame(wire::EV_GETMSG, sender, body); }

}  // namespace parley::test
