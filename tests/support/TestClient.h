// A deliberately simple blocking client for integration tests: raw bytes in,
// whole reply frames out, every read bounded by a timeout. Independent of the
// client library so that library bugs cannot hide server bugs.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Wire.h"

namespace parley::test {

// A reply frame with its bytes owned.
struct Frame {
  uint64_t type = 0;
  std::string body;  // after the type code
  std::string raw;   // the whole frame as it came off the wire
};

// Request payload encoders (each returns one complete frame).
std::string Register(std::string_view user);
std::string CreateChatReq(std::string_view user, std::string_view chat);
std::string JoinChatReq(std::string_view user, std::string_view chat);
std::string SendReq(std::string_view user, std::string_view chat, std::string_view body);
std::string EditReq(std::string_view user, std::string_view chat, int64_t id, std::string_view body);
std::string DeleteReq(std::string_view user, std::string_view chat, int64_t id);
std::string ForwardReq(std::string_view user, std::string_view from, std::string_view to, int64_t id);
std::string GetMsgReq(std::string_view chat, int64_t id);
std::string GetChatReq(std::string_view chat);
// A frame with an arbitrary payload.
std::string RawFrame(std::string_view payload);

// The 22-byte status reply the server sends for `type`.
std::string StatusFrame(uint64_t type, bool ok);

class TestClient {
 public:
  TestClient() = default;
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;
  TestClient(TestClient&& o) noexcept;

  bool Connect(int port, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  bool Send(std::string_view bytes);
  // Reads one whole frame; nothing on timeout, EOF or a malformed length.
  std::optional<Frame> Read(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Reads exactly n bytes; nothing on timeout or EOF.
  std::optional<std::string> ReadBytes(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when the peer closed (EOF or reset) within the timeout, with no byte arriving.
  bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when nothing arrives within `quiet`.
  bool Silent(std::chrono::milliseconds quiet = std::chrono::milliseconds(200));
  void ShutdownWrite();
  void Close();
  int fd() const { return fd_; }

  // Sends a request and reads its status frame: "ok" -> true, "no" -> false,
  // anything else (or nothing) -> nullopt.
  std::optional<bool> Status(std::string_view request);
  // Reads one status frame.
  std::optional<bool> ReadStatus();
  // GetChat: nothing on "no" or on a malformed answer.
  std::optional<std::vector<int64_t>> List(std::string_view chat);
  // GetChatMsg: the (sender, body) pair, nothing on "no".
  std::optional<std::pair<std::string, std::string>> Fetch(std::string_view chat, int64_t id);

 private:
  bool Fill(size_t n, std::chrono::milliseconds timeout);
  int fd_ = -1;
  std::string buf_;
};

}  // namespace parley::test
