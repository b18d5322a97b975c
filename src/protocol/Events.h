// The request protocol: the request base type, the field codec, the reply
// encoders and the request kinds.
//
// A request is decoded from one frame's payload on the network thread
// (DecodeRequest), stamped with its connection, and run once (Process),
// either right there or, queued, by an event thread. Process encodes its
// reply frames into the output bound with SetOutput; that output goes to the
// connection in order, so the frames of one reply are never split or
// interleaved with another reply's. A long listing is bound as a stream (see
// ReplyBuffer) and encoded as the connection's socket drains.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/Reply.h"
#include "protocol/Wire.h"
#include "store/Message.h"

namespace parley {

class Connection;
class ResourceManager;

using wire::EVENTS_ID;
using wire::EV_CREATECHAT;
using wire::EV_DELETEMSG;
using wire::EV_EDITMSG;
using wire::EV_FORWARDMSG;
using wire::EV_GETCHAT;
using wire::EV_GETMSG;
using wire::EV_JOINCHAT;
using wire::EV_REGISTER;
using wire::EV_SENGMSG;
using wire::EV_HISTORY;
using wire::EV_SUBSCRIBE;
using wire::EV_UNSUBSCRIBE;
using wire::EV_REGISTER_SECRET;
using wire::EV_LOGIN;
using wire::EV_CHANGE_SECRET;

// ---- Field codec -----------------------------------------------------------
// Each decoder reads one field at `pos`, where `remaining` bytes belong to the
// payload, and returns the value and the bytes consumed. On failure the
// consumed count is kDecodeFail and the value is empty. No decoder reads
// outside [pos, pos + remaining), whatever the lengths on the wire claim.
inline constexpr size_t kDecodeFail = static_cast<size_t>(-1);

// A string: 8-byte length L, then L bytes. The view points into the payload.
std::pair<std::string_view, size_t> ExtractString(const char* pos, size_t remaining);
// An integer: 8 bytes, unsigned.
std::pair<size_t, size_t> ExtractInt(const char* pos, size_t remaining);
// An array: 8-byte count N, then N 8-byte elements.
std::pair<std::vector<size_t>, size_t> ExtractArr(const char* pos, size_t remaining);

// A name as requests use it: the decoded string up to its first zero byte.
inline std::string_view CutAtZero(std::string_view s) {
  const void* zero = s.empty() ? nullptr : std::memchr(s.data(), 0, s.size());
  return zero == nullptr ? s : std::string_view(s.data(), static_cast<size_t>(static_cast<const char*>(zero) - s.data()));
}

// ---- Requests --------------------------------------------------------------

// The base of every request kind. Owned through std::shared_ptr from decoding
// until its event thread lets go of it after Process. Stamped (type,
// descriptor, connection) on the network thread before it is queued, then
// read-only except for the output binding, which only its event thread uses.
class Event {
 public:
  Event() = default;
  virtual ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void SetType(uint64_t code) { type = code; }
  void SetFd(int sock) { fd = sock; }
  void SetConnection(std::shared_ptr<Connection> conn) {
    connection = std::move(conn);
    borrowed = nullptr;
  }
  // A request run on the spot, while the caller holds `conn` for it, may
  // borrow its connection instead: no reference is taken (a locked add and a
  // locked subtract saved per request). Before it leaves the caller (queued,
  // parked, run alone) it must own it: OwnConnection.
  void BorrowConnection(const std::shared_ptr<Connection>& conn) { borrowed = &conn; }
  void OwnConnection() {
    if (borrowed != nullptr) connection = *std::exchange(borrowed, nullptr);
  }
  // When its frame was read (metrics::NowNs; 0: not stamped), for its latency.
  void SetReceived(int64_t ns) { received_ns = ns; }
  int64_t Received() const { return received_ns; }
  uint64_t GetType() const { return type; }
  int GetFd() const { return fd; }
  const std::shared_ptr<Connection>& GetConnection() const { return borrowed != nullptr ? *borrowed : connection; }

  // Where Process encodes its reply frames (appended). Without a binding the
  // replies are discarded. Bound to a plain string, every reply is encoded
  // at once; bound to a ReplyBuffer, a long listing becomes a stream.
  void SetOutput(std::string* buffer) {
    out = buffer;
    replies = nullptr;
  }
  void SetOutput(ReplyBuffer* buffer) {
    out = nullptr;
    replies = buffer;
  }

