// A stand-in server on 127.0.0.1. The handler gets each request's payload (one
// call at a time), appends a reply, and returns false to close the connection.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace parley::test {

class FakeServer {
 public:
  using Handler = std::function<bool(std::string_view payload, std::string& out)>;

  explicit FakeServer(Handler handler);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // 0 when it could not listen.
  int port() const { return port_; }

 private:
  void Serve(int fd);

  Handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mu_;  // guards the two below, and serializes the handler
  std::vector<int> client_fds_;
  std::vector<std::thread> workers_;
};

}  // namespace parley::test
