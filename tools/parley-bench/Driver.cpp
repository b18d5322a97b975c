#include "Driver.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

namespace parley::bench {

using namespace parley::wire;
using Clock = std::chrono::steady_clock;

namespace {

// Per-connection input buffer: room for several of the largest frames.
constexpr size_t kInBufSize = 16384;
static_assert(kInBufSize >= 2 * (kLengthSize + static_cast<size_t>(kMaxPayload)));
// epoll_wait timeout, which is also how often silent connections are checked.
constexpr int kTickMs = 100;
constexpr int kMaxEvents = 256;
// Latency samples reserved up front per thread (8 bytes each); beyond this the
// vector grows as needed. Every timed request keeps one sample.
constexpr size_t kSampleReserve = size_t{1} << 22;

// State shared by the threads of one test.
struct Shared {
  std::atomic<int64_t> budget{0};  // requests not yet claimed by any connection

  // Claims up to `want` requests; 0 when the budget is spent.
  int64_t Claim(int64_t want) {
    int64_t before = budget.fetch_sub(want, std::memory_order_relaxed);
    return before <= 0 ? 0 : std::min(want, before);
  }
};

// One client connection. Owned by the thread that drives it.
struct Conn {
  Stream stream;
  size_t index = 0;  // global connection number: picks the user and the mix seed
  MixedPicker mix{1};
  uint64_t seq = 0;  // requests issued so far by this connection

  std::vector<Op> batch;  // operations of the batch in flight
  size_t answered = 0;    // how many of them are fully answered
  std::unique_ptr<ReplyReader> reader;
  Clock::time_point batch_start;
  Clock::time_point last_progress;

  std::string out;
  size_t out_off = 0;
  bool want_write = false;

  std::unique_ptr<char[]> in = std::make_unique<char[]>(kInBufSize);
  size_t in_begin = 0, in_end = 0;

  bool finished = false;  // no more work: budget spent or connection dropped
};

// Parley's replies: a status frame echoing the request's type, and for fetch
// and list a data frame after the "ok".
class ParleyReader final : public ReplyReader {
 public:
  explicit ParleyReader(const Fixture& fx) : fx_(fx) {}

  Reply Take(std::string_view in, Op op, size_t& used) override {
    for (;;) {
      if (in.size() >= kLengthSize && LoadI32(in.data()) > kMaxPayload)
        return Broken("reply frame longer than " + std::to_string(kMaxPayload) + " bytes");
      const FrameSplit s = SplitFrame(in);
      if (!s.complete) return {};
      if (!s.ok) return Broken("reply frame with a corrupt length");
      in.remove_prefix(s.consumed);
      used += s.consumed;
      const bool data = awaiting_data_;
      awaiting_data_ = false;
      switch (data ? CheckData(op, s.frame, fx_) : CheckStatus(op, s.frame)) {
        case Check::kNeedData:
          awaiting_data_ = true;
          continue;
        case Check::kDone:
          return {Reply::Kind::kDone, {}};
        case Check::kWrong:
          return {Reply::Kind::kWrong, std::string(data ? "wrong data" : "status other than \"ok\"") +
                                           " in reply to type " + std::to_string(TypeCode(op))};
        case Check::kBroken:
          return Broken("reply of type " + std::to_string(s.frame.type) + " (" +
                        std::to_string(s.frame.body.size()) + " body bytes) where a " + (data ? "data" : "status") +
                        " frame of type " + std::to_string(TypeCode(op)) + " was due");
      }
    }
  }

 private:
  static Reply Broken(std::string why) { return {Reply::Kind::kBroken, std::move(why)}; }

  const Fixture& fx_;
  bool awaiting_data_ = false;
};

class ParleyRequests final : public RequestProtocol {
 public:
  explicit ParleyRequests(const Fixture& fx) : fx_(fx) {}
  void Append(std::string& out, Op op, size_t conn, uint64_t seq) const override {
    AppendRequest(out, op, fx_, conn, seq);
  }
  std::unique_ptr<ReplyReader> NewReader() const override { return std::make_unique<ParleyReader>(fx_); }

 private:
  const Fixture& fx_;
};

// One event loop: a share of the connections, its own epoll set and samples.
class Loop {
 public:
  Loop(const Options& o, const RequestProtocol& protocol, TestKind kind, Shared& shared)
      : opt_(o), protocol_(protocol), kind_(kind), shared_(shared) {}
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // Opens the connections numbered `indices`. On failure sets `error()`.
  bool Open(const Address& address, const std::vector<size_t>& indices) {
    epfd_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (!epfd_.valid()) {
      error_ = std::string("epoll_create1: ") + std::strerror(errno);
      return false;
    }
    conns_.resize(indices.size());
    for (size_t i = 0; i < indices.size(); ++i) {
      Conn& c = conns_[i];
      c.stream = ConnectStream(address, error_);
      if (!c.stream.valid() || !SetNonBlocking(c.stream.fd())) {
        if (error_.empty()) error_ = "cannot make a socket non-blocking";
        return false;
      }
      c.index = indices[i];
      c.seq = indices[i];  // spreads fetched ids over the list chat
      c.reader = protocol_.NewReader();
      c.mix = MixedPicker(0x9e3779b97f4a7c15ULL * (indices[i] + 1));
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = i;
      if (::epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, c.stream.fd(), &ev) != 0) {
        error_ = std::string("epoll_ctl: ") + std::strerror(errno);
        return false;
      }
    }
    samples_.reserve(std::min(kSampleReserve, static_cast<size_t>(opt_.requests / opt_.threads + opt_.pipeline)));
    return true;
  }

