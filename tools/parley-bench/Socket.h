// Small socket helpers for parley-bench: an owning descriptor, address
// resolution and a connect with TCP_NODELAY. Failures come back as values with
// a human-readable reason; nothing here throws.
#pragma once

#include <sys/socket.h>

#include <string>
#include <utility>

namespace parley::bench {

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

// A resolved server address.
struct Address {
  sockaddr_storage addr{};
  socklen_t len = 0;
  std::string text;  // "host:port", for messages
};

// Resolves `host` (a name or a numeric address) and `port`. Returns false and
// sets `err` if the host cannot be resolved.
bool Resolve(const std::string& host, uint16_t port, Address& out, std::string& err);

// Opens a blocking TCP connection with TCP_NODELAY set. Returns an invalid
// descriptor and sets `err` on failure.
UniqueFd Connect(const Address& address, std::string& err);

// Switches `fd` to non-blocking mode. Returns false on failure.
bool SetNonBlocking(int fd);

// Raises the soft limit of open descriptors to what `needed` asks, up to the
// hard limit. Returns false if the hard limit is lower than `needed`.
bool RaiseFileLimit(unsigned long needed);

}  // namespace parley::bench