  // Runs the request if the access rules allow it (see Access), and answers
  // "no" if not. Returns true exactly when the status reply was "ok".
  bool Run(ResourceManager* rm);
  // Runs the request against the store and encodes its reply. Returns true
  // exactly when the status reply was "ok". The base does nothing.
  virtual bool Process(ResourceManager* rm);

  // ---- What the access rules look at (see Access) ----
  // The user the request acts as, when it names one.
  virtual std::string_view Actor() const { return {}; }
  // The chat it reads without naming a user (fetch, list, history).
  virtual std::string_view ReadsChat() const { return {}; }
  // What it adds that a per-address quota counts.
  enum class Adds : uint8_t { kNothing, kAccount, kChat };
  virtual Adds Creates() const { return Adds::kNothing; }
  // True for the requests that hash secrets: they run on the SecretPool,
  // alone on their connection (see QueueManager).
  virtual bool RunsAlone() const { return false; }
  // The earliest time it may run (a throttled log-in waits); the past: now.
  virtual std::chrono::steady_clock::time_point NotBefore() const { return {}; }

  // False for requests that only read the store: when their client is gone
  // they need not run at all.
  virtual bool ChangesStore() const { return true; }
  // True when, with a journal, the reply waits until everything recorded
  // before it is durable (see DurableGate): every change, and the reads
  // that report what subscribers will be told.
  virtual bool HeldForJournal() const { return ChangesStore(); }

 protected:
  // A data reply: the frame length, the type code, then `size` bytes of
  // `content` as one string field.
  void SendData(const char* content, int size);
  // The status reply "ok" or "no"; returns `ok`.
  bool SendStatus(bool ok);
  // An identifier list reply: count, then the ids.
  void SendVector(const std::vector<MessageId>& msg);
  // A message reply: the sender's name, then the body, as two strings.
  void SendMessage(const MessageView& msg);
  // Where encoded bytes go now; null when unbound.
  std::string* Output() { return replies != nullptr ? &replies->Bytes() : out; }
  // A reply made as it is sent; made at once when the output is a plain string.
  void SendStream(std::unique_ptr<ReplyStream> stream);
  // Events of `chat` may follow the replies encoded so far (see ReplyBuffer::activate).
  void ActivateAfterReply(uint32_t chat) {
    if (replies != nullptr) replies->activate.push_back(chat);
  }

