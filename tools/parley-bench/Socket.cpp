#include "Socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace parley::bench {

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
  out.text = host + ":" + service;
  ::freeaddrinfo(res);
  return true;
}

UniqueFd Connect(const Address& address, std::string& err) {
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

}  // namespace parley::bench
