// A raw client of the server for the tests: bytes in, bytes and whole reply
// frames out, independent of the client library so that its bugs cannot hide
// the server's. The socket is non-blocking underneath and every call that
// waits gives up at a deadline, so no test can hang on a server that stops
// answering. A deadline left out is After(kDefaultWait).
//
//   Peer p;
//   ASSERT_TRUE(p.Connect(port));
//   EXPECT_EQ(p.Status(Register("alice")), true);            // "ok"
//   ASSERT_TRUE(p.Send(GetChatReq("room")));
//   EXPECT_FALSE(p.Expect(StatusFrame(wire::EV_GETCHAT, false)));  // nothing: the bytes matched
//
// Frames.h (included) builds the requests and the replies to compare with.
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

// Sanitized builds run several times slower: deadlines (never counts) are
// stretched by kSlowdown. Their shadow memory counts in a process's resident
// size too: memory bounds are stretched by kMemoryFactor.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kSlowdown = 6, kMemoryFactor = 5;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr int kSlowdown = 3, kMemoryFactor = 2;
#else
inline constexpr int kSlowdown = 1, kMemoryFactor = 1;
#endif

// A deadline `d` from now, stretched in sanitized builds.
inline Clock::time_point After(std::chrono::milliseconds d) { return Clock::now() + d * kSlowdown; }
inline constexpr std::chrono::milliseconds kDefaultWait = 5s;

// One reply frame, its bytes owned.
struct Frame {
  uint64_t type = 0;
  std::string body;  // after the type code
  std::string raw;   // the whole frame as it came off the wire
};

// One client socket on 127.0.0.1. Used by one thread at a time, except that
// one thread may Send while another reads (Read, ReadFrame, Expect, WaitEof).
class Peer {
 public:
  Peer() = default;
  ~Peer() { Close(); }
  Peer(Peer&& o) noexcept { *this = std::move(o); }
  Peer& operator=(Peer&& o) noexcept;
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Starts connecting to `port`; true when the connection is under way or
  // made. `rcvbuf` > 0 fixes the socket's receive buffer (before the handshake).
  bool StartConnect(int port, int rcvbuf = 0);
  // Waits for a started connection to complete.
  bool FinishConnect(Clock::time_point deadline = After(kDefaultWait));
  bool Connect(int port, Clock::time_point deadline = After(kDefaultWait), int rcvbuf = 0) {
    return StartConnect(port, rcvbuf) && FinishConnect(deadline);
  }

  // Sends all of `bytes`; false on a socket error (see LastError) or at the deadline.
  bool Send(std::string_view bytes, Clock::time_point deadline = After(kDefaultWait));
  // Reads exactly n bytes; nothing at EOF, on an error or at the deadline.
  std::optional<std::string> Read(size_t n, Clock::time_point deadline = After(kDefaultWait));
  // Reads one reply frame; nothing as for Read, or when its length cannot hold a type code.
  std::optional<Frame> ReadFrame(Clock::time_point deadline = After(kDefaultWait));
  // Reads bytes.size() bytes and compares them with `bytes`: nothing when
  // they match, otherwise a description of what came instead (or how little).
  std::optional<std::string> Expect(std::string_view bytes, Clock::time_point deadline = After(kDefaultWait));
  // True when the server closes the connection (EOF or reset) before the
  // deadline with no byte arriving first.
  bool WaitEof(Clock::time_point deadline = After(kDefaultWait));
  // True when nothing arrives for `quiet`.
  bool Quiet(std::chrono::milliseconds quiet = 200ms);

  void ShutdownWrite();
  // Closes with a reset instead of an orderly close.
  void Abort();
  void Close();

  int fd() const { return fd_; }
  bool connected() const { return connected_; }
  // errno of the last failed socket call.
  int LastError() const { return err_.load(); }

  // ---- Conveniences over one request ----
  // Sends `request` and reads its status reply: true for "ok", false for
  // "no"; nothing for anything else (a wrong type code, a malformed or
  // missing frame).
  std::optional<bool> Status(std::string_view request, Clock::time_point deadline = After(kDefaultWait));
  // Lists `chat`: its ids, or nothing on "no" or a malformed answer.
  std::optional<std::vector<int64_t>> List(std::string_view chat, Clock::time_point deadline = After(kDefaultWait));
  // Fetches message `id` of `chat`: (sender, body), or nothing on "no" or a malformed answer.
  std::optional<std::pair<std::string, std::string>> Fetch(std::string_view chat, int64_t id,
                                                           Clock::time_point deadline = After(kDefaultWait));

 private:
  // Waits for `events` on the socket; false at the deadline.
  bool Wait(short events, Clock::time_point deadline);
  // Moves received bytes into buf_ until it holds n; false at EOF, on an error or at the deadline.
  bool Fill(size_t n, Clock::time_point deadline);
  // Sends `request` and reads its status reply, then the data frame of an "ok" (type checked).
  std::optional<Frame> DataReply(std::string_view request, Clock::time_point deadline);

  int fd_ = -1;
  bool connected_ = false;
  std::atomic<int> err_{0};
  std::string buf_;
};

}  // namespace parley::test
