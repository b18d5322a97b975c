#include "FakeServer.h"

#include <sys/socket.h>
#include <unistd.h>

#include "ServerProcess.h"
#include "protocol/Wire.h"

namespace parley::test {

FakeServer::FakeServer(Handler handler) : handler_(std::move(handler)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int port = BindLoopback(listen_fd_);
  if (port <= 0 || ::listen(listen_fd_, 128) != 0) return;
  port_ = port;
  acceptor_ = std::thread([this] {
    while (!stopping_) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;  // shut down when stopping, or a transient failure
      std::lock_guard lk(mu_);
      client_fds_.push_back(fd);
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  });
}

// Shutting the sockets down wakes the threads; they are closed once joined.
FakeServer::~FakeServer() {
  stopping_ = true;
  if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard lk(mu_);
    for (int fd : client_fds_) ::shutdown(fd, SHUT_RDWR);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  for (int fd : client_fds_) ::close(fd);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

void FakeServer::Serve(int fd) {
  std::string in, out;
  char chunk[8192];
  for (bool open = true; open;) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    in.append(chunk, static_cast<size_t>(n));
    size_t used = 0;
    while (open && in.size() - used >= wire::kLengthSize) {
      const int32_t len = wire::LoadI32(in.data() + used);
      if (len < 8 || in.size() - used - wire::kLengthSize < static_cast<size_t>(len)) break;
      std::lock_guard lk(mu_);
      open = handler_(std::string_view(in).substr(used + wire::kLengthSize, static_cast<size_t>(len)), out);
      used += wire::kLengthSize + static_cast<size_t>(len);
    }
    in.erase(0, used);
    if (!out.empty() && ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) break;
    out.clear();
  }
  ::shutdown(fd, SHUT_RDWR);
}

}  // namespace parley::test
