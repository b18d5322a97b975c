#include "journal/JournalWriter.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Limits.h"
#include "Log.h"
#include "journal/Records.h"
#include "metrics/Metrics.h"

namespace parley {

namespace {

using std::chrono::milliseconds;

RateLimitedLog write_log(LogLevel::kError, "journal write failures");
RateLimitedLog space_log(LogLevel::kError, "journal space shortages");
RateLimitedLog snapshot_log(LogLevel::kError, "snapshot failures");

uint64_t NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

}  // namespace

bool ParseFsyncPolicy(std::string_view s, FsyncPolicy& out) {
  if (s == "always") out = FsyncPolicy::kAlways;
  else if (s == "everysec") out = FsyncPolicy::kEverySec;
  else if (s == "no") out = FsyncPolicy::kNo;
  else return false;
  return true;
}

JournalWriter::JournalWriter(std::unique_ptr<Journal> journal, const ResourceManager& rm, Config cfg)
    : rm_(rm), cfg_(std::move(cfg)), journal_(std::move(journal)), last_snapshot_bytes_(cfg_.last_snapshot_bytes) {
  assigned_ = journal_->LastSequence();
  pending_first_ = assigned_ + 1;
  recorded_.store(assigned_);
  written_ = assigned_;
}

JournalWriter::~JournalWriter() { Stop(); }

void JournalWriter::Start() {
  Housekeeping();  // space for the first writes, or an early refusal
  writer_ = std::thread([this] { Run(); });
  if (cfg_.fsync == FsyncPolicy::kEverySec) syncer_ = std::thread([this] { RunSyncer(); });
}

void JournalWriter::Stop() {
  {
    std::lock_guard lk(mu_);
    if (stop_ && !writer_.joinable()) return;
    stop_ = true;
  }
  cv_.notify_one();
  if (writer_.joinable()) writer_.join();
  snapshot_stop_.store(true);
  if (snapshot_thread_.joinable()) snapshot_thread_.join();
  {
    std::lock_guard lk(sync_mu_);
    sync_stop_ = true;
  }
  sync_cv_.notify_one();
  if (syncer_.joinable()) syncer_.join();
  if (sync_fd_ >= 0) ::close(sync_fd_);
  sync_fd_ = -1;
  if (!journal_->Sync())
    LogError("journal: the last sync at shutdown failed: %s", std::strerror(journal_->LastError()));
}

void JournalWriter::RequestSnapshot() {
  snapshot_wanted_.store(true);
  cv_.notify_one();
}

void JournalWriter::Record(const Change& c) {
  std::lock_guard lk(mu_);
  const uint64_t seq = ++assigned_;
  const size_t at = pending_.size();
  EncodeChange(c, pending_, kRecordHeaderBytes);
  SealRecord(pending_, at, seq);
  recorded_.store(seq, std::memory_order_release);
  // Woken at the end of the caller's batch (Submit), unless the batch is large.
  if (idle_ && pending_.size() >= kJournalGroupWake) {
    idle_ = false;
    cv_.notify_one();
  } else {
    unsubmitted_.store(true, std::memory_order_relaxed);
  }
}

void JournalWriter::Submit() {
  if (!unsubmitted_.load(std::memory_order_relaxed) || !unsubmitted_.exchange(false)) return;
  if (cfg_.fsync != FsyncPolicy::kAlways && WriteNow()) return;
  std::lock_guard lk(mu_);
  if (idle_) {
    idle_ = false;
    cv_.notify_one();
  }
}

bool JournalWriter::WriteNow() {
  std::unique_lock wl(write_mu_, std::try_to_lock);
  if (!wl || failing_) return false;  // being written, or the writer's to retry
  {
    std::lock_guard lk(mu_);
    if (stop_) return false;
  }
  ReserveSpace();  // as the writer does before each write
  if (short_of_space_) return false;
  // Empty here; swapped with pending_, it hands its capacity on, so that
  // records are not appended into a fresh buffer after every group.
  std::string& group = now_group_;
  uint64_t first = 0, last = 0;
  if (TakeAndWrite(group, first, last)) return true;
  // Failed: back in front of what came meanwhile, for the writer's retries.
  std::lock_guard lk(mu_);
  group.append(pending_);
  pending_.swap(group);
  group.clear();
  pending_first_ = first;
  return false;
}

bool JournalWriter::TakeAndWrite(std::string& group, uint64_t& first, uint64_t& last) {
  {
    std::lock_guard lk(mu_);
    if (!pending_.empty()) {
      if (group.empty()) {
        group.swap(pending_);
        first = pending_first_;
      } else {
        group.append(pending_);
        pending_.clear();
      }
      last = assigned_;
      pending_first_ = assigned_ + 1;
    }
  }
  if (group.empty()) return true;
  if (!WriteGroup(group, first, last)) return false;
  group.clear();
  if (group.capacity() > kJournalBufferKeep) std::string().swap(group);
  return true;
}

void JournalWriter::UpdateAccepting() {
  accepting_.store(!failing_ && !short_of_space_ && !broken_.load(), std::memory_order_relaxed);
}

void JournalWriter::Run() {
  std::string group;  // taken from pending_, not yet written
  uint64_t first = 0, last = 0;
  int stop_attempts = 0;
  for (;;) {
    bool stopping;
    {
      std::unique_lock lk(mu_);
      if (!group.empty()) {
        cv_.wait_for(lk, milliseconds(kJournalRetryMs));  // try the disk again
      } else if (pending_.empty() && !stop_ && !snapshot_wanted_.load() && !snapshot_done_.load()) {
        idle_ = true;
        cv_.wait_for(lk, milliseconds(kJournalRetryMs));  // housekeeping runs at least this often
        idle_ = false;
      }
      stopping = stop_;
    }
    std::lock_guard wl(write_mu_);
    TakeAndWrite(group, first, last);
    Housekeeping();
    std::lock_guard lk(mu_);
    if (stopping && pending_.empty()) {
      if (group.empty()) break;
      if (++stop_attempts * kJournalRetryMs >= kJournalStopRetryMs) {
        LogError("journal: giving up at shutdown: %llu changes could not be written (%s); they were never "
                "acknowledged",
                static_cast<unsigned long long>(last - first + 1), std::strerror(journal_->LastError()));
        break;
      }
    }
  }
}

bool JournalWriter::WriteGroup(std::string_view records, uint64_t first, uint64_t last) {
  const bool sync = cfg_.fsync == FsyncPolicy::kAlways;
  if (!journal_->AppendEncoded(records, first, last, sync)) {
    Counters::Get().journal_errors.fetch_add(1, std::memory_order_relaxed);
    write_log.Log("parleyd: journal: cannot write %zu bytes to %s: %s; changes are refused and retried",
                  records.size(), cfg_.dir.c_str(), std::strerror(journal_->LastError()));
    failing_ = true;
    UpdateAccepting();
    return false;
  }
  if (failing_) {
    LogInfo("journal: writing again; changes are accepted");
    failing_ = false;
    UpdateAccepting();
  }
  since_snapshot_ += records.size();
  metrics::ThreadBlock& counts = metrics::Mine();
  counts.journal_records.Add(last - first + 1);
  counts.journal_writes.Add(1);
  if (cfg_.fsync == FsyncPolicy::kEverySec) {
    std::lock_guard lk(sync_mu_);
    written_ = last;
    if (journal_->fd() != sync_source_) {
      // A new segment (opened while the old one was still open, so its
      // descriptor differs): the syncer follows it.
      if (sync_fd_ >= 0) ::close(sync_fd_);
      sync_fd_ = ::dup(journal_->fd());
      sync_source_ = journal_->fd();
    }
  }
  if (on_durable_) on_durable_(last);
  return true;
}

void JournalWriter::RunSyncer() {
  std::unique_lock lk(sync_mu_);
  uint64_t synced = written_;
  while (!sync_cv_.wait_for(lk, milliseconds(1000), [&] { return sync_stop_; })) {
    if (written_ <= synced || sync_fd_ < 0) continue;
    const uint64_t target = written_;
    const int fd = ::dup(sync_fd_);
    lk.unlock();
    const bool ok = fd >= 0 && metrics::TimedFdatasync(fd) == 0;
    const int err = errno;
    if (fd >= 0) ::close(fd);
    lk.lock();
    if (ok) {
      synced = target;
    } else if (!broken_.exchange(true)) {
      Counters::Get().journal_errors.fetch_add(1, std::memory_order_relaxed);
      LogError("journal: cannot sync %s: %s; the last second of changes may not be on disk. Changes are refused "
              "until a restart replays what the disk holds",
              cfg_.dir.c_str(), std::strerror(err));
      accepting_.store(false);
    }
  }
}

void JournalWriter::ReserveSpace() {
  // Disk space ahead of the writes; a little will do when much cannot be had.
  const bool had_space = !short_of_space_;
  short_of_space_ = !journal_->Preallocate(kJournalPreallocateBytes) && !journal_->Preallocate(kJournalPreallocateMin);
  if (short_of_space_) {
    Counters::Get().journal_errors.fetch_add(1, std::memory_order_relaxed);
    space_log.Log("parleyd: journal: no room for more records in %s: %s; changes are refused until there is",
                  cfg_.dir.c_str(), std::strerror(journal_->LastError()));
  } else if (!had_space) {
    LogInfo("journal: there is room again in %s; changes are accepted", cfg_.dir.c_str());
  }
  UpdateAccepting();
}

void JournalWriter::Housekeeping() {
  ReserveSpace();
  if (snapshot_done_.load()) {
    snapshot_thread_.join();
    snapshot_done_.store(false);
    const SnapshotInfo& r = snapshot_result_;
    if (r.ok) {
      const size_t removed = RemoveSegmentsThrough(cfg_.dir, r.covered_seq);
      RemoveOldSnapshots(cfg_.dir, r.covered_seq);
      last_snapshot_bytes_ = r.bytes;
      Counters::Get().snapshots.fetch_add(1, std::memory_order_relaxed);
      metrics::SetSnapshotDuration(std::chrono::milliseconds(static_cast<int64_t>(NowMs() - snapshot_started_ms_)));
      LogInfo("snapshot %s: %llu records, %llu bytes in %llu ms; %zu journal segments removed", r.path.c_str(),
              static_cast<unsigned long long>(r.records), static_cast<unsigned long long>(r.bytes),
              static_cast<unsigned long long>(NowMs() - snapshot_started_ms_), removed);
    } else {
      Counters::Get().journal_errors.fetch_add(1, std::memory_order_relaxed);
      snapshot_log.Log("parleyd: snapshot failed: %s; the journal is kept whole", r.error.c_str());
    }
  }
  const bool due = since_snapshot_ >= std::max(cfg_.snapshot_min_bytes, 2 * last_snapshot_bytes_);
  if (snapshot_thread_.joinable() || failing_ || !(due || snapshot_wanted_.load())) return;
  // Every record up to `covered` is in the segments before the new one, and
  // in the store already: the snapshot holds it.
  if (!journal_->Rotate()) {
    Counters::Get().journal_errors.fetch_add(1, std::memory_order_relaxed);
    snapshot_log.Log("parleyd: snapshot postponed: cannot start a journal segment: %s",
                     std::strerror(journal_->LastError()));
    return;
  }
  snapshot_wanted_.store(false);
  since_snapshot_ = 0;
  snapshot_started_ms_ = NowMs();
  const uint64_t covered = journal_->LastSequence();
  snapshot_thread_ = std::thread([this, covered] {
    snapshot_result_ = WriteSnapshot(rm_, cfg_.dir, covered, snapshot_stop_);
    snapshot_done_.store(true);
    cv_.notify_one();
  });
}

}  // namespace parley
