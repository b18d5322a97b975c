// A stand-in for the server on 127.0.0.1, for tests of the programs that talk
// to it: it can answer wrongly on purpose. One thread per connection cuts the
// requests into frames and hands each payload to the handler (one call at a
// time, whatever the connection), which appends its reply bytes; the handler
// returns false to have the connection closed once they are sent.
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

  // The port it listens on; 0 when it could not listen.
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
