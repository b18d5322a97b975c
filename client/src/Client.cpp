#include "parley/Client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "protocol/Wire.h"

namespace parley {

namespace w = parley::wire;
using Clock = std::chrono::steady_clock;

static_assert(kMaxRequestPayload == static_cast<size_t>(w::kMaxPayload));
static_assert(static_cast<uint64_t>(RequestKind::kRegister) == w::EV_REGISTER);
static_assert(static_cast<uint64_t>(RequestKind::kCreateChat) == w::EV_CREATECHAT);
static_assert(static_cast<uint64_t>(RequestKind::kJoinChat) == w::EV_JOINCHAT);
static_assert(static_cast<uint64_t>(RequestKind::kSend) == w::EV_SENGMSG);
static_assert(static_cast<uint64_t>(RequestKind::kEdit) == w::EV_EDITMSG);
static_assert(static_cast<uint64_t>(RequestKind::kDelete) == w::EV_DELETEMSG);
static_assert(static_cast<uint64_t>(RequestKind::kForward) == w::EV_FORWARDMSG);
static_assert(static_cast<uint64_t>(RequestKind::kFetch) == w::EV_GETMSG);
static_assert(static_cast<uint64_t>(RequestKind::kList) == w::EV_GETCHAT);
static_assert(static_cast<uint64_t>(RequestKind::kSubscribe) == w::EV_SUBSCRIBE);
static_assert(static_cast<uint64_t>(RequestKind::kUnsubscribe) == w::EV_UNSUBSCRIBE);
static_assert(static_cast<uint64_t>(RequestKind::kHistory) == w::EV_HISTORY);
static_assert(static_cast<uint64_t>(RequestKind::kRegisterSecret) == w::EV_REGISTER_SECRET);
static_assert(static_cast<uint64_t>(RequestKind::kLogin) == w::EV_LOGIN);
static_assert(static_cast<uint64_t>(RequestKind::kChangeSecret) == w::EV_CHANGE_SECRET);
static_assert(kMaxSecretBytes == w::kMaxSecretBytes);
static_assert(kNoMessage == w::kNoMessage && kHistoryMaxMessages == w::kHistoryMaxMessages);

namespace {

// A reply frame longer than this is taken for garbage rather than buffered:
// it would be a listing of over eight million messages.
constexpr int32_t kMaxReplyPayload = 64 << 20;

// Closes the descriptor it holds unless released.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Milliseconds left until `deadline`, for poll(); 0 once it has passed.
int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1 << 30));
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// The reason of the last OpenSSL failure on this thread, or `fallback`.
std::string SslError(const char* fallback) {
  const unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  if (e == 0) return fallback;
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// OpenSSL's side of the socket: recv and send, the latter without SIGPIPE
// (a server that went away is an error to report, not a signal to die of).
int SocketFd(BIO* b) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b))); }
int SocketRead(BIO* b, char* data, int n) {
  BIO_clear_retry_flags(b);
  ssize_t k;
  do k = ::recv(SocketFd(b), data, static_cast<size_t>(n), 0);
  while (k < 0 && errno == EINTR);
  if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(b);
  return static_cast<int>(k);
}
int SocketWrite(BIO* b, const char* data, int n) {
  BIO_clear_retry_flags(b);
  ssize_t k;
  do k = ::send(SocketFd(b), data, static_cast<size_t>(n), MSG_NOSIGNAL);
  while (k < 0 && errno == EINTR);
  if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(b);
  return static_cast<int>(k);
}
long SocketCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }
int SocketCreate(BIO* b) {
  BIO_set_init(b, 1);
  return 1;
}
const BIO_METHOD* SocketMethod() {
  static const std::unique_ptr<BIO_METHOD, decltype(&BIO_meth_free)> method = [] {
    std::unique_ptr<BIO_METHOD, decltype(&BIO_meth_free)> m(
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "parley socket"), &BIO_meth_free);
    if (m) {
      BIO_meth_set_read(m.get(), SocketRead);
      BIO_meth_set_write(m.get(), SocketWrite);
      BIO_meth_set_ctrl(m.get(), SocketCtrl);
      BIO_meth_set_create(m.get(), SocketCreate);
    }
    return m;
  }();
  return method.get();
}

