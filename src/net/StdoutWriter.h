// The protocol's own texts on standard output ("Accepted %d\n", "error read
// msg"), written so that a slow or stuck standard output never holds up the
// network thread.
//
// Write appends to a bounded backlog (kMaxStdoutBacklog) and returns at once;
// a thread of its own writes the backlog out. A text that does not fit is
// dropped whole, counted, and the count is reported on stderr (rate-limited).
// If standard output fails (say its reader went away), what is left is
// dropped and counted the same way.
//
// Threads: Write from any thread; the writer thread is private. Stop (on the
// main thread, at shutdown) waits a bounded time for the backlog to drain,
// then leaves a writer still stuck in write(2) behind rather than wait for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <thread>

namespace parley {

class StdoutWriter {
 public:
  // The process-wide writer for descriptor 1, started on the first call.
  static StdoutWriter& Get();

  // Writes to `fd` (not owned) with a backlog of at most `max_backlog` bytes.
  StdoutWriter(int fd, size_t max_backlog);
  ~StdoutWriter();
  StdoutWriter(const StdoutWriter&) = delete;
  StdoutWriter& operator=(const StdoutWriter&) = delete;

  // Queues `text` whole, or drops it whole when the backlog has no room.
  void Write(std::string_view text);
  // Texts dropped so far.
  uint64_t Dropped() const;
  // Waits up to `timeout` for the backlog to be written, then stops the
  // writer. Returns false when it could not drain in time. Idempotent.
  bool Stop(std::chrono::milliseconds timeout);

 private:
  struct State;
  static void Run(std::shared_ptr<State> st);
  // Shared with the writer thread, which may outlive this object when it is
  // stuck in write(2) at shutdown.
  std::shared_ptr<State> st_;
  std::thread thread_;
};

}  // namespace parley
