#include "net/StdoutWriter.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "Limits.h"
#include "Log.h"

namespace parley {

struct StdoutWriter::State {
  const int fd;
  const size_t max_backlog;
  std::mutex mu;
  std::condition_variable wake;     // the writer: something to write, or stop
  std::condition_variable drained;  // Stop: the backlog is empty
  // Guarded by mu.
  std::string backlog;
  uint64_t backlog_texts = 0;  // texts in backlog
  bool writing = false;  // the writer holds bytes taken from the backlog
  bool stop = false;
  bool failed = false;
  uint64_t dropped = 0;
  State(int f, size_t max) : fd(f), max_backlog(max) {}
};

namespace {
RateLimitedLog drop_log(LogLevel::kWarn, "standard output drops");
}  // namespace

StdoutWriter& StdoutWriter::Get() {
  static StdoutWriter writer(STDOUT_FILENO, kMaxStdoutBacklog);
  return writer;
}

StdoutWriter::StdoutWriter(int fd, size_t max_backlog) : st_(std::make_shared<State>(fd, max_backlog)) {
  thread_ = std::thread(&StdoutWriter::Run, st_);
}

StdoutWriter::~StdoutWriter() { Stop(std::chrono::milliseconds(0)); }

void StdoutWriter::Write(std::string_view text) {
  uint64_t dropped = 0;
  {
    std::lock_guard lk(st_->mu);
    if (!st_->failed && !st_->stop && st_->backlog.size() + text.size() <= st_->max_backlog) {
      st_->backlog.append(text);
      ++st_->backlog_texts;
      st_->wake.notify_one();
      return;
    }
    dropped = ++st_->dropped;
  }
  Counters::Get().stdout_drops.fetch_add(1, std::memory_order_relaxed);
  drop_log.Log("parleyd: standard output is not keeping up: %llu texts dropped so far",
               static_cast<unsigned long long>(dropped));
}

uint64_t StdoutWriter::Dropped() const {
  std::lock_guard lk(st_->mu);
  return st_->dropped;
}

void StdoutWriter::Run(std::shared_ptr<State> st) {
  std::string chunk;
  std::unique_lock lk(st->mu);
  for (;;) {
    st->wake.wait(lk, [&] { return st->stop || !st->backlog.empty(); });
    if (st->backlog.empty()) return;  // stopping, and nothing left
    chunk.swap(st->backlog);
    const uint64_t chunk_texts = std::exchange(st->backlog_texts, 0);
    st->writing = true;
    lk.unlock();
    size_t off = 0;
    bool ok = true;
    while (off < chunk.size()) {
      const ssize_t n = ::write(st->fd, chunk.data() + off, chunk.size() - off);
      if (n > 0) {
        off += static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        ok = false;
        break;
      }
    }
    const int err = errno;
    lk.lock();
    st->writing = false;
    chunk.clear();
    if (!ok && !st->failed) {
      // Nobody will read what follows: stop writing, count it as dropped.
      st->failed = true;
      // What was being written counts as dropped too: part of it may be lost.
      const uint64_t lost = chunk_texts + st->backlog_texts;
      st->dropped += lost;
      Counters::Get().stdout_drops.fetch_add(lost, std::memory_order_relaxed);
      st->backlog.clear();
      st->backlog_texts = 0;
      LogWarn("standard output failed (%s): its texts are dropped from now on", strerror(err));
    }
    if (st->backlog.empty()) st->drained.notify_all();
    if (st->failed) {
      st->drained.notify_all();
      st->wake.wait(lk, [&] { return st->stop; });
      return;
    }
  }
}

bool StdoutWriter::Stop(std::chrono::milliseconds timeout) {
  if (!thread_.joinable()) return true;
  bool drained;
  {
    std::unique_lock lk(st_->mu);
    drained = st_->drained.wait_for(lk, timeout, [&] {
      return st_->failed || (st_->backlog.empty() && !st_->writing);
    });
    st_->stop = true;
    st_->wake.notify_all();
  }
  if (drained) thread_.join();
  else thread_.detach();  // stuck in write(2): its state outlives us
  return drained;
}

}  // namespace parley
