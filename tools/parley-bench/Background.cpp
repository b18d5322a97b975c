#include "Background.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "Driver.h"
#include "protocol/Wire.h"

namespace parley::bench {

using namespace parley::wire;
using Clock = std::chrono::steady_clock;

namespace {

// The fill: connections, and sends each keeps in flight. A window stays well
// under the server's per-connection in-flight bound, and its replies (22
// bytes each) fit in a socket's receive buffer.
constexpr int kFillConnections = 4;
constexpr int64_t kFillWindow = 2048;
// Fills of at least this many messages report their progress.
constexpr int64_t kProgressFrom = 1'000'000;
// Bytes one lister thread reads per recv, and recv calls per readiness event
// (so that one busy lister does not starve the others).
constexpr size_t kListerReadSize = 256u << 10;
constexpr int kReadsPerEvent = 4;
constexpr int kTickMs = 100;

// The exact "ok" reply to a request of type `type`.
std::string OkFrame(uint64_t type) {
  std::string f;
  FrameBuilder(f, type).String("ok").End();
  return f;
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads exactly `n` bytes from a blocking socket; false on EOF, error, or
// kReplyTimeout without any byte.
bool ReadExactly(int fd, char* p, size_t n) {
  const int timeout_ms = static_cast<int>(std::chrono::milliseconds(kReplyTimeout).count());
  while (n > 0) {
    pollfd pfd{fd, POLLIN, 0};
    int rc = ::poll(&pfd, 1, timeout_ms);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    ssize_t r = ::recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Why a frame head differs from what was due: its length and type code, and
// the first body word if there is one.
std::string DescribeHead(const char* p, size_t n) {
  std::string s = "length " + std::to_string(LoadI32(p));
  if (n >= kLengthSize + kWordSize) s += ", type " + std::to_string(LoadU64(p + kLengthSize));
  if (n >= kLengthSize + 2 * kWordSize) s += ", first word " + std::to_string(LoadU64(p + kLengthSize + kWordSize));
  return s;
}

}  // namespace

bool FillChat(const Address& address, const std::string& owner, const std::string& chat, int64_t messages,
              bool progress, std::string& err) {
  {
    UniqueFd fd = Connect(address, err);
    if (!fd.valid()) return false;
    std::string create;
    FrameBuilder(create, EV_CREATECHAT).String(owner).String(chat).End();
    const std::string ok = OkFrame(EV_CREATECHAT);
    std::string reply(ok.size(), '\0');
    if (!WriteAll(fd.get(), create.data(), create.size()) || !ReadExactly(fd.get(), reply.data(), reply.size()) ||
        reply != ok) {
      err = "creating the listed chat failed";
      return false;
    }
  }

  // Every send is the same frame, and so is every reply: one window of them
  // is built once and written again and again.
  std::string window;
  size_t frame_size = 0;
  for (int64_t i = 0; i < std::min(kFillWindow, messages); ++i)
    frame_size = FrameBuilder(window, EV_SENGMSG).String(owner).String(chat).String("x").End() + kLengthSize;
  const std::string ok = OkFrame(EV_SENGMSG);

  std::atomic<int64_t> budget{messages};
  std::atomic<int64_t> stored{0};
  std::atomic<int> running{0};
  std::atomic<bool> failed{false};
  std::mutex mu;
  std::string first_error;
  auto fail = [&](const std::string& why) {
    std::lock_guard lock(mu);
    if (first_error.empty()) first_error = why;
    failed.store(true);
  };

  const int64_t windows = (messages + kFillWindow - 1) / kFillWindow;
  const int connections = static_cast<int>(std::min<int64_t>(kFillConnections, windows));
  std::vector<UniqueFd> fds;
  for (int i = 0; i < connections; ++i) {
    fds.push_back(Connect(address, err));
    if (!fds.back().valid()) return false;
  }
  const Clock::time_point start = Clock::now();
  {
    std::vector<std::jthread> workers;
    running.store(connections);
    for (int i = 0; i < connections; ++i) {
      workers.emplace_back([&, fd = fds[static_cast<size_t>(i)].get()] {
        std::string replies(static_cast<size_t>(kFillWindow) * ok.size(), '\0');
        while (!failed.load(std::memory_order_relaxed)) {
          int64_t before = budget.fetch_sub(kFillWindow, std::memory_order_relaxed);
          if (before <= 0) break;
          const size_t k = static_cast<size_t>(std::min(kFillWindow, before));
          if (!WriteAll(fd, window.data(), k * frame_size)) {
            fail("write failed while filling the listed chat");
            break;
          }
          if (!ReadExactly(fd, replies.data(), k * ok.size())) {
            fail("no reply while filling the listed chat");
            break;
          }
          for (size_t j = 0; j < k; ++j) {
            if (std::memcmp(replies.data() + j * ok.size(), ok.data(), ok.size()) != 0) {
              fail("a send to the listed chat was not answered \"ok\"");
              break;
            }
          }
          stored.fetch_add(static_cast<int64_t>(k), std::memory_order_relaxed);
        }
        running.fetch_sub(1);
      });
    }
    const bool report = progress && messages >= kProgressFrom;
    Clock::time_point next = start + std::chrono::seconds(1);
    while (running.load() > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (report && Clock::now() >= next) {
        next += std::chrono::seconds(1);
        std::fprintf(stderr, "parley-bench: filling the listed chat: %lld of %lld messages\n",
                     static_cast<long long>(stored.load()), static_cast<long long>(messages));
      }
    }
  }  // joins the workers
  if (failed.load()) {
    err = first_error;
    return false;
  }
  if (progress && messages >= kProgressFrom) {
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    std::fprintf(stderr, "parley-bench: filled the listed chat with %lld messages in %.1f s (%.0f per second)\n",
                 static_cast<long long>(messages), s, s > 0 ? static_cast<double>(messages) / s : 0.0);
  }
  return true;
}

// One lister connection. Only the lister thread touches it once it runs.
struct Listers::Conn {
  enum class Stage { kStatus, kHead, kIds };
  UniqueFd fd;
  Stage stage = Stage::kStatus;
  char head[2 * kLengthSize + 4 * kWordSize] = {};  // the status frame, then the data frame's head
  size_t have = 0;                                  // bytes of `head` filled
  uint64_t left = 0;                                // id bytes of the listing still to come
  bool started = false;
  bool dead = false;
  Clock::time_point last_progress;
};

Listers::Listers(const Address& address, std::string chat, int64_t ids, int count)
    : address_(address), chat_(std::move(chat)), ids_(ids), count_(count) {
  FrameBuilder(request_, EV_GETCHAT).String(chat_).End();
  expected_status_ = OkFrame(EV_GETCHAT);
  PutU32(expected_head_, static_cast<uint32_t>(2 * kWordSize + kWordSize * static_cast<uint64_t>(ids_)));
  PutU64(expected_head_, EV_GETCHAT);
  PutU64(expected_head_, static_cast<uint64_t>(ids_));
}

Listers::~Listers() { Stop(); }

bool Listers::Start(std::string& err) {
  epfd_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
  if (!epfd_.valid()) {
    err = std::string("epoll_create1: ") + std::strerror(errno);
    return false;
  }
  conns_.resize(static_cast<size_t>(count_));
  for (size_t i = 0; i < conns_.size(); ++i) {
    Conn& c = conns_[i];
    c.fd = Connect(address_, err);
    if (!c.fd.valid()) return false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    if (!SetNonBlocking(c.fd.get()) || ::epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, c.fd.get(), &ev) != 0 ||
        !WriteAll(c.fd.get(), request_.data(), request_.size())) {
      err = "cannot start a lister";
      return false;
    }
    c.last_progress = Clock::now();
  }
  thread_ = std::thread([this] { Run(); });
  // Run() gives up on a lister that stays silent for kReplyTimeout, so this ends.
  while (started_.load() + failed_.load() < count_)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (failed_.load() > 0) {
    err = "a lister failed: " + first_error();
    Stop();
    return false;
  }
  return true;
}

ListerCounts Listers::Counts() const { return {listings_.load(), bytes_.load()}; }

ListerCounts Listers::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  conns_.clear();
  return Counts();
}

std::string Listers::first_error() const {
  std::lock_guard lock(error_mu_);
  return first_error_;
}

void Listers::Fail(Conn& c, const std::string& why) {
  if (c.dead) return;
  c.dead = true;
  ::epoll_ctl(epfd_.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
  c.fd.Reset();
  {
    std::lock_guard lock(error_mu_);
    if (first_error_.empty()) first_error_ = why;
  }
  failed_.fetch_add(1);
}

void Listers::Run() {
  std::vector<char> buf(kListerReadSize);
  epoll_event events[kMaxListers];
  // Checks the bytes just read against the listing due on `c`.
  auto consume = [&](Conn& c, const char* p, size_t n) {
    while (n > 0) {
      if (c.stage == Conn::Stage::kIds) {
        size_t take = static_cast<size_t>(std::min<uint64_t>(n, c.left));
        c.left -= take;
        p += take;
        n -= take;
        if (c.left == 0) {
          listings_.fetch_add(1, std::memory_order_relaxed);
          c.stage = Conn::Stage::kStatus;
          if (::send(c.fd.get(), request_.data(), request_.size(), MSG_NOSIGNAL) !=
              static_cast<ssize_t>(request_.size())) {
            Fail(c, "cannot write a listing request");
            return;
          }
        }
        continue;
      }
      const std::string& want = c.stage == Conn::Stage::kStatus ? expected_status_ : expected_head_;
      size_t take = std::min(n, want.size() - c.have);
      std::memcpy(c.head + c.have, p, take);
      c.have += take;
      p += take;
      n -= take;
      if (c.have < want.size()) return;
      if (std::memcmp(c.head, want.data(), want.size()) != 0) {
        Fail(c, c.stage == Conn::Stage::kStatus
                    ? "a listing was not answered \"ok\" (status frame: " + DescribeHead(c.head, c.have) + ")"
                    : "malformed listing (data frame: " + DescribeHead(c.head, c.have) + "; due: " +
                          DescribeHead(want.data(), want.size()) + ")");
        return;
      }
      c.have = 0;
      if (c.stage == Conn::Stage::kStatus) {
        c.stage = Conn::Stage::kHead;
        if (!c.started) {
          c.started = true;
          started_.fetch_add(1);
        }
      } else {
        c.stage = Conn::Stage::kIds;
        c.left = kWordSize * static_cast<uint64_t>(ids_);
      }
    }
  };

  Clock::time_point last_check = Clock::now();
  while (!stop_.load(std::memory_order_relaxed)) {
    int n = ::epoll_wait(epfd_.get(), events, kMaxListers, kTickMs);
    if (n < 0 && errno != EINTR) {
      for (Conn& c : conns_) Fail(c, std::string("epoll_wait: ") + std::strerror(errno));
      return;
    }
    for (int i = 0; i < n; ++i) {
      Conn& c = conns_[events[i].data.u64];
      for (int r = 0; r < kReadsPerEvent && !c.dead; ++r) {
        ssize_t got = ::recv(c.fd.get(), buf.data(), buf.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got <= 0) {
          Fail(c, got == 0 ? std::string("the server closed a lister's connection")
                           : std::string("recv: ") + std::strerror(errno));
          break;
        }
        c.last_progress = Clock::now();
        bytes_.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
        consume(c, buf.data(), static_cast<size_t>(got));
        if (static_cast<size_t>(got) < buf.size()) break;  // drained for now
      }
    }
    Clock::time_point now = Clock::now();
    if (now - last_check >= std::chrono::milliseconds(kTickMs)) {
      last_check = now;
      for (Conn& c : conns_)
        if (!c.dead && now - c.last_progress > kReplyTimeout)
          Fail(c, "a lister got no reply within " + std::to_string(kReplyTimeout.count()) + " s");
    }
  }
}

}  // namespace parley::bench
