#include "TestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace parley::test {

using namespace parley::wire;

std::string Register(std::string_view user) {
  std::string f;
  FrameBuilder(f, EV_REGISTER).String(user).End();
  return f;
}
std::string CreateChatReq(std::string_view user, std::string_view chat) {
  std::string f;
  FrameBuilder(f, EV_CREATECHAT).String(user).String(chat).End();
  return f;
}
std::string JoinChatReq(std::string_view user, std::string_view chat) {
  std::string f;
  FrameBuilder(f, EV_JOINCHAT).String(user).String(chat).End();
  return f;
}
std::string SendReq(std::string_view user, std::string_view chat, std::string_view body) {
  std::string f;
  FrameBuilder(f, EV_SENGMSG).String(user).String(chat).String(body).End();
  return f;
}
std::string EditReq(std::string_view user, std::string_view chat, int64_t id, std::string_view body) {
  std::string f;
  FrameBuilder(f, EV_EDITMSG).String(user).String(chat).Int(static_cast<uint64_t>(id)).String(body).End();
  return f;
}
std::string DeleteReq(std::string_view user, std::string_view chat, int64_t id) {
  std::string f;
  FrameBuilder(f, EV_DELETEMSG).String(user).String(chat).Int(static_cast<uint64_t>(id)).End();
  return f;
}
std::string ForwardReq(std::string_view user, std::string_view from, std::string_view to, int64_t id) {
  std::string f;
  FrameBuilder(f, EV_FORWARDMSG).String(user).String(from).String(to).Int(static_cast<uint64_t>(id)).End();
  return f;
}
std::string GetMsgReq(std::string_view chat, int64_t id) {
  std::string f;
  FrameBuilder(f, EV_GETMSG).String(chat).Int(static_cast<uint64_t>(id)).End();
  return f;
}
std::string GetChatReq(std::string_view chat) {
  std::string f;
  FrameBuilder(f, EV_GETCHAT).String(chat).End();
  return f;
}
std::string RawFrame(std::string_view payload) {
  std::string f;
  PutU32(f, static_cast<uint32_t>(payload.size()));
  f.append(payload);
  return f;
}
std::string StatusFrame(uint64_t type, bool ok) {
  std::string f;
  PutU32(f, 18);
  PutU64(f, type);
  PutString(f, ok ? "ok" : "no");
  return f;
}

TestClient::~TestClient() { Close(); }

TestClient::TestClient(TestClient&& o) noexcept : fd_(std::exchange(o.fd_, -1)), buf_(std::move(o.buf_)) {}

bool TestClient::Connect(int port, std::chrono::milliseconds timeout) {
  Close();
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      int one = 1;
      setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return true;
    }
    Close();
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(10000);
  }
}

bool TestClient::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

namespace {

// Waits until `fd` is readable; false when the deadline passes first.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

}  // namespace

bool TestClient::Fill(size_t n, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char tmp[65536];
  while (buf_.size() < n) {
    if (!WaitReadable(fd_, deadline)) return false;
    ssize_t got = recv(fd_, tmp, sizeof tmp, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buf_.append(tmp, static_cast<size_t>(got));
  }
  return true;
}

std::optional<std::string> TestClient::ReadBytes(size_t n, std::chrono::milliseconds timeout) {
  if (!Fill(n, timeout)) return std::nullopt;
  std::string out = buf_.substr(0, n);
  buf_.erase(0, n);
  return out;
}

std::optional<Frame> TestClient::Read(std::chrono::milliseconds timeout) {
  if (!Fill(kLengthSize, timeout)) return std::nullopt;
  int32_t len = LoadI32(buf_.data());
  if (len < static_cast<int32_t>(kWordSize)) return std::nullopt;
  size_t total = kLengthSize + static_cast<size_t>(len);
  if (!Fill(total, timeout)) return std::nullopt;
  Frame f;
  f.raw = buf_.substr(0, total);
  f.type = LoadU64(buf_.data() + kLengthSize);
  f.body = buf_.substr(kLengthSize + kWordSize, static_cast<size_t>(len) - kWordSize);
  buf_.erase(0, total);
  return f;
}

bool TestClient::WaitClosed(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char tmp[4096];
  while (true) {
    if (!WaitReadable(fd_, deadline)) return false;
    ssize_t got = recv(fd_, tmp, sizeof tmp, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) return true;
    if (got < 0) return errno == ECONNRESET || errno == EPIPE;
    // Data still arriving (e.g. replies queued before the close): keep draining.
  }
}

bool TestClient::Silent(std::chrono::milliseconds quiet) {
  if (!buf_.empty()) return false;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(quiet.count())) == 0;
}

void TestClient::ShutdownWrite() { shutdown(fd_, SHUT_WR); }

void TestClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  buf_.clear();
}

std::optional<bool> TestClient::ReadStatus() {
  auto f = Read();
  if (!f) return std::nullopt;
  BodyReader r(f->body);
  auto s = r.String();
  if (!s || !r.AtEnd()) return std::nullopt;
  if (*s == "ok") return true;
  if (*s == "no") return false;
  return std::nullopt;
}

std::optional<bool> TestClient::Status(std::string_view request) {
  if (!Send(request)) return std::nullopt;
  return ReadStatus();
}

std::optional<std::vector<int64_t>> TestClient::List(std::string_view chat) {
  auto st = Status(GetChatReq(chat));
  if (!st || !*st) return std::nullopt;
  auto f = Read();
  if (!f || f->type != EV_GETCHAT) return std::nullopt;
  BodyReader r(f->body);
  auto ids = r.IdList();
  if (!ids || !r.AtEnd()) return std::nullopt;
  return ids;
}

std::optional<std::pair<std::string, std::string>> TestClient::Fetch(std::string_view chat, int64_t id) {
  auto st = Status(GetMsgReq(chat, id));
  if (!st || !*st) return std::nullopt;
  auto f = Read();
  if (!f || f->type != EV_GETMSG) return std::nullopt;
  BodyReader r(f->body);
  auto sender = r.String();
  auto body = r.String();
  if (!sender || !body || !r.AtEnd()) return std::nullopt;
  return std::make_pair(std::string(*sender), std::string(*body));
}

}  // namespace parley::test