bool IsNumericHost(const std::string& host) {
  unsigned char addr[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), addr) == 1 || ::inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

// A history page: the count, the more flag, then each entry's id, flags,
// sender and body, and nothing after. Nothing when it is not exactly that.
std::optional<HistoryPage> ReadHistoryPage(w::BodyReader& data) {
  auto count = data.Int();
  auto more = count ? data.Int() : std::nullopt;
  if (!more || *more > 1 || *count > w::kHistoryMaxMessages) return std::nullopt;
  HistoryPage page;
  page.more = *more == 1;
  page.entries.reserve(static_cast<size_t>(*count));
  for (uint64_t i = 0; i < *count; ++i) {
    auto id = data.Int();
    auto flags = id ? data.Int() : std::nullopt;
    auto sender = flags ? data.String() : std::nullopt;
    auto body = sender ? data.String() : std::nullopt;
    if (!body || (*flags & ~w::kHistoryDeleted) != 0 || static_cast<MessageId>(*id) < 0) return std::nullopt;
    page.entries.push_back({static_cast<MessageId>(*id), *flags == w::kHistoryDeleted, std::string(*sender),
                            std::string(*body)});
  }
  if (!data.AtEnd()) return std::nullopt;
  return page;
}

}  // namespace

const char* ToString(RequestKind kind) {
  switch (kind) {
    case RequestKind::kRegister: return "register";
    case RequestKind::kCreateChat: return "create";
    case RequestKind::kJoinChat: return "join";
    case RequestKind::kSend: return "send";
    case RequestKind::kEdit: return "edit";
    case RequestKind::kDelete: return "delete";
    case RequestKind::kForward: return "forward";
    case RequestKind::kFetch: return "fetch";
    case RequestKind::kList: return "list";
    case RequestKind::kSubscribe: return "subscribe";
    case RequestKind::kUnsubscribe: return "unsubscribe";
    case RequestKind::kHistory: return "history";
    case RequestKind::kRegisterSecret: return "register-secret";
    case RequestKind::kLogin: return "login";
    case RequestKind::kChangeSecret: return "change-secret";
  }
  return "unknown";
}

const char* ToString(EventKind kind) {
  switch (kind) {
    case EventKind::kMessage: return "message";
    case EventKind::kEdit: return "edit";
    case EventKind::kDelete: return "delete";
  }
  return "unknown";
}

const char* ToString(Status status) {
  switch (status) {
    case Status::kOk: return "ok";
    case Status::kRefused: return "refused";
    case Status::kConnectionLost: return "connection lost";
    case Status::kTimeout: return "timeout";
    case Status::kMalformed: return "malformed reply";
    case Status::kBadRequest: return "bad request";
  }
  return "unknown";
}

// ---------------------------------------------------------------- Request

size_t Request::payload_size() const { return frame_.size() - w::kLengthSize; }

namespace {
// Starts a frame of `kind`; the caller appends the fields and calls End().
w::FrameBuilder Begin(std::string& out, RequestKind kind) {
  return w::FrameBuilder(out, static_cast<uint64_t>(kind));
}
uint64_t Word(MessageId id) { return static_cast<uint64_t>(id); }
}  // namespace

Request Request::Register(std::string_view user) {
  std::string f;
  Begin(f, RequestKind::kRegister).String(user).End();
  return {RequestKind::kRegister, std::move(f)};
}

Request Request::CreateChat(std::string_view user, std::string_view chat) {
  std::string f;
  Begin(f, RequestKind::kCreateChat).String(user).String(chat).End();
  return {RequestKind::kCreateChat, std::move(f)};
}

Request Request::JoinChat(std::string_view user, std::string_view chat) {
  std::string f;
  Begin(f, RequestKind::kJoinChat).String(user).String(chat).End();
  return {RequestKind::kJoinChat, std::move(f)};
}

Request Request::Send(std::string_view user, std::string_view chat, std::string_view body) {
  std::string f;
  Begin(f, RequestKind::kSend).String(user).String(chat).String(body).End();
  return {RequestKind::kSend, std::move(f)};
}

