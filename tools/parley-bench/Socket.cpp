#include "Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>

namespace parley::bench {

namespace {

// The reason of the last TLS failure, from OpenSSL's queue (which it empties).
std::string TlsError(const char* what) {
  std::string out = what;
  unsigned long e;
  char buf[256];
  while ((e = ERR_get_error()) != 0) {
    ERR_error_string_n(e, buf, sizeof buf);
    out += std::string(": ") + buf;
  }
  return out;
}

UniqueFd ConnectTcp(const Address& address, std::string& err) {
  UniqueFd fd(::socket(address.addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    err = std::string("socket: ") + std::strerror(errno);
    return fd;
  }
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.addr), address.len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    err = "cannot connect to " + address.text + ": " + std::strerror(errno);
    return UniqueFd{};
  }
  int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

void UniqueFd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Resolve(const std::string& host, uint16_t port, Address& out, std::string& err) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0 || res == nullptr) {
    err = "cannot resolve " + host + ": " + ::gai_strerror(rc);
    return false;
  }
  std::memcpy(&out.addr, res->ai_addr, res->ai_addrlen);
  out.len = res->ai_addrlen;
  out.host = host;
  out.text = host + ":" + service;
  ::freeaddrinfo(res);
  return true;
}

UniqueFd Connect(const Address& address, std::string& err) {
  if (address.tls != nullptr) {
    err = "this test does not speak TLS";
    return UniqueFd{};
  }
  return ConnectTcp(address, err);
}

bool SetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool RaiseFileLimit(unsigned long needed) {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
  if (rl.rlim_cur >= needed) return true;
  rl.rlim_cur = rl.rlim_max == RLIM_INFINITY || rl.rlim_max >= needed ? needed : rl.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &rl);
  return rl.rlim_cur >= needed;
}

std::unique_ptr<TlsContext> TlsContext::Make(const TlsSettings& settings, std::string& err) {
  std::unique_ptr<SSL_CTX, SslCtxFree> owned(SSL_CTX_new(TLS_client_method()));
  if (!owned) {
    err = TlsError("cannot make a TLS context");
    return nullptr;
  }
  SSL_CTX* ctx = owned.get();
  std::unique_ptr<TlsContext> out(new TlsContext(std::move(owned), !settings.insecure));
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (settings.insecure) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return out;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  const int loaded = settings.cacert.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                                             : SSL_CTX_load_verify_locations(ctx, settings.cacert.c_str(), nullptr);
  if (loaded != 1) {
    err = TlsError(("cannot load the CA certificates" + (settings.cacert.empty() ? "" : " of " + settings.cacert))
                       .c_str());
    return nullptr;
  }
  return out;
}

void SslFree::operator()(ssl_st* ssl) const { SSL_free(ssl); }
void SslCtxFree::operator()(ssl_ctx_st* ctx) const { SSL_CTX_free(ctx); }

void Stream::Reset() {
  ssl_.reset();  // no close_notify: the benchmark only drops connections
  fd_.Reset();
}

ssize_t Stream::TlsSend(const char* p, size_t n) {
  ERR_clear_error();
  size_t done = 0;
  if (SSL_write_ex(ssl_.get(), p, n, &done) == 1) return static_cast<ssize_t>(done);
  const int e = SSL_get_error(ssl_.get(), 0);
  errno = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? EAGAIN : (e == SSL_ERROR_SYSCALL && errno != 0 ? errno : EPROTO);
  return -1;
}

ssize_t Stream::TlsRecv(char* p, size_t n) {
  ERR_clear_error();
  size_t done = 0;
  if (SSL_read_ex(ssl_.get(), p, n, &done) == 1) return static_cast<ssize_t>(done);
  const int e = SSL_get_error(ssl_.get(), 0);
  if (e == SSL_ERROR_ZERO_RETURN) return 0;
  errno = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? EAGAIN : (e == SSL_ERROR_SYSCALL && errno != 0 ? errno : EPROTO);
  return -1;
}

bool Stream::TlsBuffered() const { return SSL_has_pending(ssl_.get()) == 1; }

Stream ConnectStream(const Address& address, std::string& err) {
  Stream s;
  s.fd_ = ConnectTcp(address, err);
  if (!s.fd_.valid() || address.tls == nullptr) return s;
  s.ssl_.reset(SSL_new(address.tls->get()));
  SSL* ssl = s.ssl_.get();
  if (ssl == nullptr || SSL_set_fd(ssl, s.fd_.get()) != 1) {
    err = TlsError("cannot start TLS");
    return Stream{};
  }
  in6_addr ip;
  const bool numeric = ::inet_pton(AF_INET, address.host.c_str(), &ip) == 1 ||
                       ::inet_pton(AF_INET6, address.host.c_str(), &ip) == 1;
  if (!numeric) SSL_set_tlsext_host_name(ssl, address.host.c_str());
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (address.tls->verify() && (numeric ? X509_VERIFY_PARAM_set1_ip_asc(param, address.host.c_str())
                                        : X509_VERIFY_PARAM_set1_host(param, address.host.c_str(), 0)) != 1) {
    err = TlsError("cannot set the name to check the certificate against");
    return Stream{};
  }
  // The handshake is bounded: a server that does not speak TLS would leave it waiting.
  timeval limit{kHandshakeTimeoutS, 0}, none{0, 0};
  ::setsockopt(s.fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(s.fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  ERR_clear_error();
  errno = 0;
  if (SSL_connect(ssl) != 1) {
    const int sys = errno;
    const long verified = SSL_get_verify_result(ssl);
    const std::string what = "TLS handshake with " + address.text + " failed";
    if (verified != X509_V_OK) err = what + ": the server's certificate: " + X509_verify_cert_error_string(verified);
    else if (ERR_peek_error() != 0) err = TlsError(what.c_str());
    else if (sys == EAGAIN || sys == EWOULDBLOCK)
      err = what + ": no answer within " + std::to_string(kHandshakeTimeoutS) + " s (not a TLS port?)";
    else err = what + ": " + (sys != 0 ? std::strerror(sys) : "the server closed the connection");
    return Stream{};
  }
  ::setsockopt(s.fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  ::setsockopt(s.fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  return s;
}

}  // namespace parley::bench
