#include "StressSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "protocol/Wire.h"

namespace parley::stress {

// ---- Peer ------------------------------------------------------------------

Peer::~Peer() { Close(); }

Peer::Peer(Peer&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)), connected_(o.connected_), err_(o.err_), buf_(std::move(o.buf_)) {}

Peer& Peer::operator=(Peer&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = std::exchange(o.fd_, -1);
    connected_ = o.connected_;
    err_ = o.err_;
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
  if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    connected_ = true;
    return true;
  }
  err_ = errno;
  return errno == EINPROGRESS;
}

bool Peer::FinishConnect(Clock::time_point deadline) {
  if (fd_ < 0) return false;
  if (connected_) return true;
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
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!Wait(POLLOUT, deadline)) return false;
      continue;
    }
    err_ = errno;
    return false;
  }
  return true;
}

bool Peer::Fill(size_t n, Clock::time_point deadline) {
  char tmp[65536];
  while (buf_.size() < n) {
    const ssize_t got = recv(fd_, tmp, sizeof tmp, MSG_DONTWAIT);
    if (got > 0) {
      buf_.append(tmp, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      err_ = errno;
      return false;
    }
    if (!Wait(POLLIN, deadline)) return false;
  }
  return true;
}

std::optional<std::string> Peer::Read(size_t n, Clock::time_point deadline) {
  if (!Fill(n, deadline)) return std::nullopt;
  std::string out = buf_.substr(0, n);
  buf_.erase(0, n);
  return out;
}

std::optional<test::Frame> Peer::ReadFrame(Clock::time_point deadline) {
  if (!Fill(wire::kLengthSize, deadline)) return std::nullopt;
  const int32_t len = wire::LoadI32(buf_.data());
  if (len < static_cast<int32_t>(wire::kWordSize)) return std::nullopt;
  const size_t total = wire::kLengthSize + static_cast<size_t>(len);
  if (!Fill(total, deadline)) return std::nullopt;
  test::Frame f;
  f.raw = buf_.substr(0, total);
  f.type = wire::LoadU64(buf_.data() + wire::kLengthSize);
  f.body = buf_.substr(wire::kLengthSize + wire::kWordSize, static_cast<size_t>(len) - wire::kWordSize);
  buf_.erase(0, total);
  return f;
}

namespace {
std::string Hex(std::string_view s, size_t max = 48) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < s.size() && i < max; ++i) {
    std::snprintf(b, sizeof b, "%02x ", static_cast<unsigned char>(s[i]));
    out += b;
  }
  if (s.size() > max) out += "...";
  return out;
}
}  // namespace

std::optional<std::string> Peer::Expect(std::string_view bytes, Clock::time_point deadline) {
  const bool full = Fill(bytes.size(), deadline);
  const std::string got = buf_.substr(0, std::min(buf_.size(), bytes.size()));
  buf_.erase(0, got.size());
  if (full && got == bytes) return std::nullopt;
  size_t at = 0;
  while (at < got.size() && got[at] == bytes[at]) ++at;
  std::ostringstream why;
  why << (full ? "different bytes" : "short read") << " (" << got.size() << " of " << bytes.size()
      << " bytes, first difference at " << at << "): expected [" << Hex(bytes.substr(at)) << "] got ["
      << Hex(std::string_view(got).substr(at)) << "]";
  return why.str();
}

bool Peer::WaitEof(Clock::time_point deadline) {
  if (!buf_.empty()) return false;
  char tmp[4096];
  for (;;) {
    const ssize_t got = recv(fd_, tmp, sizeof tmp, MSG_DONTWAIT);
    if (got == 0) return true;
    if (got > 0) return false;
    if (errno == EINTR) continue;
    if (errno == ECONNRESET || errno == EPIPE) return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (!Wait(POLLIN, deadline)) return false;
  }
}

bool Peer::Quiet(std::chrono::milliseconds quiet) {
  if (!buf_.empty()) return false;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(quiet.count())) == 0;
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