Request Request::Edit(std::string_view user, std::string_view chat, MessageId id, std::string_view body) {
  std::string f;
  Begin(f, RequestKind::kEdit).String(user).String(chat).Int(Word(id)).String(body).End();
  return {RequestKind::kEdit, std::move(f)};
}

Request Request::Delete(std::string_view user, std::string_view chat, MessageId id) {
  std::string f;
  Begin(f, RequestKind::kDelete).String(user).String(chat).Int(Word(id)).End();
  return {RequestKind::kDelete, std::move(f)};
}

Request Request::Forward(std::string_view user, std::string_view from_chat, std::string_view to_chat,
                         MessageId id) {
  std::string f;
  Begin(f, RequestKind::kForward).String(user).String(from_chat).String(to_chat).Int(Word(id)).End();
  return {RequestKind::kForward, std::move(f)};
}

Request Request::List(std::string_view chat) {
  std::string f;
  Begin(f, RequestKind::kList).String(chat).End();
  return {RequestKind::kList, std::move(f)};
}

Request Request::Fetch(std::string_view chat, MessageId id) {
  std::string f;
  Begin(f, RequestKind::kFetch).String(chat).Int(Word(id)).End();
  return {RequestKind::kFetch, std::move(f)};
}

Request Request::Subscribe(std::string_view user, std::string_view chat) {
  std::string f;
  Begin(f, RequestKind::kSubscribe).String(user).String(chat).End();
  return {RequestKind::kSubscribe, std::move(f)};
}

Request Request::Unsubscribe(std::string_view user, std::string_view chat) {
  std::string f;
  Begin(f, RequestKind::kUnsubscribe).String(user).String(chat).End();
  return {RequestKind::kUnsubscribe, std::move(f)};
}

Request Request::History(std::string_view chat, MessageId after, uint64_t max) {
  std::string f;
  Begin(f, RequestKind::kHistory).String(chat).Int(Word(after)).Int(max).End();
  return {RequestKind::kHistory, std::move(f)};
}

Request Request::RegisterWithSecret(std::string_view user, std::string_view secret) {
  std::string f;
  Begin(f, RequestKind::kRegisterSecret).String(user).String(secret).End();
  return {RequestKind::kRegisterSecret, std::move(f)};
}

Request Request::Login(std::string_view user, std::string_view secret) {
  std::string f;
  Begin(f, RequestKind::kLogin).String(user).String(secret).End();
  return {RequestKind::kLogin, std::move(f)};
}

Request Request::ChangeSecret(std::string_view user, std::string_view old_secret, std::string_view new_secret) {
  std::string f;
  Begin(f, RequestKind::kChangeSecret).String(user).String(old_secret).String(new_secret).End();
  return {RequestKind::kChangeSecret, std::move(f)};
}

// ---------------------------------------------------------------- Client

void Client::SslFree::operator()(ssl_st* ssl) const { SSL_free(ssl); }
void Client::SslCtxFree::operator()(ssl_ctx_st* ctx) const { SSL_CTX_free(ctx); }

Client::~Client() { Close(); }

Client::Client(Client&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      timeout_(other.timeout_),
      out_(std::move(other.out_)),
      in_(std::move(other.in_)),
      in_pos_(std::exchange(other.in_pos_, 0)),
      pending_(std::move(other.pending_)),
      events_(std::move(other.events_)),
      tls_(std::move(other.tls_)),
      ssl_ctx_(std::move(other.ssl_ctx_)),
      ssl_(std::move(other.ssl_)) {}

Client& Client::operator=(Client&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    timeout_ = other.timeout_;
    out_ = std::move(other.out_);
    in_ = std::move(other.in_);
    in_pos_ = std::exchange(other.in_pos_, 0);
    pending_ = std::move(other.pending_);
    events_ = std::move(other.events_);
    tls_ = std::move(other.tls_);
    ssl_ctx_ = std::move(other.ssl_ctx_);
    ssl_ = std::move(other.ssl_);
  }
  return *this;
}

void Client::set_tls(TlsOptions tls) {
  tls_ = std::move(tls);
  ssl_ctx_.reset();  // made again, with these settings, at the next Connect
}

