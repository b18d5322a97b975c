// Client library for the Parley chat server.
//
// A `Client` holds one TCP connection to a server and speaks its binary
// request protocol: one typed call per request kind, each returning a
// `Result` with the outcome and the data, plus a pipelined mode that queues
// many requests, sends them in one go and then reads their replies in order.
// A connection subscribed to chats also receives pushed events; they are
// kept in arrival order, also while a reply is awaited, and read with
// `NextEvent`.
//
// The connection may be encrypted with TLS (see TlsOptions and set_tls);
// the protocol inside is the same.
//
// Every wait is bounded: connecting (and the TLS handshake) by the timeout given to `Connect`, every
// write and every reply by the client's I/O timeout (`set_timeout`). Every
// length in a reply is checked before it is used; a reply that does not have
// the exact shape the protocol prescribes is reported as `kMalformed`, never
// trusted.
//
// Thread-safety: a Client is used by one thread at a time. Distinct Clients
// share nothing and may be used from different threads at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// OpenSSL's types, kept out of this header.
struct ssl_st;
struct ssl_ctx_st;

namespace parley {

// A message identifier: an opaque value handed out by the server in chat
// listings and sent back to edit, delete, forward or fetch a message.
using MessageId = int64_t;

// The largest request payload the server accepts, in bytes (the frame's
// length prefix not included). A request that would exceed it is not sent.
inline constexpr size_t kMaxRequestPayload = 3200;

// The default port of the server.
inline constexpr uint16_t kDefaultPort = 8080;

// The request kinds; the values are the protocol's type codes.
enum class RequestKind : uint64_t {
  kRegister = 0,
  kCreateChat = 1,
  kJoinChat = 2,
  kSend = 3,
  kEdit = 4,
  kDelete = 5,
  kForward = 6,
  kFetch = 7,
  kList = 8,
  kSubscribe = 9,
  kUnsubscribe = 10,
  kHistory = 11,
  kRegisterSecret = 12,
  kLogin = 13,
  kChangeSecret = 14,
};
// "register", "create", "join", "send", "edit", "delete", "forward", "fetch",
// "list", "subscribe", "unsubscribe", "history", "register-secret", "login",
// "change-secret".
const char* ToString(RequestKind kind);

// How a call ended.
enum class Status {
  kOk,              // the server answered "ok" (and sent the data, for list and fetch)
  kRefused,         // the server answered "no"; the connection stays usable
  kConnectionLost,  // could not connect, not connected, or the connection broke
  kTimeout,         // no complete reply (or no write progress) within the timeout
  kMalformed,       // the reply does not have the shape the protocol prescribes
  kBadRequest,      // nothing was sent: the request is too large, or replies to
                    // queued requests are still unread; the connection stays usable
};
// "ok", "refused", "connection lost", "timeout", "malformed reply", "bad request".
const char* ToString(Status status);

// The outcome of a call. `value` is meaningful only when `ok()`; `error`
// describes what went wrong for the statuses other than kOk and kRefused.
//
// After kConnectionLost, kTimeout or kMalformed the client has closed its
// connection (the position in the reply stream is unknown), dropping any
// queued or unread requests; call `Connect` again to go on.
template <typename T = std::monostate>
struct Result {
  Status status = Status::kConnectionLost;
  T value{};
  std::string error;

