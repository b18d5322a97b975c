// The journal's writer: takes the store's changes as they are made, writes
// them in groups, makes them durable as the fsync policy says, takes
// snapshots in the background and removes what they cover.
//
// Group commit: changes are encoded into a pending buffer (Record, under a
// short lock, from whichever thread changed the store). When a thread has
// finished a batch of requests (Submit: the network thread at the end of each
// loop pass, an event thread after each batch) everything pending is written
// at once with one write: with `everysec` and `no` by that thread itself, as
// a write costs less than waking another thread and switching to it and
// back; with `always` (and while writes fail, or another group is being
// written) by the writer thread, woken for it, which also adds one fdatasync.
// The writer thread is woken as well when much is pending. What arrives
// meanwhile forms the next group. Groups are taken and written under one
// lock (write_mu_), so they reach the file in sequence order.
// After each group it reports the last sequence durable (`always`: synced;
// `everysec` and `no`: written) through the OnDurable callback; replies wait
// for that (DurableGate). With `everysec` a second thread syncs once a second,
// so the writer never waits for the disk's flush.
//
// Failures: a failed write (or, with `always`, sync) is cut back and retried
// every 100 ms with everything gathered since; meanwhile Accepting() is
// false, so the store refuses new changes ("no") and the changes already made
// keep their replies held until they are written. Disk space is set aside
// ahead of the writes (Journal::Preallocate): a full disk or a file-size
// limit turns Accepting() false before a write can fail. A failed sync under
// `everysec` or `no` cannot be retried honestly (the kernel may have dropped
// the data): changes are refused until a restart replays what the disk has.
// Each state change is logged on stderr and counted.
//
// Snapshots: when the journal has grown past max(snapshot_min_bytes, twice
// the last snapshot) since the last one, or when asked (RequestSnapshot), the
// writer starts a new segment, so that every older segment holds only
// records up to the snapshot's covered sequence, and a background thread
// writes the snapshot (see Snapshot.h); once it is durable the older
// segments and snapshots are removed.
//
// Threads: Record, Accepting, LastRecorded and RequestSnapshot from any
// thread; the rest from the thread that owns the writer (main).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "journal/Journal.h"
#include "journal/Snapshot.h"
#include "store/Change.h"

namespace parley {

class ResourceManager;

enum class FsyncPolicy { kAlways, kEverySec, kNo };
// "always", "everysec", "no".
bool ParseFsyncPolicy(std::string_view s, FsyncPolicy& out);

class JournalWriter final : public ChangeSink {
 public:
  struct Config {
    std::string dir;
    FsyncPolicy fsync = FsyncPolicy::kEverySec;
    uint64_t snapshot_min_bytes = 64u << 20;
    uint64_t last_snapshot_bytes = 0;  // the size of the snapshot loaded at start-up
  };
  // Takes over `journal`, which has been replayed: new changes follow its
  // last sequence. `rm` is what snapshots are taken of.
  JournalWriter(std::unique_ptr<Journal> journal, const ResourceManager& rm, Config cfg);
  ~JournalWriter();
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  // Called on the writer thread with each new durable sequence. Set before Start.
  void OnDurable(std::function<void(uint64_t)> f) { on_durable_ = std::move(f); }
  // The journal, for tests to inject faults. Before Start only.
  Journal& journal() { return *journal_; }
  void Start();
  // Writes and syncs everything recorded (retrying a failing disk for a few
  // seconds), stops the threads, and abandons a snapshot in progress. No
  // change may be recorded once it has begun.
  void Stop();
  // Asks for a snapshot now (SIGUSR1).
  void RequestSnapshot();

  void Record(const Change& c) override;
  void Submit() override;
  bool Accepting() const override { return accepting_.load(std::memory_order_relaxed); }
  uint64_t LastRecorded() const override { return recorded_.load(std::memory_order_acquire); }

 private:
  void Run();
  void RunSyncer();
  // Submit's own write (see Group commit). False when the writer thread is to do it.
  bool WriteNow();
  // Requires write_mu_. Takes what is pending into `group` (after what it
  // holds already, from `first` on) and writes it; false when the write
  // failed, the group then kept for a retry.
  bool TakeAndWrite(std::string& group, uint64_t& first, uint64_t& last);
  // Writes one group; false when it failed (and is to be retried).
  bool WriteGroup(std::string_view records, uint64_t first, uint64_t last);
  // Disk space, snapshots; writer thread.
  void Housekeeping();
  // Requires write_mu_. Sets disk space aside ahead of the writes (see Failures).
  void ReserveSpace();
  void UpdateAccepting();

  // Set at construction, then read-only.
  const ResourceManager& rm_;
  const Config cfg_;
  std::function<void(uint64_t)> on_durable_;

  // Guarded by write_mu_ (taken before mu_): the journal and the state of its writes.
  std::mutex write_mu_;
  std::unique_ptr<Journal> journal_;
  bool failing_ = false;        // the last write failed
  bool short_of_space_ = false;  // preallocation failed
  uint64_t since_snapshot_ = 0;  // journal bytes since the last snapshot began
  uint64_t last_snapshot_bytes_;
  std::string now_group_;  // WriteNow's group, empty between calls (kept for its capacity)
  // Writer thread only (and Stop, after it joined).
  std::thread snapshot_thread_;
  uint64_t snapshot_started_ms_ = 0;
  int sync_source_ = -1;  // the journal descriptor sync_fd_ duplicates

  std::atomic<bool> accepting_{true};
  std::atomic<bool> unsubmitted_{false};  // recorded since the writer was last woken
  std::atomic<bool> broken_{false};  // a sync failed where it cannot be retried
  std::atomic<uint64_t> recorded_{0};
  std::atomic<bool> snapshot_wanted_{false};
  std::atomic<bool> snapshot_done_{false};
  std::atomic<bool> snapshot_stop_{false};
  SnapshotInfo snapshot_result_;  // written by the snapshot thread before snapshot_done_

  std::mutex mu_;
  std::condition_variable cv_;
  std::string pending_;        // guarded by mu_: encoded records not yet taken
  uint64_t pending_first_ = 0;  // guarded by mu_: the sequence of pending_'s first record
  uint64_t assigned_ = 0;       // guarded by mu_: the last sequence given out
  bool idle_ = false;           // guarded by mu_: the writer waits for work
  bool stop_ = false;           // guarded by mu_
  std::thread writer_;

  // everysec: the syncer's view of the segment being written.
  std::mutex sync_mu_;
  std::condition_variable sync_cv_;
  int sync_fd_ = -1;            // guarded by sync_mu_: a duplicate of the segment's descriptor
  uint64_t written_ = 0;        // guarded by sync_mu_: the last sequence written
  bool sync_stop_ = false;      // guarded by sync_mu_
  std::thread syncer_;
};

}  // namespace parley