void Client::Close() {
  ssl_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  out_.clear();
  in_.clear();
  in_pos_ = 0;
  pending_.clear();
}

template <typename T>
Result<T> Client::Fail(Status status, std::string error) {
  Close();
  return {status, T{}, std::move(error)};
}

Result<> Client::Connect(const std::string& host, uint16_t port, std::chrono::milliseconds timeout) {
  Close();
  events_.clear();
  const auto deadline = Clock::now() + timeout;
  const std::string where = host + ":" + std::to_string(port);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) return {Status::kConnectionLost, {}, "cannot resolve " + host + ": " + gai_strerror(rc)};
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);

  std::string error = "no address for " + host;
  Status status = Status::kConnectionLost;
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (fd.get() < 0) {
      error = Errno("socket");
      continue;
    }
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        error = Errno(("connect to " + where).c_str());
        continue;
      }
      pollfd p{fd.get(), POLLOUT, 0};
      int n;
      do {
        n = ::poll(&p, 1, MillisLeft(deadline));
      } while (n < 0 && errno == EINTR);
      if (n == 0) {
        status = Status::kTimeout;
        error = "connect to " + where + ": no answer within " + std::to_string(timeout.count()) + " ms";
        break;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (n < 0 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err != 0) {
        error = "connect to " + where + ": " + std::strerror(err);
        continue;
      }
    }
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = fd.release();
    if (tls_.enabled) return StartTls(host, deadline);
    return {Status::kOk, {}, {}};
  }
  return {status, {}, std::move(error)};
}

Result<> Client::StartTls(const std::string& host, Clock::time_point deadline) {
  ERR_clear_error();
  if (!ssl_ctx_) {
    std::unique_ptr<ssl_ctx_st, SslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) return Fail<std::monostate>(Status::kConnectionLost, "TLS: " + SslError("out of memory"));
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
#ifdef SSL_OP_IGNORE_UNEXPECTED_EOF
    // A connection closed without the TLS goodbye ends like a plain one: the
    // framing tells a cut reply from a whole one.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
#endif
    if (tls_.verify) {
      SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
      const int loaded = tls_.ca_file.empty()
                             ? SSL_CTX_set_default_verify_paths(ctx.get())
                             : SSL_CTX_load_verify_locations(ctx.get(), tls_.ca_file.c_str(), nullptr);
      if (loaded != 1)
        return Fail<std::monostate>(Status::kConnectionLost,
                                    "TLS: cannot load the CA certificates " +
                                        (tls_.ca_file.empty() ? std::string("of the system") : tls_.ca_file) +
                                        ": " + SslError("unknown error"));
    }
    ssl_ctx_ = std::move(ctx);
  }
  ssl_.reset(SSL_new(ssl_ctx_.get()));
  BIO* bio = SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
  if (!ssl_ || bio == nullptr) {
    BIO_free(bio);
    return Fail<std::monostate>(Status::kConnectionLost, "TLS: " + SslError("out of memory"));
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd_)));
  SSL_set_bio(ssl_.get(), bio, bio);  // one reference, taken by ssl_
  const std::string& name = tls_.server_name.empty() ? host : tls_.server_name;
  const bool numeric = IsNumericHost(name);
  if (!numeric) SSL_set_tlsext_host_name(ssl_.get(), name.c_str());
  if (tls_.verify) {
    const int set = numeric ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), name.c_str())
                            : SSL_set1_host(ssl_.get(), name.c_str());
    if (set != 1) return Fail<std::monostate>(Status::kConnectionLost, "TLS: cannot check for the name " + name);
  }
  while (true) {
    const int rc = SSL_connect(ssl_.get());
    if (rc == 1) return {Status::kOk, {}, {}};
    const int e = SSL_get_error(ssl_.get(), rc);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
      const long verified = SSL_get_verify_result(ssl_.get());
      std::string why;
      if (verified != X509_V_OK)
        why = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified);
      else if (e == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0)
        why = errno != 0 ? Errno("handshake") : "the server closed the connection during the handshake";
      else
        why = "handshake failed: " + SslError("unknown error");
      ERR_clear_error();
      return Fail<std::monostate>(Status::kConnectionLost, "TLS: " + why);
    }
    pollfd p{fd_, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    const int n = ::poll(&p, 1, MillisLeft(deadline));
    if (n < 0 && errno != EINTR) return Fail<std::monostate>(Status::kConnectionLost, Errno("poll"));
    if (n == 0) return Fail<std::monostate>(Status::kTimeout, "TLS: no handshake with " + host + " in time");
  }
}

