// Stored messages as readers see them.
//
// The store keeps message records packed in a per-chat arena (see
// MessageStorage). Readers never get a pointer into that arena that outlives
// the storage's lock: they get either a MessageView, valid only inside the
// callback that received it (the lock is held), or a Message, a consistent
// copy of sender, size and body that the caller owns.
#pragma once

#include <string>
#include <string_view>

namespace parley {

// Message ids are opaque to clients. This server makes them from the chat's
// number (high 32 bits) and the message's position in its chat (low 32
// bits): unique for the life of the process, never reused, stable across
// edits, never negative, and they lead to the message without an index.
using MessageId = long long;

inline constexpr MessageId MakeMessageId(uint32_t chat_number, uint32_t position) {
  return static_cast<MessageId>((static_cast<uint64_t>(chat_number) << 32) | position);
}
inline constexpr uint32_t ChatNumberOf(MessageId id) {
  return static_cast<uint32_t>(static_cast<uint64_t>(id) >> 32);
}
inline constexpr uint32_t PositionOf(MessageId id) {
  return static_cast<uint32_t>(static_cast<uint64_t>(id) & 0xffffffffu);
}

// A borrowed view of one active message; valid only while the storage's lock
// is held, i.e. inside the callback that receives it.
struct MessageView {
  MessageId id;
  std::string_view sender;
  std::string_view body;
};

// An owned, consistent copy of one active message.
class Message {
 public:
  Message() = default;
  Message(MessageId id, std::string_view sender, std::string_view body)
      : id_(id), sender_(sender), body_(body) {}
  explicit Message(const MessageView& v) : Message(v.id, v.sender, v.body) {}

  MessageId getId() const { return id_; }
  const std::string& getSender() const { return sender_; }
  // The body bytes; may hold zero bytes, not terminated.
  const std::string& getBody() const { return body_; }
  int getSize() const { return static_cast<int>(body_.size()); }
  // True when `username` is the sender (exact byte equality).
  bool isBelong(std::string_view username) const { return sender_ == username; }

 private:
  MessageId id_ = -1;
  std::string sender_;
  std::string body_;
};

}  // namespace parley
