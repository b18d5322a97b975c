// A raw client, independent of the client library; every wait ends at a
// deadline (After(kDefaultWait) when left out).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Frames.h"

namespace parley::test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Sanitized builds stretch deadlines by kSlowdown and memory bounds (shadow
// memory is resident too) by kMemoryFactor.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kSlowdown = 6, kMemoryFactor = 5;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr int kSlowdown = 3, kMemoryFactor = 2;
#else
inline constexpr int kSlowdown = 1, kMemoryFactor = 1;
#endif

// A deadline `d` from now.
inline Clock::time_point After(std::chrono::milliseconds d) { return Clock::now() + d * kSlowdown; }
inline constexpr std::chrono::milliseconds kDefaultWait = 5s;

// One reply frame, its bytes owned.
struct Frame {
  uint64_t type = 0;
  std::string body;  // after the type code
  std::string raw;   // the whole frame as it came off the wire
};

// One socket on 127.0.0.1; one thread may Send while another reads.
class Peer {
 public:
  Peer() = default;
  ~Peer() { Close(); }
  Peer(Peer&& o) noexcept { *this = std::move(o); }
  Peer& operator=(Peer&& o) noexcept;
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // True when the connection is under way or made; `rcvbuf` > 0 fixes the receive buffer.
  bool StartConnect(int port, int rcvbuf = 0);
  bool FinishConnect(Clock::time_point deadline = After(kDefaultWait));
  bool Connect(int port, Clock::time_point deadline = After(kDefaultWait), int rcvbuf = 0) {
    return StartConnect(port, rcvbuf) && FinishConnect(deadline);
  }

  // False on a socket error (see LastError) or at the deadline.
  bool Send(std::string_view bytes, Clock::time_point deadline = After(kDefaultWait));
  // Exactly n bytes, or one frame; nothing at EOF, on an error, at the deadline or for a malformed frame.
  std::optional<std::string> Read(size_t n, Clock::time_point deadline = After(kDefaultWait));
  std::optional<Frame> ReadFrame(Clock::time_point deadline = After(kDefaultWait));
  // Nothing when exactly `bytes` arrive, otherwise what came instead.
  std::optional<std::string> Expect(std::string_view bytes, Clock::time_point deadline = After(kDefaultWait));
  // True when the server closes the connection (EOF or reset) with no byte first.
  bool WaitEof(Clock::time_point deadline = After(kDefaultWait));
  // True when nothing arrives for `quiet`.
  bool Quiet(std::chrono::milliseconds quiet = 200ms);

  void ShutdownWrite();
  // Closes with a reset instead of an orderly close.
  void Abort();
  void Close();

  bool connected() const { return connected_; }
  int LastError() const { return err_.load(); }

  // One request: its status ("ok" true, "no" false), or a chat's ids, or a
  // message (sender, body); nothing for "no" to these two or anything malformed.
  std::optional<bool> Status(std::string_view request, Clock::time_point deadline = After(kDefaultWait));
  std::optional<std::vector<int64_t>> List(std::string_view chat, Clock::time_point deadline = After(kDefaultWait));
  std::optional<std::pair<std::string, std::string>> Fetch(std::string_view chat, int64_t id,
                                                           Clock::time_point deadline = After(kDefaultWait));

 private:
  bool Wait(short events, Clock::time_point deadline);
  // Receives into buf_ until it holds n bytes; false otherwise, with closed_ set at EOF or a reset.
  bool Fill(size_t n, Clock::time_point deadline);
  // The data frame after an "ok" to `request`.
  std::optional<Frame> DataReply(std::string_view request, Clock::time_point deadline);

  int fd_ = -1;
  bool connected_ = false, closed_ = false;
  std::atomic<int> err_{0};
  std::string buf_;
};

}  // namespace parley::test