// ---- Watchdog --------------------------------------------------------------

Watchdog::Watchdog(std::chrono::seconds limit, std::string what) : what_(std::move(what)) {
  const auto deadline = Clock::now() + limit * kSlowdown;
  thread_ = std::thread([this, deadline, limit] {
    std::unique_lock lk(mu_);
    if (cv_.wait_until(lk, deadline, [this] { return done_; })) return;
    std::fprintf(stderr, "\nstress: %s did not finish within %lld s; killing its server and giving up\n",
                 what_.c_str(), static_cast<long long>(limit.count() * kSlowdown));
    for (pid_t pid : servers_) kill(pid, SIGKILL);
    std::fflush(stderr);
    _exit(124);
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard lk(mu_);
    done_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void Watchdog::Protect(pid_t server) {
  std::lock_guard lk(mu_);
  servers_.push_back(server);
}

// ---- Fixture ---------------------------------------------------------------

namespace {
std::string CurrentTestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? std::string(info->test_suite_name()) + "." + info->name() : "a stress test";
}
}  // namespace

StressTest::StressTest(std::chrono::seconds limit) : watchdog_(limit, CurrentTestName()) {}

void StressTest::StartServer(std::vector<std::string> args, long nofile) {
  ASSERT_TRUE(server_.Start(std::move(args), nofile)) << "the server did not start:\n" << server_.Stderr();
  watchdog_.Protect(server_.pid());
  started_ = true;
}

std::string StressTest::StopServer() {
  stopped_ = true;
  const int status = server_.Stop(SIGTERM, std::chrono::seconds(20) * kSlowdown);
  const std::string err = server_.Stderr();
  EXPECT_EQ(status, 0) << "the server did not shut down cleanly; its stderr:\n" << err;
  return err;
}

void StressTest::TearDown() {
  if (started_ && !stopped_) StopServer();
}

Peer StressTest::Connected(Clock::time_point deadline) {
  Peer p;
  EXPECT_TRUE(p.Connect(port(), deadline)) << "cannot connect: " << std::strerror(p.LastError());
  return p;
}

bool StressTest::Exchange(Peer& p, std::string_view request, std::string_view reply, Clock::time_point deadline) {
  if (!p.Send(request, deadline)) {
    ADD_FAILURE() << "cannot send: " << std::strerror(p.LastError());
    return false;
  }
  if (auto why = p.Expect(reply, deadline)) {
    ADD_FAILURE() << "wrong reply: " << *why;
    return false;
  }
  return true;
}

// ---- Frames ----------------------------------------------------------------

std::string ListFrame(const std::vector<int64_t>& ids) {
  std::string f;
  wire::PutU32(f, static_cast<uint32_t>(16 + 8 * ids.size()));
  wire::PutU64(f, wire::EV_GETCHAT);
  wire::PutU64(f, ids.size());
  for (int64_t id : ids) wire::PutU64(f, static_cast<uint64_t>(id));
  return f;
}

std::string MessageFrame(std::string_view sender, std::string_view body) {
  std::string f;
  wire::PutU32(f, static_cast<uint32_t>(24 + sender.size() + body.size()));
  wire::PutU64(f, wire::EV_GETMSG);
  wire::PutString(f, sender);
  wire::PutString(f, body);
  return f;
}

// ---- /proc -----------------------------------------------------------------

long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  const size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return -1;
  // After the command name: state is field 3; utime and stime are fields 14 and 15.
  std::istringstream rest(stat.substr(close_paren + 2));
  std::string field;
  long utime = -1, stime = -1;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

long VmKiB(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  return -1;
}

size_t Count(std::string_view text, std::string_view needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

std::vector<std::string> LinesWith(std::string_view text, std::string_view needle) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (line.find(needle) != std::string_view::npos) lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

bool RaiseDescriptorLimit(size_t n) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
  if (rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
  }
  return rl.rlim_cur >= n;
}

}  // namespace parley::stress