  bool ok() const { return status == Status::kOk; }
  explicit operator bool() const { return ok(); }
};

// The last-id of a subscription to a chat without messages, and the `after`
// of a history page that starts at the chat's first message.
inline constexpr MessageId kNoMessage = -1;
// The most messages one history page holds, whatever is asked for.
inline constexpr uint64_t kHistoryMaxMessages = 1000;
// A secret is 1 to this many bytes, any bytes (zero bytes included).
inline constexpr size_t kMaxSecretBytes = 1024;

// A fetched message. The server does not send the identifier back.
struct Message {
  std::string sender;
  std::string body;  // any bytes, zero bytes included
};

// One message of a history page. A deleted message keeps its place, with an
// empty sender and body.
struct HistoryEntry {
  MessageId id = kNoMessage;
  bool deleted = false;
  std::string sender;
  std::string body;
};

// Consecutive messages of a chat, oldest first. `more` is true when the chat
// holds messages after the last one of `entries`.
struct HistoryPage {
  std::vector<HistoryEntry> entries;
  bool more = false;
};

// What a pushed event reports.
enum class EventKind {
  kMessage,  // a new message: sent, or forwarded into the chat (then from the forwarder)
  kEdit,     // message `id` has the new body `body`
  kDelete,   // message `id` was deleted
};
// "message", "edit", "delete".
const char* ToString(EventKind kind);

// A change of a subscribed chat, as pushed by the server. `sender` is set
// for kMessage only, `body` for kMessage and kEdit.
struct Event {
  EventKind kind = EventKind::kMessage;
  std::string chat;
  MessageId id = kNoMessage;
  std::string sender;
  std::string body;
};

// The data of a reply read in pipelined mode: nothing for the status-only
// kinds, the identifiers for kList, the message for kFetch, the chat's last
// id for kSubscribe, the page for kHistory.
using ReplyData = std::variant<std::monostate, std::vector<MessageId>, Message, MessageId, HistoryPage>;

// One encoded request, ready to be queued. Names (users, chats) are sent as
// given; the server cuts a name at its first zero byte. Bodies are sent
// byte for byte.
class Request {
 public:
  static Request Register(std::string_view user);
  static Request CreateChat(std::string_view user, std::string_view chat);
  static Request JoinChat(std::string_view user, std::string_view chat);
  static Request Send(std::string_view user, std::string_view chat, std::string_view body);
  static Request Edit(std::string_view user, std::string_view chat, MessageId id, std::string_view body);
  static Request Delete(std::string_view user, std::string_view chat, MessageId id);
  static Request Forward(std::string_view user, std::string_view from_chat, std::string_view to_chat,
                         MessageId id);
  static Request List(std::string_view chat);
  static Request Fetch(std::string_view chat, MessageId id);
  static Request Subscribe(std::string_view user, std::string_view chat);
  static Request Unsubscribe(std::string_view user, std::string_view chat);
  static Request History(std::string_view chat, MessageId after, uint64_t max);
  // Secrets are sent byte for byte, never cut at a zero byte.
  static Request RegisterWithSecret(std::string_view user, std::string_view secret);
  static Request Login(std::string_view user, std::string_view secret);
  static Request ChangeSecret(std::string_view user, std::string_view old_secret, std::string_view new_secret);

  RequestKind kind() const { return kind_; }
  // The whole frame: length prefix and payload.
  const std::string& frame() const { return frame_; }
  // The payload size; the request can be sent when it is at most kMaxRequestPayload.
  size_t payload_size() const;
  bool fits() const { return payload_size() <= kMaxRequestPayload; }

 private:
  Request(RequestKind kind, std::string frame) : kind_(kind), frame_(std::move(frame)) {}
  RequestKind kind_;
  std::string frame_;
};

// How a Client secures its connection; applies from the next Connect.
struct TlsOptions {
  bool enabled = false;
  std::string ca_file;      // verify the server against these CA certificates (PEM); empty: the system's
  bool verify = true;       // false: skip verification (for tests only)
  std::string server_name;  // checked against the certificate; empty: the host given to Connect
};

// One connection to a server. Movable, not copyable; the destructor closes
// the connection. Used by one thread at a time.
class Client {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

  Client() = default;
  ~Client();
  Client(Client&& other) noexcept;
  Client& operator=(Client&& other) noexcept;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Connects to `host` (a name or a numeric IPv4/IPv6 address) on `port`,
  // trying each resolved address until one accepts within `timeout` overall.
  // Closes any previous connection first and forgets the events it left
  // unread. kOk or kConnectionLost / kTimeout, with the reason in `error`.
  // With TLS enabled the handshake is made within the same `timeout`; a
  // server whose certificate does not verify (its chain, or the name or
  // address it is for) is kConnectionLost with "TLS: ..." in `error`.
  // (Looking a host name up is left to the system resolver and its own time
  // limits; numeric addresses need no look-up.)
  Result<> Connect(const std::string& host, uint16_t port,
                   std::chrono::milliseconds timeout = kDefaultTimeout);
  bool connected() const { return fd_ >= 0; }
  // True when the connection is encrypted.
  bool secure() const { return ssl_ != nullptr; }
  // Closes the connection, dropping queued and unread requests. Events
  // already received stay readable with NextEvent. Idempotent.
  void Close();
  // The connection's socket (-1 when not connected), to wait for events with
  // poll() alongside other descriptors. Read it only through this client.
  // Events may already be waiting in the client while the socket has nothing
  // to read: check event_ready() before waiting.
  int fd() const { return fd_; }

