#include "Peer.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace parley::test {

Peer& Peer::operator=(Peer&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = std::exchange(o.fd_, -1);
    connected_ = std::exchange(o.connected_, false);
    err_ = o.err_.load();
    buf_ = std::move(o.buf_);
  }
  return *this;
}

bool Peer::StartConnect(int port, int rcvbuf) {
  Close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    err_ = errno;
    return false;
  }
  if (rcvbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (!connected_) err_ = errno;
  return connected_ || err_ == EINPROGRESS;
}

bool Peer::FinishConnect(Clock::time_point deadline) {
  if (fd_ < 0 || connected_) return connected_;
  if (!Wait(POLLOUT, deadline)) return false;
  int so_error = 0;
  socklen_t len = sizeof so_error;
  getsockopt(fd_, SOL_SOCKET, SO_ERROR, &so_error, &len);
  err_ = so_error;
  connected_ = so_error == 0;
  return connected_;
}

bool Peer::Wait(short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd_, events, 0};
    const int r = poll(&p, 1, static_cast<int>(left));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) {
      err_ = errno;
      return false;
    }
  }
}

bool Peer::Send(std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!Wait(POLLOUT, deadline)) return false;
    } else if (errno != EINTR) {
      err_ = errno;
      return false;
    }
  }
  return true;
}

bool Peer::Fill(size_t n, Clock::time_point deadline) {
  char tmp[65536];
  closed_ = false;
  while (buf_.size() < n) {
    const ssize_t got = recv(fd_, tmp, sizeof tmp, MSG_DONTWAIT);
    if (got > 0) {
      buf_.append(tmp, static_cast<size_t>(got));
    } else if (got == 0 || errno == ECONNRESET) {
      closed_ = true;
      return false;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!Wait(POLLIN, deadline)) return false;
    } else if (errno != EINTR) {
      err_ = errno;
      return false;
    }
  }
  return true;
}

std::optional<std::string> Peer::Read(size_t n, Clock::time_point deadline) {
  if (!Fill(n, deadline)) return std::nullopt;
  std::string out = buf_.substr(0, n);
  buf_.erase(0, n);
  return out;
}

std::optional<Frame> Peer::ReadFrame(Clock::time_point deadline) {
  if (!Fill(wire::kLengthSize, deadline)) return std::nullopt;
  const int32_t len = wire::LoadI32(buf_.data());
  if (len < static_cast<int32_t>(wire::kWordSize)) return std::nullopt;
  auto raw = Read(wire::kLengthSize + static_cast<size_t>(len), deadline);
  if (!raw) return std::nullopt;
  return Frame{wire::LoadU64(raw->data() + wire::kLengthSize), raw->substr(wire::kLengthSize + wire::kWordSize), *raw};
}

std::optional<std::string> Peer::Expect(std::string_view bytes, Clock::time_point deadline) {
  const bool full = Fill(bytes.size(), deadline);
  const std::string got = buf_.substr(0, std::min(buf_.size(), bytes.size()));
  buf_.erase(0, got.size());
  if (full && got == bytes) return std::nullopt;
  size_t at = 0;
  while (at < got.size() && got[at] == bytes[at]) ++at;
  auto show = [at](std::string_view s) { return ::testing::PrintToString(std::string(s.substr(at, 48))); };
  return std::string(full ? "different bytes" : "short read") + " (" + std::to_string(got.size()) + " of " +
         std::to_string(bytes.size()) + " bytes, first difference at " + std::to_string(at) + "): expected " +
         show(bytes) + ", got " + show(got);
}

bool Peer::WaitEof(Clock::time_point deadline) { return buf_.empty() && !Fill(1, deadline) && closed_; }

bool Peer::Quiet(std::chrono::milliseconds quiet) {
  pollfd p{fd_, POLLIN, 0};
  return buf_.empty() && poll(&p, 1, static_cast<int>(quiet.count())) == 0;
}

void Peer::ShutdownWrite() { shutdown(fd_, SHUT_WR); }

void Peer::Abort() {
  if (fd_ < 0) return;
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

void Peer::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  connected_ = false;
  buf_.clear();
}

std::optional<bool> Peer::Status(std::string_view request, Clock::time_point deadline) {
  if (request.size() < wire::kLengthSize + wire::kWordSize || !Send(request, deadline)) return std::nullopt;
  auto f = ReadFrame(deadline);
  const uint64_t type = wire::LoadU64(request.data() + wire::kLengthSize);
  if (f && f->raw == StatusFrame(type, true)) return true;
  if (f && f->raw == StatusFrame(type, false)) return false;
  return std::nullopt;
}

std::optional<Frame> Peer::DataReply(std::string_view request, Clock::time_point deadline) {
  if (Status(request, deadline) != true) return std::nullopt;
  auto f = ReadFrame(deadline);
  if (!f || f->type != wire::LoadU64(request.data() + wire::kLengthSize)) return std::nullopt;
  return f;
}

std::optional<std::vector<int64_t>> Peer::List(std::string_view chat, Clock::time_point deadline) {
  auto f = DataReply(GetChatReq(chat), deadline);
  if (!f) return std::nullopt;
  wire::BodyReader r(f->body);
  auto ids = r.IdList();
  if (!ids || !r.AtEnd()) return std::nullopt;
  return ids;
}

std::optional<std::pair<std::string, std::string>> Peer::Fetch(std::string_view chat, int64_t id,
                                                               Clock::time_point deadline) {
  auto f = DataReply(GetMsgReq(chat, id), deadline);
  if (!f) return std::nullopt;
  wire::BodyReader r(f->body);
  auto sender = r.String();
  auto body = r.String();
  if (!sender || !body || !r.AtEnd()) return std::nullopt;
  return std::make_pair(std::string(*sender), std::string(*body));
}

}  // namespace parley::test
