// A small in-process stand-in for the chat server that can be told to answer
// wrongly, so the tests can prove that parley-bench notices wrong and missing
// replies instead of timing them. It serves register, create, join, send,
// fetch and list on 127.0.0.1 with one thread per connection; it is slow and
// simple on purpose and is used only by the benchmark tool's tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace parley::test {

class FakeServer {
 public:
  enum class Fault {
    kNone,          // answers like the real server
    kFetchSaysNo,   // every fetch is answered "no"
    kCorruptFetch,  // fetched bodies come back with their first byte changed
    kStaleList,     // every listing after the first leaves out the newest id
    kCloseOnSend,   // a send to a chat named "...send" closes the connection
  };

  explicit FakeServer(Fault fault) : fault_(fault) {}
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // Listens on an ephemeral loopback port. Returns false on failure.
  bool Start();
  int port() const { return port_; }

 private:
  struct Message {
    std::string sender, body;
  };
  struct Chat {
    std::set<std::string> members;
    std::vector<int64_t> ids;
  };

  void AcceptLoop();
  void Serve(int fd);
  // Handles one request payload; appends the reply frames to `out`.
  // Returns false when the connection must be closed.
  bool Handle(std::string_view payload, std::string& out);

  const Fault fault_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;

  std::mutex mu_;  // guards everything below
  std::vector<int> client_fds_;
  std::vector<std::thread> workers_;
  std::set<std::string> users_;
  std::map<std::string, Chat> chats_;
  std::vector<Message> messages_;  // id = index
  int lists_served_ = 0;
};

}  // namespace parley::test