  // The bound on each reply (from the moment it is awaited until it is
  // complete) and on each stall while writing. Default kDefaultTimeout.
  void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  std::chrono::milliseconds timeout() const { return timeout_; }

  // Encrypts the connections made from the next Connect on (or stops doing so).
  void set_tls(TlsOptions tls);
  const TlsOptions& tls() const { return tls_; }

  // --- Typed calls: send one request and wait for its reply. ---
  // Each returns kOk or kRefused when the server answered, and otherwise the
  // failure (see Status). They need a connection with no unread replies
  // (pending() == 0); otherwise they return kBadRequest and send nothing.

  // Refused when the name is already registered.
  Result<> Register(std::string_view user);
  // Creates `chat` with `user` as its first member. Refused when the user is
  // not registered or the chat name is taken.
  Result<> CreateChat(std::string_view user, std::string_view chat);
  // Refused when the user is not registered or the chat does not exist; ok
  // when the user already is a member.
  Result<> JoinChat(std::string_view user, std::string_view chat);
  // Refused unless the user is a member of the chat. The server does not
  // report the new message's identifier: list the chat to learn it.
  Result<> Send(std::string_view user, std::string_view chat, std::string_view body);
  // Replaces the body of message `id` in `chat`. Refused unless the user is a
  // member of the chat and sent that (undeleted) message.
  Result<> Edit(std::string_view user, std::string_view chat, MessageId id, std::string_view body);
  // Deletes message `id` from `chat`. Refused unless the user sent that
  // (undeleted) message there.
  Result<> Delete(std::string_view user, std::string_view chat, MessageId id);
  // Copies message `id` of `from_chat` into `to_chat` as a new message from
  // `user`. Refused unless the message exists and the user is a member of `to_chat`.
  Result<> Forward(std::string_view user, std::string_view from_chat, std::string_view to_chat, MessageId id);
  // The identifiers of the chat's messages, oldest first. Refused when the
  // chat does not exist. Any client may list any chat.
  Result<std::vector<MessageId>> List(std::string_view chat);
  // The sender and body of message `id` of `chat`. Refused when the chat does
  // not exist or holds no such (undeleted) message.
  Result<Message> Fetch(std::string_view chat, MessageId id);

  // Makes this connection a subscriber of `chat`: every later change of the
  // chat arrives as an Event, once, in the chat's order. The value is the id
  // of the chat's last message at that moment (deleted or not), kNoMessage
  // when it has none; the events carry on from there. Subscribing again
  // changes nothing and reports the last id again. Refused unless the user is
  // a member of the chat. A subscription ends with the connection.
  Result<MessageId> Subscribe(std::string_view user, std::string_view chat);
  // Ends this connection's subscription to `chat`: no event of it follows.
  // Refused unless the user is a member and the connection is subscribed.
  Result<> Unsubscribe(std::string_view user, std::string_view chat);
  // The messages of `chat` after `after` (from the first for kNoMessage),
  // oldest first, deleted ones included: at most `max`, at most
  // kHistoryMaxMessages, and fewer when they are large. Refused when the chat
  // does not exist or `after` is neither kNoMessage nor an id the chat handed
  // out (a deleted message's id will do).
  Result<HistoryPage> History(std::string_view chat, MessageId after, uint64_t max = kHistoryMaxMessages);

  // Accounts. A secret is 1 to kMaxSecretBytes bytes; the server refuses any
  // other. A server run with `--auth required` answers only requests of the
  // user this connection logged in as (and refuses Register).
  //
  // Registers `user` with `secret`. Refused when the name is taken.
  Result<> RegisterWithSecret(std::string_view user, std::string_view secret);
  // Binds this connection to `user`. Refused when the user has no such
  // secret; the server delays each refusal a little longer than the last, so
  // a wrong secret may take a while to be answered (see set_timeout).
  Result<> Login(std::string_view user, std::string_view secret);
  // Replaces the user's secret. Refused unless `old_secret` is the current one.
  Result<> ChangeSecret(std::string_view user, std::string_view old_secret, std::string_view new_secret);