  // Drives every connection until the budget is spent and all replies are in.
  void Run() {
    active_ = conns_.size();
    for (Conn& c : conns_) Issue(c, Clock::now());
    epoll_event events[kMaxEvents];
    Clock::time_point last_check = Clock::now();
    while (active_ > 0) {
      int n = ::epoll_wait(epfd_.get(), events, kMaxEvents, kTickMs);
      if (n < 0 && errno != EINTR) {
        for (Conn& c : conns_) Drop(c, std::string("epoll_wait: ") + std::strerror(errno));
        break;
      }
      for (int i = 0; i < n; ++i) {
        Conn& c = conns_[events[i].data.u64];
        if (c.finished) continue;
        uint32_t e = events[i].events;
        if (e & EPOLLOUT) Flush(c);
        if (!c.finished && (e & (EPOLLIN | EPOLLHUP | EPOLLERR))) Receive(c);
      }
      Clock::time_point now = Clock::now();
      if (now - last_check >= std::chrono::milliseconds(kTickMs)) {
        last_check = now;
        for (Conn& c : conns_)
          if (!c.finished && now - c.last_progress > kReplyTimeout)
            Drop(c, "no reply within " + std::to_string(kReplyTimeout.count()) + " s");
      }
    }
    finish_ = Clock::now();
  }

  const std::string& error() const { return error_; }
  std::vector<uint64_t>& samples() { return samples_; }
  uint64_t ok() const { return ok_; }
  uint64_t wrong() const { return wrong_; }
  uint64_t missing() const { return missing_; }
  const std::string& first_error() const { return first_error_; }
  Clock::time_point finish() const { return finish_; }

 private:
  void Note(const std::string& what) {
    if (first_error_.empty()) first_error_ = what;
  }

  // Starts the connection's next batch, or retires it when the budget is spent.
  void Issue(Conn& c, Clock::time_point now) {
    int64_t k = shared_.Claim(opt_.pipeline);
    if (k == 0) {
      Retire(c);
      return;
    }
    c.batch.clear();
    c.answered = 0;
    c.out.clear();
    c.out_off = 0;
    for (int64_t i = 0; i < k; ++i) {
      Op op = OpFor(kind_, c.mix);
      protocol_.Append(c.out, op, c.index, c.seq++);
      c.batch.push_back(op);
    }
    c.batch_start = now;
    c.last_progress = now;
    Flush(c);
  }

  void Flush(Conn& c) {
    while (c.out_off < c.out.size()) {
      ssize_t n = c.stream.Send(c.out.data() + c.out_off, c.out.size() - c.out_off);
      if (n > 0) {
        c.out_off += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        SetWriteInterest(c, true);
        return;
      }
      Drop(c, std::string("send: ") + std::strerror(errno));
      return;
    }
    SetWriteInterest(c, false);
  }

  void SetWriteInterest(Conn& c, bool on) {
    if (c.want_write == on) return;
    c.want_write = on;
    epoll_event ev{};
    ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
    ev.data.u64 = static_cast<uint64_t>(&c - conns_.data());
    ::epoll_ctl(epfd_.get(), EPOLL_CTL_MOD, c.stream.fd(), &ev);
  }

  void Receive(Conn& c) {
    for (;;) {
      if (c.in_begin == c.in_end) c.in_begin = c.in_end = 0;
      if (kInBufSize - c.in_end < kLengthSize + static_cast<size_t>(kMaxPayload)) {
        std::memmove(c.in.get(), c.in.get() + c.in_begin, c.in_end - c.in_begin);
        c.in_end -= c.in_begin;
        c.in_begin = 0;
      }
      size_t room = kInBufSize - c.in_end;
      ssize_t n = c.stream.Recv(c.in.get() + c.in_end, room);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n < 0) {
        Drop(c, std::string("recv: ") + std::strerror(errno));
        return;
      }
      if (n == 0) {
        Drop(c, "the server closed the connection");
        return;
      }
      Clock::time_point now = Clock::now();
      c.last_progress = now;
      c.in_end += static_cast<size_t>(n);
      if (!Consume(c, now)) return;
      if (static_cast<size_t>(n) < room && !c.stream.Buffered()) return;  // drained; epoll reports more
    }
  }

