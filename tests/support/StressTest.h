// The base of the load and fault tests, and readers of a process's resource use.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <future>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Peer.h"
#include "ServerProcess.h"

namespace parley::test {

// Past the limit (times kSlowdown) kills the server and ends the test process.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds limit, std::string what);
  ~Watchdog();
  void Protect(pid_t server) { server_ = server; }

 private:
  std::promise<void> done_;
  std::atomic<pid_t> server_{-1};
  std::thread thread_;
};

// A case under a watchdog, whose server must exit with status 0 at its end.
class StressTest : public ::testing::Test {
 protected:
  explicit StressTest(std::chrono::seconds limit = std::chrono::seconds(90));
  void TearDown() override;

  // As ServerProcess::Start; fails the test if the server does not come up.
  void StartServer(std::vector<std::string> args = {}, long nofile = 0, bool read_stdout = true);
  int port() const { return server_.port(); }
  // Every wait of the case ends by this, before the watchdog fires.
  const Clock::time_point deadline = After(80s);
  ServerProcess& server() { return server_; }

  // Each records a failure when it fails (Exchange by `by`, else `deadline`).
  Peer Connected();
  bool Exchange(Peer& p, std::string_view request, std::string_view reply, Clock::time_point by = {});
  Peer Owner(const std::string& user, const std::string& chat);
  // SIGTERM; expects status 0 and returns the server's stderr.
  std::string StopServer();

 private:
  Watchdog watchdog_;
  ServerProcess server_;
  bool started_ = false;
  bool stopped_ = false;
};

// utime + stime of `pid`, in clock ticks; -1 when unreadable.
long CpuTicks(pid_t pid);
// A "Vm..." field of /proc/PID/status in KiB; -1 when unreadable.
long VmKiB(pid_t pid, const char* field);
// Occurrences of `needle` in `text`.
size_t Count(std::string_view text, std::string_view needle);
// Raises the soft descriptor limit to the hard one; false when that is below `n`.
bool RaiseDescriptorLimit(size_t n);

}  // namespace parley::test
