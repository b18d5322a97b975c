// Shared pieces of the stress and fault tests: a raw peer whose every
// operation has a deadline (so that no test can hang on a server that stops
// answering), a per-test watchdog, a fixture that owns the server, and
// readers of the server's resource use from /proc.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ServerProcess.h"
#include "TestClient.h"

namespace parley::stress {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Sanitized builds run several times slower: deadlines (never counts) are
// stretched by kSlowdown.
// Their shadow memory also counts in the server's resident size: memory
// bounds are stretched by kMemoryFactor.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kSlowdown = 6;
inline constexpr int kMemoryFactor = 5;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr int kSlowdown = 3;
inline constexpr int kMemoryFactor = 2;
#else
inline constexpr int kSlowdown = 1;
inline constexpr int kMemoryFactor = 1;
#endif

inline Clock::time_point After(std::chrono::milliseconds d) { return Clock::now() + d * kSlowdown; }

// One client socket on 127.0.0.1. Non-blocking underneath; every call that
// waits takes a deadline and gives up when it passes.
class Peer {
 public:
  Peer() = default;
  ~Peer();
  Peer(Peer&& o) noexcept;
  Peer& operator=(Peer&& o) noexcept;
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Starts connecting; true when the connection is under way or made.
  // `rcvbuf` > 0 fixes the socket's receive buffer (before the handshake).
  bool StartConnect(int port, int rcvbuf = 0);
  // Waits for a started connection to complete.
  bool FinishConnect(Clock::time_point deadline);
  bool Connect(int port, Clock::time_point deadline) { return StartConnect(port) && FinishConnect(deadline); }

  // Sends all of `bytes`. False on a socket error (see LastError) or at the deadline.
  bool Send(std::string_view bytes, Clock::time_point deadline);
  // Reads exactly n bytes.
  std::optional<std::string> Read(size_t n, Clock::time_point deadline);
  // Reads one reply frame (the raw bytes are kept in Frame::raw).
  std::optional<test::Frame> ReadFrame(Clock::time_point deadline);
  // Reads bytes.size() bytes and compares them with `bytes`. On a mismatch
  // or a short read returns a description of what came instead.
  std::optional<std::string> Expect(std::string_view bytes, Clock::time_point deadline);
  // True when the server closes the connection (EOF or reset) before the
  // deadline with no byte arriving first.
  bool WaitEof(Clock::time_point deadline);
  // True when nothing arrives for `quiet`.
  bool Quiet(std::chrono::milliseconds quiet);

  void ShutdownWrite();
  // Closes with a reset instead of an orderly close.
  void Abort();
  void Close();

  int fd() const { return fd_; }
  bool connected() const { return connected_; }
  // errno of the last failed socket call.
  int LastError() const { return err_; }

 private:
  // Waits for `events` on the socket; false at the deadline.
  bool Wait(short events, Clock::time_point deadline);
  // Moves received bytes into buf_ until it holds n; false at EOF or deadline.
  bool Fill(size_t n, Clock::time_point deadline);

  int fd_ = -1;
  bool connected_ = false;
  int err_ = 0;
  std::string buf_;
};

// Kills every registered server and ends the test process when the deadline
// passes, so a hung case fails CI with a message instead of stalling it.
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

// The base of every stress test: a deadline for the whole case and a server
// that must shut down cleanly (status 0, which a sanitized server only gives
// when it found nothing) when the case ends.
class StressTest : public ::testing::Test {
 protected:
  explicit StressTest(std::chrono::seconds limit = std::chrono::seconds(90));
  void TearDown() override;

  // Starts the server (see ServerProcess::Start); fails the test if it does not come up.
  void StartServer(std::vector<std::string> args = {}, long nofile = 0);
  int port() const { return server_.port(); }
  test::ServerProcess& server() { return server_; }

  // Connects a peer and fails the test if it cannot.
  Peer Connected(Clock::time_point deadline);

  // Sends `request` and expects exactly `reply` back. Returns false (after
  // recording a failure) otherwise.
  bool Exchange(Peer& p, std::string_view request, std::string_view reply, Clock::time_point deadline);

  // Stops the server with SIGTERM, expects status 0, and returns its stderr.
  std::string StopServer();

 private:
  Watchdog watchdog_;
  test::ServerProcess server_;
  bool started_ = false;
  bool stopped_ = false;
};

// ---- Reply frames built the way the server must send them ------------------

// Status "ok"/"no" for `type` (22 bytes).
inline std::string Status(uint64_t type, bool ok) { return test::StatusFrame(type, ok); }
// The data frame of a list reply.
std::string ListFrame(const std::vector<int64_t>& ids);
// The data frame of a fetch reply.
std::string MessageFrame(std::string_view sender, std::string_view body);

// ---- The server's resource use ---------------------------------------------

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

}  // namespace parley::stress