 private:
  uint64_t type = 0;
  int fd = -1;
  int64_t received_ns = 0;
  std::shared_ptr<Connection> connection;
  const std::shared_ptr<Connection>* borrowed = nullptr;
  std::string* out = nullptr;
  ReplyBuffer* replies = nullptr;
};

// Decodes one payload (type code first) into its request, with its type
// stamped. A request's name and body fields view a copy of their bytes made
// in the same allocation as the request (the kinds with secrets excepted:
// they own strings, wiped when they go). Empty when the payload is shorter than a type code, the code is
// not a request kind (above 14), or the body does not decode.
std::shared_ptr<Event> DecodeRequest(const char* data, size_t len);
// The name a registration payload would register (as its request would see
// it); empty for any other payload. Decodes nothing else and allocates
// nothing: for looking ahead at requests not yet decoded.
std::string_view RegisteredName(const char* data, size_t len);

class RegisterAccount : public Event {
 public:
  explicit RegisterAccount(std::string_view user) : username(user) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view Actor() const override { return username; }
  Adds Creates() const override { return Adds::kAccount; }
  const std::string_view username;
};

class CreateChat : public Event {
 public:
  CreateChat(std::string_view user, std::string_view chat) : username(user), chatname(chat) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view Actor() const override { return username; }
  Adds Creates() const override { return Adds::kChat; }
  const std::string_view username;
  const std::string_view chatname;
};

class JoinChat : public Event {
 public:
  JoinChat(std::string_view user, std::string_view chat) : username(user), chatname(chat) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view Actor() const override { return username; }
  const std::string_view username;
  const std::string_view chatname;
};

class SendMsg : public Event {
 public:
  SendMsg(std::string_view user, std::string_view chat, std::string_view body)
      : username(user), chatname(chat), data(body) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view Actor() const override { return username; }
  const std::string_view username;
  const std::string_view chatname;
  const std::string_view data;  // the body, zero bytes included
};

class EditMsg : public Event {
 public:
  EditMsg(std::string_view user, std::string_view chat, MessageId msg_id, std::string_view body)
      : username(user), chatname(chat), data(body), id(msg_id) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view Actor() const override { return username; }
  const std::string_view username;
  const std::string_view chatname;
  const std::string_view data;
  const MessageId id;
};

class DeleteMsg : public Event {
 public:
  DeleteMsg(std::string_view user, std::string_view chat, MessageId msg_id)
      : username(user), chatname(chat), id(msg_id) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view Actor() const override { return username; }
  const std::string_view username;
  const std::string_view chatname;
  const MessageId id;
};

class ForwardMsg : public Event {
 public:
  ForwardMsg(std::string_view user, std::string_view chat, std::string_view to, MessageId msg_id)
      : username(user), chatname(chat), newchat(to), id(msg_id) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view Actor() const override { return username; }
  std::string_view ReadsChat() const override { return chatname; }  // the copy reveals the source
  const std::string_view username;
  const std::string_view chatname;  // the chat holding the message
  const std::string_view newchat;   // the chat to copy it into
  const MessageId id;
};

class GetChatMsg : public Event {
 public:
  GetChatMsg(std::string_view chat, MessageId msg_id) : chatname(chat), id(msg_id) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view ReadsChat() const override { return chatname; }
  bool ChangesStore() const override { return false; }
  const std::string_view chatname;
  const MessageId id;
};

class GetChat : public Event {
 public:
  explicit GetChat(std::string_view chat) : chatname(chat) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view ReadsChat() const override { return chatname; }
  bool ChangesStore() const override { return false; }
  const std::string_view chatname;
};

// Subscribe and unsubscribe: this connection follows a chat's changes, as
// pushed events, or stops. Only a member may; the subscribe reply carries
// the chat's last id (see docs/protocol.md).
class Subscribe : public Event {
 public:
  Subscribe(std::string_view user, std::string_view chat) : username(user), chatname(chat) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view Actor() const override { return username; }
  bool ChangesStore() const override { return false; }
  bool HeldForJournal() const override { return true; }
  const std::string_view username;
  const std::string_view chatname;
};

class Unsubscribe : public Event {
 public:
  Unsubscribe(std::string_view user, std::string_view chat) : username(user), chatname(chat) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view Actor() const override { return username; }
  bool ChangesStore() const override { return false; }
  const std::string_view username;
  const std::string_view chatname;
};

// A page of a chat's messages after a given id, deleted ones included.
class History : public Event {
 public:
  History(std::string_view chat, MessageId from, uint64_t most) : chatname(chat), after(from), max(most) {}
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view ReadsChat() const override { return chatname; }
  bool ChangesStore() const override { return false; }
  bool HeldForJournal() const override { return true; }
  const std::string_view chatname;
  const MessageId after;
  const uint64_t max;
};

// ---- Accounts with secrets ----
// These hash secrets (tens of milliseconds each): they run on the SecretPool,
// each alone on its connection. Their copies of secrets are wiped when they
// are destroyed. A secret is 1 to wire::kMaxSecretBytes bytes, any bytes.

// Registers an account with its secret.
class RegisterWithSecret : public Event {
 public:
  RegisterWithSecret(std::string_view user, std::string_view pass) : username(user), secret(pass) {}
  ~RegisterWithSecret() override;
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view Actor() const override { return username; }
  Adds Creates() const override { return Adds::kAccount; }
  bool RunsAlone() const override { return true; }
  const std::string username;
  std::string secret;
};

// Binds the connection to the account when the secret is its own. Failures
// delay the next attempt (see LoginThrottle).
class LogIn : public Event {
 public:
  LogIn(std::string_view user, std::string_view pass) : username(user), secret(pass) {}
  ~LogIn() override;
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  bool ChangesStore() const override { return false; }
  std::string_view Actor() const override { return username; }
  bool RunsAlone() const override { return true; }
  std::chrono::steady_clock::time_point NotBefore() const override;
  const std::string username;
  std::string secret;
};

// Replaces an account's secret, given the current one (a wrong one counts as
// a failed log-in). Accounts made without a secret cannot get one.
class ChangeSecret : public Event {
 public:
  ChangeSecret(std::string_view user, std::string_view old_pass, std::string_view new_pass)
      : username(user), old_secret(old_pass), new_secret(new_pass) {}
  ~ChangeSecret() override;
  static std::shared_ptr<Event> GetFromBuf(const char* buf, size_t len);
  bool Process(ResourceManager* rm) override;
  std::string_view Actor() const override { return username; }
  bool RunsAlone() const override { return true; }
  std::chrono::steady_clock::time_point NotBefore() const override;
  const std::string username;
  std::string old_secret;
  std::string new_secret;
};

}  // namespace parley
