// TLS for the server's connections, with OpenSSL.
//
// A TlsContext holds the server's certificate chain and key and the protocol
// settings shared by every connection. A TlsSession is one connection's TLS
// state over memory buffers: the socket is never handed to OpenSSL. The
// network thread feeds it the ciphertext it received and takes plaintext
// out; the sending side hands it plaintext and sends the ciphertext it
// makes. A session is not thread-safe: its connection calls it under its
// own mutex only.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace parley {

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

class TlsContext {
 public:
  // Loads the PEM certificate chain `cert_file` (the server's certificate
  // first) and its private key `key_file`. Null on failure, with the reason
  // in `error`.
  static std::unique_ptr<TlsContext> Load(const std::string& cert_file, const std::string& key_file,
                                          std::string& error);
  SSL_CTX* get() const { return ctx_.get(); }

 private:
  explicit TlsContext(std::unique_ptr<SSL_CTX, SslCtxFree> ctx) : ctx_(std::move(ctx)) {}
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx_;
};

class TlsSession {
 public:
  // The server's side of one connection; null when OpenSSL cannot make one.
  static std::unique_ptr<TlsSession> Accept(const TlsContext& ctx);

  enum class Read {
    kOk,      // everything fed was taken; any plaintext was appended
    kClosed,  // the peer ended the session (close_notify)
    kFailed,  // handshake or protocol failure: see error()
  };
  // Feeds ciphertext received from the peer, runs the handshake while it is
  // not finished, and appends every plaintext byte it yields to `plain`.
  // Handshake replies (and alerts) are left in the ciphertext output.
  Read Receive(const char* data, size_t n, std::string& plain);
  // Encrypts `plain` into the ciphertext output. False on failure.
  bool Seal(std::string_view plain);

  bool Established() const { return established_; }
  // The reason of the last failure, for a log line.
  const std::string& error() const { return error_; }

  // Ciphertext waiting to be sent: Cipher() from Sent() on.
  std::string_view Unsent() const { return std::string_view(cipher_).substr(sent_); }
  size_t UnsentSize() const { return cipher_.size() - sent_; }
  // `n` more bytes of Unsent() went out.
  void MarkSent(size_t n);
  // Forgets unsent ciphertext (the connection failed).
  void DropOutput();

 private:
  explicit TlsSession(std::unique_ptr<SSL, SslFree> ssl) : ssl_(std::move(ssl)) {}
  // Moves what OpenSSL wrote to its output buffer into cipher_.
  void TakeOutput();
  // Records the failure of an SSL call that returned `rc`.
  Read Failure(int rc);

  std::unique_ptr<SSL, SslFree> ssl_;
  BIO* in_ = nullptr;   // owned by ssl_
  BIO* out_ = nullptr;  // owned by ssl_
  bool established_ = false;
  std::string cipher_;  // made, not yet all sent
  size_t sent_ = 0;
  std::string error_;
};

}  // namespace parley