  // Sends `request` and waits for its reply, whatever its kind.
  Result<ReplyData> Call(const Request& request);

  // --- Pipelined mode. ---
  // Queue() appends requests to an output buffer without sending anything;
  // Flush() sends the buffer; ReadReply() returns the replies one by one, in
  // the order the requests were queued. ReadReply() flushes first when needed.
  //
  // Queue: kOk, or kBadRequest when the request does not fit in a frame, or
  // kConnectionLost when not connected. Nothing is queued unless kOk.
  Status Queue(const Request& request);
  // Sends everything queued. While writing it also takes in replies that
  // arrive, so a long pipeline cannot stall against a server whose own
  // writes wait for this client to read.
  Result<> Flush();
  // Requests queued or sent whose replies have not been read yet.
  size_t pending() const { return pending_.size(); }
  // The reply to the oldest pending request. kBadRequest when none is pending.
  Result<ReplyData> ReadReply();

  // --- Pushed events. ---
  // Events that arrive while a reply is awaited are queued; so are those that
  // come in the same read as a reply.
  //
  // The oldest queued event, or the next to arrive within `timeout` (0: only
  // what has already arrived, without waiting). kTimeout when none came; the
  // connection stays open then, unlike after a reply's timeout. kBadRequest
  // when no event is queued and replies to queued requests are still unread
  // (read them first). A frame that is not a well-formed event, or a reply
  // to no request, is kMalformed; a closed connection is kConnectionLost.
  Result<Event> NextEvent(std::chrono::milliseconds timeout);
  // True when NextEvent(0) has something to work on without reading the
  // socket: an event is queued, or a whole frame was received with a reply.
  // An event loop waits for the socket only while this is false.
  bool event_ready() const;

 private:
  enum class Io { kOk, kClosed, kTimeout, kError };
  // A failure that ends the connection: closes it and builds the result.
  template <typename T>
  Result<T> Fail(Status status, std::string error);
  // Waits until the input buffer holds one whole reply frame, reading more as
  // needed until `deadline`.
  Result<> ReadFrame(std::chrono::steady_clock::time_point deadline, uint64_t& type, std::string_view& body);
  // The next frame that is not an event, queuing the events before it.
  Result<> ReadReplyFrame(std::chrono::steady_clock::time_point deadline, uint64_t& type,
                          std::string_view& body);
  // Takes a whole frame off the input buffer when there is one: kOk with
  // `got` set, kOk without when more bytes are needed, kMalformed otherwise.
  Result<> TakeFrame(bool& got, uint64_t& type, std::string_view& body);
  // Decodes a pushed frame onto the event queue; kMalformed when it is not an event.
  Result<> QueueEvent(uint64_t type, std::string_view body);
  Io ReadSome(std::chrono::steady_clock::time_point deadline);
  // Sends from `data`, adding the bytes taken to `sent`: kOk, kTimeout when
  // nothing can be sent before `wait` (poll events) is ready, kError (last_error_).
  Io SendSome(const char* data, size_t n, size_t& sent, short& wait);
  // The TLS handshake on the connected socket, within `deadline`.
  Result<> StartTls(const std::string& host, std::chrono::steady_clock::time_point deadline);
  Result<ReplyData> ReadReplyFor(RequestKind kind);
  template <typename T>
  Result<T> TypedCall(const Request& request);

  int fd_ = -1;
  std::chrono::milliseconds timeout_ = kDefaultTimeout;
  std::string out_;  // queued, unsent request bytes
  std::string in_;   // received, unconsumed reply bytes from in_pos_
  size_t in_pos_ = 0;
  std::deque<RequestKind> pending_;  // kinds of the requests awaiting replies
  std::deque<Event> events_;         // pushed events not yet returned
  std::string last_error_;           // set by ReadSome on kError
  struct SslFree {
    void operator()(ssl_st* ssl) const;
  };
  struct SslCtxFree {
    void operator()(ssl_ctx_st* ctx) const;
  };
  TlsOptions tls_;
  std::unique_ptr<ssl_ctx_st, SslCtxFree> ssl_ctx_;  // made from tls_ at the first Connect with TLS
  std::unique_ptr<ssl_st, SslFree> ssl_;            // the connection's TLS session, if any
};

}  // namespace parley
