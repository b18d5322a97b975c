#include "security/Tls.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/err.h>

#include <algorithm>
#include <climits>

namespace parley {

namespace {

// The reason of the last OpenSSL failure on this thread, or `fallback`.
std::string OpenSslError(const char* fallback) {
  const unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  if (e == 0) return fallback;
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// A memory buffer of OpenSSL's that is kept, emptied, between bursts: one
// that grew past this (a long reply, a large record) is replaced by a new one
// once empty, so an idle connection holds no large buffer.
constexpr size_t kKeepBioBytes = 4096;

BIO* NewMemBio() {
  BIO* b = BIO_new(BIO_s_mem());
  if (b != nullptr) BIO_set_mem_eof_return(b, -1);  // empty means "more later", not the end
  return b;
}

bool Oversized(BIO* b) {
  BUF_MEM* mem = nullptr;
  BIO_get_mem_ptr(b, &mem);
  return mem != nullptr && mem->length == 0 && mem->max > kKeepBioBytes;
}

}  // namespace

std::unique_ptr<TlsContext> TlsContext::Load(const std::string& cert_file, const std::string& key_file,
                                             std::string& error) {
  ERR_clear_error();
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    error = "cannot make a TLS context: " + OpenSslError("out of memory");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  // No renegotiation (a client could make the server redo the costly part of
  // a handshake at will), no session state kept for resumption, and the
  // read and write buffers of an idle connection given back.
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx.get(), 0);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert_file.c_str()) != 1) {
    error = "cannot load the TLS certificate chain " + cert_file + ": " + OpenSslError("no certificate");
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = "cannot load the TLS private key " + key_file + ": " + OpenSslError("no key");
    return nullptr;
  }
  if (SSL_CTX_check_private_key(ctx.get()) != 1) {
    error = "the TLS private key " + key_file + " does not match the certificate " + cert_file + ": " +
            OpenSslError("mismatch");
    return nullptr;
  }
  return std::unique_ptr<TlsContext>(new TlsContext(std::move(ctx)));
}

std::unique_ptr<TlsSession> TlsSession::Accept(const TlsContext& ctx) {
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
  if (!ssl) return nullptr;
  BIO* in = NewMemBio();
  BIO* out = NewMemBio();
  if (in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    return nullptr;
  }
  SSL_set_bio(ssl.get(), in, out);  // ssl owns both from here
  SSL_set_accept_state(ssl.get());
  std::unique_ptr<TlsSession> s(new TlsSession(std::move(ssl)));
  s->in_ = in;
  s->out_ = out;
  return s;
}

TlsSession::Read TlsSession::Failure(int rc) {
  const int e = SSL_get_error(ssl_.get(), rc);
  if (e == SSL_ERROR_SSL) error_ = OpenSslError("protocol error");
  else error_ = "TLS error " + std::to_string(e);
  ERR_clear_error();
  return Read::kFailed;
}

TlsSession::Read TlsSession::Receive(const char* data, size_t n, std::string& plain) {
  while (n > 0) {
    const int w = BIO_write(in_, data, static_cast<int>(std::min<size_t>(n, INT_MAX)));
    if (w <= 0) {
      error_ = "out of memory";
      return Read::kFailed;
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
  ERR_clear_error();
  if (!established_) {
    const int rc = SSL_do_handshake(ssl_.get());
    TakeOutput();  // the handshake's replies, or an alert
    if (rc != 1) {
      if (SSL_get_error(ssl_.get(), rc) == SSL_ERROR_WANT_READ) return Read::kOk;
      return Failure(rc);
    }
    established_ = true;
  }
  constexpr size_t kStep = 16u << 10;  // one record's plaintext at most
  for (;;) {
    const size_t at = plain.size();
    plain.resize(at + kStep);
    size_t got = 0;
    const int rc = SSL_read_ex(ssl_.get(), plain.data() + at, kStep, &got);
    plain.resize(at + got);
    if (rc == 1) continue;
    const int e = SSL_get_error(ssl_.get(), rc);
    TakeOutput();  // anything OpenSSL answers by itself (a key update)
    if (Oversized(in_)) {
      BIO* fresh = NewMemBio();
      if (fresh != nullptr) {
        SSL_set0_rbio(ssl_.get(), fresh);  // frees the old one
        in_ = fresh;
      }
    }
    if (e == SSL_ERROR_WANT_READ) return Read::kOk;
    if (e == SSL_ERROR_ZERO_RETURN) return Read::kClosed;
    return Failure(rc);
  }
}

bool TlsSession::Seal(std::string_view plain) {
  ERR_clear_error();
  while (!plain.empty()) {
    size_t written = 0;
    const int rc = SSL_write_ex(ssl_.get(), plain.data(), plain.size(), &written);
    if (rc != 1) {
      Failure(rc);
      return false;
    }
    plain.remove_prefix(written);
  }
  TakeOutput();
  return true;
}

void TlsSession::TakeOutput() {
  const size_t n = BIO_ctrl_pending(out_);
  if (n == 0) return;
  if (sent_ == cipher_.size()) {
    cipher_.clear();
    sent_ = 0;
  }
  const size_t at = cipher_.size();
  cipher_.resize(at + n);
  const int got = BIO_read(out_, cipher_.data() + at, static_cast<int>(std::min<size_t>(n, INT_MAX)));
  cipher_.resize(at + static_cast<size_t>(std::max(got, 0)));
  if (Oversized(out_)) {
    if (BIO* fresh = NewMemBio()) {
      SSL_set0_wbio(ssl_.get(), fresh);  // frees the old one
      out_ = fresh;
    }
  }
}

void TlsSession::MarkSent(size_t n) {
  sent_ += n;
  if (sent_ < cipher_.size()) return;
  sent_ = 0;
  if (cipher_.capacity() > kKeepBioBytes) std::string().swap(cipher_);
  else cipher_.clear();
}

void TlsSession::DropOutput() {
  std::string().swap(cipher_);
  sent_ = 0;
}

}  // namespace parley
