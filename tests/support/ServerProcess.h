// Runs build/parleyd as a child process for integration tests.
//
// The server is started on an ephemeral port (--port 0); the port it bound is
// read from its "listening on" line on stderr. Standard output and standard
// error are collected by a background thread and can be searched while the
// server runs. The destructor terminates the server if it is still running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace parley::test {

// A loopback port that nothing listens on: bound by the kernel's choice, then
// released. Connecting to it is refused.
int ClosedLoopbackPort();

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts the server with `args` (added after "--port 0" unless `args`
  // names a port itself). `nofile` > 0 lowers RLIMIT_NOFILE (soft and hard)
  // in the child first. Returns false if it did not report a listening port
  // within the timeout; then `Stderr()` tells why.
  bool Start(std::vector<std::string> args = {}, long nofile = 0,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // Snapshots of everything the server wrote so far.
  std::string Stdout();
  std::string Stderr();

  // Waits until stdout (or stderr) contains `needle`; false on timeout.
  bool WaitStdout(const std::string& needle,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
  bool WaitStderr(const std::string& needle,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Sends `sig` and waits for the exit; returns the exit status, or 128 +
  // signal number, or -1 if it did not exit within the timeout (then it is killed).
  int Stop(int sig, std::chrono::milliseconds timeout = std::chrono::seconds(10));

  bool Running();

 private:
  bool Spawn(const std::vector<std::string>& args, long nofile);
  void Pump();
  bool WaitFor(const std::string& needle, bool err, std::chrono::milliseconds timeout);
  int Reap(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int port_ = 0;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int status_ = -1;
  std::thread pump_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string out_;
  std::string err_;
};

}  // namespace parley::test