  // Judges the replies in the input buffer, in order. Returns false once the
  // connection is finished (dropped, or out of work).
  bool Consume(Conn& c, Clock::time_point now) {
    while (!c.finished) {
      // An unfinished connection has a batch in flight with a reply still due:
      // Issue either refills the batch or retires the connection.
      size_t used = 0;
      Reply r = c.reader->Take(std::string_view(c.in.get() + c.in_begin, c.in_end - c.in_begin),
                               c.batch[c.answered], used);
      c.in_begin += used;
      switch (r.kind) {
        case Reply::Kind::kIncomplete:
          return true;
        case Reply::Kind::kDone:
          samples_.push_back(static_cast<uint64_t>(
              std::chrono::duration_cast<std::chrono::nanoseconds>(now - c.batch_start).count()));
          ++ok_;
          break;
        case Reply::Kind::kWrong:
          ++wrong_;
          Note(r.why);
          break;
        case Reply::Kind::kBroken:
          Broken(c, r.why);
          return false;
      }
      if (++c.answered == c.batch.size()) Issue(c, now);
    }
    return false;
  }

  // The stream no longer matches the requests: the request at the head counts
  // as wrong, the rest of the batch as missing.
  void Broken(Conn& c, const std::string& why) {
    ++wrong_;
    ++c.answered;
    Drop(c, why);
  }

  // Gives up on a connection: its unanswered requests are missing.
  void Drop(Conn& c, const std::string& why) {
    if (c.finished) return;
    if (c.answered < c.batch.size()) {
      missing_ += c.batch.size() - c.answered;
      Note(why);
    }
    c.batch.clear();
    c.answered = 0;
    Retire(c);
    c.stream.Reset();
  }

  // No more work for this connection. It leaves the epoll set (so that a
  // stray reply cannot wake the loop forever) but stays open until the test
  // ends, so the server sees no closing during the timed phase.
  void Retire(Conn& c) {
    if (c.finished) return;
    c.finished = true;
    if (c.stream.valid()) ::epoll_ctl(epfd_.get(), EPOLL_CTL_DEL, c.stream.fd(), nullptr);
    --active_;
  }

  const Options& opt_;
  const RequestProtocol& protocol_;
  const TestKind kind_;
  Shared& shared_;

  UniqueFd epfd_;
  std::vector<Conn> conns_;
  size_t active_ = 0;
  std::vector<uint64_t> samples_;
  uint64_t ok_ = 0, wrong_ = 0, missing_ = 0;
  std::string first_error_;
  std::string error_;
  Clock::time_point finish_;
};

}  // namespace

TestResult RunTest(const Options& options, const Address& address, const Fixture& fx, TestKind kind) {
  return RunTest(options, address, ParleyRequests(fx), kind);
}

TestResult RunTest(const Options& options, const Address& address, const RequestProtocol& protocol, TestKind kind) {
  TestResult result;
  result.kind = kind;
  Shared shared;
  shared.budget.store(options.requests);

  const int threads = std::max(1, std::min(options.threads, options.clients));
  std::vector<std::unique_ptr<Loop>> loops;
  for (int t = 0; t < threads; ++t) loops.push_back(std::make_unique<Loop>(options, protocol, kind, shared));

  std::latch opened(threads);
  std::latch go(1);
  std::atomic<bool> abort{false};
  Clock::time_point start;
  {
    std::vector<std::jthread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        std::vector<size_t> mine;
        for (size_t i = static_cast<size_t>(t); i < static_cast<size_t>(options.clients);
             i += static_cast<size_t>(threads))
          mine.push_back(i);
        Loop& loop = *loops[static_cast<size_t>(t)];
        if (!loop.Open(address, mine)) abort.store(true);
        opened.count_down();
        go.wait();
        if (!abort.load()) loop.Run();
      });
    }
    opened.wait();
    start = Clock::now();
    go.count_down();
  }  // joins the workers

  for (auto& l : loops) {
    if (!l->error().empty()) {
      result.fatal = l->error();
      return result;
    }
  }
  std::vector<uint64_t> samples;
  Clock::time_point end = start;
  for (auto& l : loops) {
    result.ok += l->ok();
    result.wrong += l->wrong();
    result.missing += l->missing();
    if (result.first_error.empty()) result.first_error = l->first_error();
    end = std::max(end, l->finish());
    samples.insert(samples.end(), l->samples().begin(), l->samples().end());
    std::vector<uint64_t>().swap(l->samples());
  }
  // Requests never sent because every connection was dropped are missing too.
  int64_t unsent = shared.budget.load();
  if (unsent > 0) result.missing += static_cast<uint64_t>(unsent);
  result.seconds = std::chrono::duration<double>(end - start).count();
  result.latency = Summarize(samples);
  return result;
}

}  // namespace parley::bench