Status Client::Queue(const Request& request) {
  if (!connected()) return Status::kConnectionLost;
  if (!request.fits()) return Status::kBadRequest;
  out_ += request.frame();
  pending_.push_back(request.kind());
  return Status::kOk;
}

Client::Io Client::ReadSome(Clock::time_point deadline) {
  if (in_pos_ == in_.size() || in_pos_ > (64u << 10)) {
    in_.erase(0, in_pos_);
    in_pos_ = 0;
  }
  char buf[64 << 10];
  while (true) {
    short wait = POLLIN;
    if (ssl_) {
      ERR_clear_error();
      size_t got = 0;
      const int rc = SSL_read_ex(ssl_.get(), buf, sizeof buf, &got);
      if (rc == 1) {
        in_.append(buf, got);
        return Io::kOk;
      }
      const int e = SSL_get_error(ssl_.get(), rc);
      if (e == SSL_ERROR_ZERO_RETURN) return Io::kClosed;
      if (e == SSL_ERROR_WANT_WRITE) {
        wait = POLLOUT;
      } else if (e != SSL_ERROR_WANT_READ) {
        if (e == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0 && errno == 0) return Io::kClosed;
        last_error_ = e == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0 ? Errno("receive")
                                                                             : "TLS: " + SslError("receive failed");
        return Io::kError;
      }
    } else {
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        in_.append(buf, static_cast<size_t>(n));
        return Io::kOk;
      }
      if (n == 0) return Io::kClosed;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        last_error_ = Errno("receive");
        return Io::kError;
      }
    }
    pollfd p{fd_, wait, 0};
    int r = ::poll(&p, 1, MillisLeft(deadline));
    if (r == 0) return Io::kTimeout;
    if (r < 0 && errno != EINTR) {
      last_error_ = Errno("poll");
      return Io::kError;
    }
  }
}

