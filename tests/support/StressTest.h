// The base of tests that put load or faults on the real server: a deadline
// for the whole case (a watchdog), a server that must shut down cleanly when
// the case ends, and readers of the server's resource use from /proc.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Peer.h"
#include "ServerProcess.h"

namespace parley::test {

// Kills every registered server and ends the test process when the limit
// (stretched by kSlowdown) passes, so a hung case fails CI with a message
// instead of stalling it.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds limit, std::string what);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  void Protect(pid_t server);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::vector<pid_t> servers_;
  std::string what_;
  std::thread thread_;
};

// A case with a watchdog and a server that must exit with status 0 (which a
// sanitized server only gives when it found nothing) when the case ends.
class StressTest : public ::testing::Test {
 protected:
  explicit StressTest(std::chrono::seconds limit = std::chrono::seconds(90));
  void TearDown() override;

  // Starts the server (see ServerProcess::Start); fails the test if it does not come up.
  void StartServer(std::vector<std::string> args = {}, long nofile = 0, bool read_stdout = true);
  int port() const { return server_.port(); }
  ServerProcess& server() { return server_; }

  // Connects a peer; records a failure if it cannot.
  Peer Connected(Clock::time_point deadline);
  // Sends `request` and expects exactly `reply` back; false (after
  // recording a failure) otherwise.
  bool Exchange(Peer& p, std::string_view request, std::string_view reply, Clock::time_point deadline);
  // Stops the server with SIGTERM, expects status 0, and returns its stderr.
  std::string StopServer();

 private:
  Watchdog watchdog_;
  ServerProcess server_;
  bool started_ = false;
  bool stopped_ = false;
};

// utime + stime of `pid`, in clock ticks; -1 when unreadable.
long CpuTicks(pid_t pid);
// A "Vm..." field of /proc/PID/status in KiB (VmRSS, VmHWM); -1 when unreadable.
long VmKiB(pid_t pid, const char* field);
// Occurrences of `needle` in `text`.
size_t Count(std::string_view text, std::string_view needle);
// The lines of `text` that contain `needle`.
std::vector<std::string> LinesWith(std::string_view text, std::string_view needle);
// Lets this process hold `n` descriptors (raises the soft limit to the hard
// one); false when the hard limit is lower.
bool RaiseDescriptorLimit(size_t n);

}  // namespace parley::test
