// The journal: an append-only log of records in a data directory, read back
// in order at start-up.
//
// Files: `journal-<first sequence, 16 hex digits>.log` segments. Each starts
// with a 24-byte header (magic "PRLYJRNL", u32 format version, u32 zero, u64
// the sequence of its first record); then records, each a 16-byte header
// (u32 payload length, u32 masked CRC-32C of the sequence and the payload,
// u64 sequence) and the payload. Sequences run from 1 without a gap across
// segments. All integers little-endian.
//
// Recovery: a torn tail (the last record of the last segment cut short by a
// crash, or left as zeros) is cut off and the bytes dropped are reported.
// Anything else that does not check out (a bad CRC or length before the
// tail, a sequence out of order, an unknown format version, a missing
// segment) stops the replay with an error naming the file and the offset: a
// history is never silently shortened.
//
// The directory is locked (flock on `LOCK`) for as long as the Journal lives,
// so a second process cannot open it.
//
// Threads: one thread at a time (the journal's writer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parley {

inline constexpr uint32_t kJournalVersion = 1;
inline constexpr size_t kJournalHeaderBytes = 24;
inline constexpr size_t kRecordHeaderBytes = 16;
inline constexpr uint32_t kMaxRecordPayload = 1u << 20;
// The first eight bytes of a journal segment and of a snapshot file (which
// share the segments' framing; see Snapshot.h).
inline constexpr std::string_view kJournalMagic = "PRLYJRNL";
inline constexpr std::string_view kSnapshotMagic = "PRLYSNAP";

// What one segment's bytes hold.
struct SegmentScan {
  enum class Status { kOk, kTorn, kDamaged };
  Status status = Status::kOk;
  uint64_t first_seq = 0;
  uint64_t records = 0;
  size_t good_bytes = 0;     // header and whole, valid records
  size_t dropped_bytes = 0;  // a torn tail (kTorn)
  size_t error_offset = 0;   // where the damage is (kDamaged)
  std::string error;         // what it is (kDamaged)
};

// Checks a segment's bytes and calls f(sequence, payload) for each valid
// record, in order. Only the last segment (`is_last`) may end in a torn tail.
SegmentScan ScanSegment(std::string_view bytes, bool is_last,
                        const std::function<void(uint64_t, std::string_view)>& f = {},
                        std::string_view magic = kJournalMagic);

// The bytes of one record, as Append writes it.
std::string EncodeRecord(uint64_t seq, std::string_view payload);
// The same, appended to `out`.
void EncodeRecordTo(std::string& out, uint64_t seq, std::string_view payload);
// Makes a record in place: `buf` holds, from `at`, kRecordHeaderBytes of
// room and then the payload (to its end); fills in the header for `seq`.
// Encoding a payload straight into the buffer saves a copy.
void SealRecord(std::string& buf, size_t at, uint64_t seq);
// The files of `dir` named `<prefix><16 hex digits>.<ext>`, by that number.
std::vector<std::pair<uint64_t, std::string>> ListNumberedFiles(const std::string& dir, std::string_view prefix,
                                                                std::string_view ext);
// The header of a segment whose first record is `first_seq`.
std::string EncodeSegmentHeader(uint64_t first_seq, std::string_view magic = kJournalMagic);
// Reads a whole file into `out`; false (errno set) when it cannot.
bool ReadWholeFile(const std::string& path, std::string& out);
// fsyncs a directory, so that names created or removed in it last.
bool SyncDirectory(const std::string& dir);
// Removes the segments of `dir` whose records all have sequences up to
// `seq` (each one followed by a segment that starts by seq + 1), oldest
// first, so that what remains is never a history with a hole. Returns how
// many it removed.
size_t RemoveSegmentsThrough(const std::string& dir, uint64_t seq);

class Journal {
 public:
  // Opens the journal in `dir` (created if missing) and locks the directory.
  // Null, with the reason in `error`, when it cannot (say another process
  // holds the lock).
  // `read_only`: only Replay may be used; the directory is neither created,
  // locked nor changed (a torn tail is reported, not cut).
  static std::unique_ptr<Journal> Open(const std::string& dir, std::string& error,
                                       size_t segment_bytes = 64u << 20, bool read_only = false);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  struct Replayed {
    bool ok = true;
    uint64_t records = 0;        // records passed to `apply`
    uint64_t last_seq = 0;       // the last valid record's sequence (0: none)
    uint64_t dropped_bytes = 0;  // a torn tail cut off
    std::string error;           // file and offset, when not ok
  };
  // Reads every valid record with sequence >= `from` into `apply`, cuts a
  // torn tail, and makes the journal ready to append. Must come before Append.
  // The history must reach back to `from` (a snapshot covers what is
  // before); the next record appended is max(last, from - 1) + 1.
  Replayed Replay(uint64_t from, const std::function<void(uint64_t, std::string_view)>& apply);

  // Appends `batch` as the records `expected_seq`, `expected_seq + 1`, ...
  // with one write. `expected_seq` must be LastSequence() + 1, otherwise
  // nothing is written (a writer that is not the journal's owner any more).
  // On a failed write (disk full, I/O error, file size limit) the segment is
  // cut back to where it was. Returns the last sequence written, or nothing.
  // Written is not durable: see Sync.
  std::optional<uint64_t> Append(const std::vector<std::string>& batch, uint64_t expected_seq);
  // The same for records already encoded (EncodeRecordTo) with sequences
  // first_seq..last_seq. With `sync` the records are also made durable
  // before it returns, and a failed sync cuts them back like a failed write
  // (the kernel may have dropped pages it could not write: they are written
  // again, never trusted).
  std::optional<uint64_t> AppendEncoded(std::string_view records, uint64_t first_seq, uint64_t last_seq,
                                        bool sync);
  // Makes everything appended durable. False on failure.
  bool Sync();
  // Starts a new segment now: what follows goes there. False on failure.
  bool Rotate();
  // Keeps at least `ahead` bytes of disk space allocated past the end of the
  // segment (checked against RLIMIT_FSIZE too), so that a full disk shows
  // here, before changes are accepted, rather than in a write. False, with
  // LastError, when the space cannot be had.
  bool Preallocate(size_t ahead);

  uint64_t LastSequence() const { return last_seq_; }
  // errno of the last failed write, sync or preallocation.
  int LastError() const { return last_errno_; }
  // The segment being appended to (-1: none yet).
  int fd() const { return fd_; }
  // Bytes appended since Open.
  uint64_t BytesAppended() const { return appended_; }

  // A seam for tests: called before each write, sync and preallocation; a
  // non-zero return is taken as that call failing with that errno.
  enum class Op { kWrite, kSync, kAllocate };
  void SetFaultInjector(std::function<int(Op)> f) { fault_ = std::move(f); }

 private:
  Journal(std::string dir, int lock_fd, size_t segment_bytes, bool read_only);
  bool StartSegment(uint64_t first_seq);
  // The injected errno for `op`, or 0.
  int Fault(Op op) const { return fault_ ? fault_(op) : 0; }

  const std::string dir_;
  const int lock_fd_;
  const size_t segment_bytes_;
  const bool read_only_;
  int fd_ = -1;  // the segment appended to
  size_t size_ = 0;
  size_t allocated_ = 0;  // bytes of the segment known to be allocated
  uint64_t appended_ = 0;
  std::function<int(Op)> fault_;
  uint64_t last_seq_ = 0;
  bool replayed_ = false;
  int last_errno_ = 0;
};

}  // namespace parley