Result<> Client::Flush() {
  if (!connected()) return {Status::kConnectionLost, {}, "not connected"};
  size_t sent = 0;
  auto deadline = Clock::now() + timeout_;
  while (sent < out_.size()) {
    short wait = POLLOUT;
    switch (SendSome(out_.data() + sent, out_.size() - sent, sent, wait)) {
      case Io::kOk:
        deadline = Clock::now() + timeout_;
        continue;
      case Io::kTimeout: break;
      case Io::kClosed:
      case Io::kError: return Fail<std::monostate>(Status::kConnectionLost, last_error_);
    }
    // The socket buffer is full: wait for room, taking in replies meanwhile.
    pollfd p{fd_, static_cast<short>(wait | POLLIN), 0};
    int r = ::poll(&p, 1, MillisLeft(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Fail<std::monostate>(Status::kConnectionLost, Errno("poll"));
    if (r == 0)
      return Fail<std::monostate>(Status::kTimeout,
                                  "server took no data for " + std::to_string(timeout_.count()) + " ms");
    if (p.revents & POLLIN) {
      switch (ReadSome(Clock::now())) {
        case Io::kOk:
        case Io::kTimeout: break;
        case Io::kClosed:
          return Fail<std::monostate>(Status::kConnectionLost, "server closed the connection");
        case Io::kError: return Fail<std::monostate>(Status::kConnectionLost, last_error_);
      }
    }
  }
  out_.clear();
  return {Status::kOk, {}, {}};
}

Client::Io Client::SendSome(const char* data, size_t n, size_t& sent, short& wait) {
  if (ssl_) {
    ERR_clear_error();
    size_t written = 0;
    const int rc = SSL_write_ex(ssl_.get(), data, n, &written);
    if (rc == 1) {
      sent += written;
      return Io::kOk;
    }
    const int e = SSL_get_error(ssl_.get(), rc);
    if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
      wait = e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
      return Io::kTimeout;
    }
    last_error_ = e == SSL_ERROR_SYSCALL && ERR_peek_last_error() == 0 ? Errno("send") : "TLS: " + SslError("send failed");
    return Io::kError;
  }
  while (true) {
    const ssize_t k = ::send(fd_, data, n, MSG_NOSIGNAL);
    if (k > 0) {
      sent += static_cast<size_t>(k);
      return Io::kOk;
    }
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Io::kTimeout;
    last_error_ = Errno("send");
    return Io::kError;
  }
}

Result<> Client::TakeFrame(bool& got, uint64_t& type, std::string_view& body) {
  got = false;
  std::string_view buf(in_.data() + in_pos_, in_.size() - in_pos_);
  if (buf.size() >= w::kLengthSize) {
    int32_t len = w::LoadI32(buf.data());
    if (len > kMaxReplyPayload)
      return Fail<std::monostate>(Status::kMalformed, "frame length " + std::to_string(len) + " is implausible");
  }
  w::FrameSplit split = w::SplitFrame(buf);
  if (split.complete && !split.ok)
    return Fail<std::monostate>(
        Status::kMalformed, "frame length " + std::to_string(w::LoadI32(buf.data())) + " cannot hold a type code");
  if (split.complete) {
    got = true;
    type = split.frame.type;
    body = split.frame.body;
    in_pos_ += split.consumed;
  }
  return {Status::kOk, {}, {}};
}

Result<> Client::ReadFrame(Clock::time_point deadline, uint64_t& type, std::string_view& body) {
  while (true) {
    bool got = false;
    if (auto r = TakeFrame(got, type, body); !r || got) return r;
    const bool partial = in_pos_ < in_.size();
    switch (ReadSome(deadline)) {
      case Io::kOk: break;
      case Io::kTimeout:
        return Fail<std::monostate>(Status::kTimeout,
                                    "no complete reply within " + std::to_string(timeout_.count()) + " ms");
      case Io::kClosed:
        return Fail<std::monostate>(Status::kConnectionLost,
                                    partial ? "server closed the connection in the middle of a frame"
                                            : "server closed the connection");
      case Io::kError: return Fail<std::monostate>(Status::kConnectionLost, last_error_);
    }
  }
}

Result<> Client::ReadReplyFrame(Clock::time_point deadline, uint64_t& type, std::string_view& body) {
  while (true) {
    if (auto r = ReadFrame(deadline, type, body); !r || !w::IsPush(type)) return r;
    if (auto r = QueueEvent(type, body); !r) return r;
  }
}

Result<> Client::QueueEvent(uint64_t type, std::string_view body) {
  w::BodyReader fields(body);
  Event e;
  auto chat = fields.String();
  auto id = chat ? fields.Int() : std::nullopt;
  std::optional<std::string_view> sender, text;
  if (type == w::PUSH_MESSAGE) {
    e.kind = EventKind::kMessage;
    sender = id ? fields.String() : std::nullopt;
    text = sender ? fields.String() : std::nullopt;
  } else if (type == w::PUSH_EDIT) {
    e.kind = EventKind::kEdit;
    text = id ? fields.String() : std::nullopt;
  } else if (type == w::PUSH_DELETE) {
    e.kind = EventKind::kDelete;
  } else {
    return Fail<std::monostate>(Status::kMalformed,
                                "pushed frame of unknown type " + std::to_string(type & ~w::kPushBit));
  }
  const bool complete = e.kind == EventKind::kDelete ? id.has_value() : text.has_value();
  const auto event_id = static_cast<MessageId>(id.value_or(w::kPushBit));  // negative when missing
  if (!complete || !fields.AtEnd() || event_id < 0)
    return Fail<std::monostate>(Status::kMalformed, std::string("the pushed ") + ToString(e.kind) +
                                                        " event does not hold exactly its fields");
  e.chat = *chat;
  e.id = event_id;
  if (sender) e.sender = *sender;
  if (text) e.body = *text;
  events_.push_back(std::move(e));
  return {Status::kOk, {}, {}};
}

bool Client::event_ready() const {
  if (!events_.empty() || (ssl_ && SSL_pending(ssl_.get()) > 0)) return true;
  std::string_view buf(in_.data() + in_pos_, in_.size() - in_pos_);
  return w::SplitFrame(buf).complete || (buf.size() >= w::kLengthSize && w::LoadI32(buf.data()) > kMaxReplyPayload);
}

Result<Event> Client::NextEvent(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (events_.empty()) {
    if (!connected()) return {Status::kConnectionLost, {}, "not connected"};
    if (!pending_.empty())
      return {Status::kBadRequest, {}, std::to_string(pending_.size()) + " queued requests still await their replies"};
    bool got = false;
    uint64_t type = 0;
    std::string_view body;
    if (auto r = TakeFrame(got, type, body); !r) return {r.status, {}, std::move(r.error)};
    if (got && !w::IsPush(type))
      return Fail<Event>(Status::kMalformed, "reply of type " + std::to_string(type) + " to no request");
    if (got) {
      if (auto r = QueueEvent(type, body); !r) return {r.status, {}, std::move(r.error)};
      continue;
    }
    const bool partial = in_pos_ < in_.size();
    switch (ReadSome(deadline)) {
      case Io::kOk: break;
      case Io::kTimeout: return {Status::kTimeout, {}, "no event within " + std::to_string(timeout.count()) + " ms"};
      case Io::kClosed:
        return Fail<Event>(Status::kConnectionLost, partial ? "server closed the connection in the middle of a frame"
                                                            : "server closed the connection");
      case Io::kError: return Fail<Event>(Status::kConnectionLost, last_error_);
    }
  }
  Result<Event> out{Status::kOk, std::move(events_.front()), {}};
  events_.pop_front();
  return out;
}

Result<ReplyData> Client::ReadReplyFor(RequestKind kind) {
  const auto deadline = Clock::now() + timeout_;
  const uint64_t want = static_cast<uint64_t>(kind);
  auto malformed = [this](std::string what) { return Fail<ReplyData>(Status::kMalformed, std::move(what)); };

  uint64_t type = 0;
  std::string_view body;
  if (auto r = ReadReplyFrame(deadline, type, body); !r) return {r.status, {}, std::move(r.error)};
  if (type != want)
    return malformed("reply type " + std::to_string(type) + " does not answer a " + ToString(kind) +
                     " request");
  w::BodyReader status(body);
  auto text = status.String();
  if (!text || !status.AtEnd() || (*text != "ok" && *text != "no"))
    return malformed(std::string("the status reply to a ") + ToString(kind) +
                     " request is neither \"ok\" nor \"no\"");
  if (*text == "no") {
    pending_.pop_front();
    return {Status::kRefused, {}, "the server refused the request"};
  }

  Result<ReplyData> out{Status::kOk, {}, {}};
  if (kind == RequestKind::kList || kind == RequestKind::kFetch || kind == RequestKind::kSubscribe ||
      kind == RequestKind::kHistory) {
    // Events never fall between the frames of a reply.
    if (auto r = ReadFrame(deadline, type, body); !r) return {r.status, {}, std::move(r.error)};
    if (type != want)
      return malformed("data reply type " + std::to_string(type) + " does not answer a " + ToString(kind) +
                       " request");
    w::BodyReader data(body);
    if (kind == RequestKind::kList) {
      auto ids = data.IdList();
      if (!ids || !data.AtEnd()) return malformed("the identifier list does not match its count");
      out.value = std::move(*ids);
    } else if (kind == RequestKind::kSubscribe) {
      auto last = data.Int();
      if (!last || !data.AtEnd() || static_cast<MessageId>(*last) < kNoMessage)
        return malformed("the subscribe reply does not hold exactly a last id");
      out.value.emplace<MessageId>(static_cast<MessageId>(*last));
    } else if (kind == RequestKind::kHistory) {
      auto page = ReadHistoryPage(data);
      if (!page) return malformed("the history page does not match its count");
      out.value = std::move(*page);
    } else {
      auto sender = data.String();
      auto text_body = sender ? data.String() : std::nullopt;
      if (!text_body || !data.AtEnd())
        return malformed("the message reply does not hold exactly a sender and a body");
      out.value = Message{std::string(*sender), std::string(*text_body)};
    }
  }
  pending_.pop_front();
  return out;
}

Result<ReplyData> Client::ReadReply() {
  if (!connected()) return {Status::kConnectionLost, {}, "not connected"};
  if (pending_.empty()) return {Status::kBadRequest, {}, "no request is awaiting a reply"};
  if (!out_.empty()) {
    if (auto r = Flush(); !r) return {r.status, {}, std::move(r.error)};
  }
  return ReadReplyFor(pending_.front());
}

Result<ReplyData> Client::Call(const Request& request) {
  if (!connected()) return {Status::kConnectionLost, {}, "not connected"};
  if (!pending_.empty())
    return {Status::kBadRequest,
            {},
            std::to_string(pending_.size()) + " queued requests still await their replies"};
  if (!request.fits())
    return {Status::kBadRequest,
            {},
            "the request takes " + std::to_string(request.payload_size()) +
                " bytes, more than the limit of " + std::to_string(kMaxRequestPayload)};
  Queue(request);
  return ReadReply();
}

template <typename T>
Result<T> Client::TypedCall(const Request& request) {
  Result<ReplyData> r = Call(request);
  Result<T> out{r.status, {}, std::move(r.error)};
  if constexpr (!std::is_same_v<T, std::monostate>) {
    if (out.ok()) out.value = std::get<T>(std::move(r.value));
  }
  return out;
}

Result<> Client::Register(std::string_view user) {
  return TypedCall<std::monostate>(Request::Register(user));
}

Result<> Client::CreateChat(std::string_view user, std::string_view chat) {
  return TypedCall<std::monostate>(Request::CreateChat(user, chat));
}

Result<> Client::JoinChat(std::string_view user, std::string_view chat) {
  return TypedCall<std::monostate>(Request::JoinChat(user, chat));
}

Result<> Client::Send(std::string_view user, std::string_view chat, std::string_view body) {
  return TypedCall<std::monostate>(Request::Send(user, chat, body));
}

Result<> Client::Edit(std::string_view user, std::string_view chat, MessageId id, std::string_view body) {
  return TypedCall<std::monostate>(Request::Edit(user, chat, id, body));
}

Result<> Client::Delete(std::string_view user, std::string_view chat, MessageId id) {
  return TypedCall<std::monostate>(Request::Delete(user, chat, id));
}

Result<> Client::Forward(std::string_view user, std::string_view from_chat, std::string_view to_chat,
                         MessageId id) {
  return TypedCall<std::monostate>(Request::Forward(user, from_chat, to_chat, id));
}

Result<std::vector<MessageId>> Client::List(std::string_view chat) {
  return TypedCall<std::vector<MessageId>>(Request::List(chat));
}

Result<Message> Client::Fetch(std::string_view chat, MessageId id) {
  return TypedCall<Message>(Request::Fetch(chat, id));
}

Result<MessageId> Client::Subscribe(std::string_view user, std::string_view chat) {
  return TypedCall<MessageId>(Request::Subscribe(user, chat));
}

Result<> Client::Unsubscribe(std::string_view user, std::string_view chat) {
  return TypedCall<std::monostate>(Request::Unsubscribe(user, chat));
}

Result<HistoryPage> Client::History(std::string_view chat, MessageId after, uint64_t max) {
  return TypedCall<HistoryPage>(Request::History(chat, after, max));
}

Result<> Client::RegisterWithSecret(std::string_view user, std::string_view secret) {
  return TypedCall<std::monostate>(Request::RegisterWithSecret(user, secret));
}

Result<> Client::Login(std::string_view user, std::string_view secret) {
  return TypedCall<std::monostate>(Request::Login(user, secret));
}

Result<> Client::ChangeSecret(std::string_view user, std::string_view old_secret, std::string_view new_secret) {
  return TypedCall<std::monostate>(Request::ChangeSecret(user, old_secret, new_secret));
}

}  // namespace parley
