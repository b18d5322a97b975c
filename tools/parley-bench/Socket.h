// Small socket helpers for parley-bench: an owning descriptor, address
// resolution, a connect with TCP_NODELAY, and connections that may speak TLS.
// Failures come back as values with a human-readable reason; nothing here throws.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string>
#include <utility>

struct ssl_st;
struct ssl_ctx_st;

namespace parley::bench {

struct SslFree {
  void operator()(ssl_st* ssl) const;
};
struct SslCtxFree {
  void operator()(ssl_ctx_st* ctx) const;
};

// Sole owner of a file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset();

 private:
  int fd_ = -1;
};

// How the connections speak TLS: the server's certificate is checked against
// the CA certificates of `cacert` (the system's when empty), and its name or
// address against the host connected to, unless `insecure`.
struct TlsSettings {
  std::string cacert;
  bool insecure = false;
};

// The client side of TLS, shared by every connection of the run.
class TlsContext {
 public:
  // Nothing, with the reason in `err`, when the CA file cannot be loaded.
  static std::unique_ptr<TlsContext> Make(const TlsSettings& settings, std::string& err);
  ssl_ctx_st* get() const { return ctx_.get(); }
  bool verify() const { return verify_; }

 private:
  TlsContext(std::unique_ptr<ssl_ctx_st, SslCtxFree> ctx, bool verify) : ctx_(std::move(ctx)), verify_(verify) {}
  std::unique_ptr<ssl_ctx_st, SslCtxFree> ctx_;
  bool verify_;
};

// A resolved server address, and how to speak to it.
struct Address {
  sockaddr_storage addr{};
  socklen_t len = 0;
  std::string host;                  // as given, to check the server's certificate against
  std::string text;                  // "host:port", for messages
  const TlsContext* tls = nullptr;   // set: connections speak TLS (see ConnectStream)
};

// Resolves `host` (a name or a numeric address) and `port`. Returns false and
// sets `err` if the host cannot be resolved.
bool Resolve(const std::string& host, uint16_t port, Address& out, std::string& err);

// Opens a blocking TCP connection with TCP_NODELAY set. Returns an invalid
// descriptor and sets `err` on failure, or when the address wants TLS, which
// only a Stream speaks.
UniqueFd Connect(const Address& address, std::string& err);

// A connection that speaks TLS or not. Send and Recv behave as send(2) and
// recv(2) do: the bytes moved, 0 when the server closed the stream (Recv), or
// -1 with errno set, EAGAIN when a non-blocking socket must become ready
// first (for reading or writing: poll for both when unsure). The plain path is
// the system call alone.
class Stream {
 public:
  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  void Reset();

  ssize_t Send(const char* p, size_t n) { return ssl_ ? TlsSend(p, n) : ::send(fd_.get(), p, n, MSG_NOSIGNAL); }
  ssize_t Recv(char* p, size_t n) { return ssl_ ? TlsRecv(p, n) : ::recv(fd_.get(), p, n, 0); }
  // True when TLS holds received bytes that Recv would return at once: the
  // socket does not become readable for them.
  bool Buffered() const { return ssl_ != nullptr && TlsBuffered(); }

 private:
  friend Stream ConnectStream(const Address& address, std::string& err);
  ssize_t TlsSend(const char* p, size_t n);
  ssize_t TlsRecv(char* p, size_t n);
  bool TlsBuffered() const;

  UniqueFd fd_;
  std::unique_ptr<ssl_st, SslFree> ssl_;  // freed before fd_ is closed
};

// Connect(), then the TLS handshake when the address wants TLS (bounded by
// kHandshakeTimeoutS seconds). The socket stays blocking.
Stream ConnectStream(const Address& address, std::string& err);
inline constexpr int kHandshakeTimeoutS = 10;

// Switches `fd` to non-blocking mode. Returns false on failure.
bool SetNonBlocking(int fd);

// Raises the soft limit of open descriptors to what `needed` asks, up to the
// hard limit. Returns false if the hard limit is lower than `needed`.
bool RaiseFileLimit(unsigned long needed);

}  // namespace parley::bench
