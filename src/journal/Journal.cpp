#include "journal/Journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cctype>
#include <cstring>

#include "journal/Crc32c.h"
#include "metrics/Metrics.h"
#include "protocol/Wire.h"

namespace parley {

namespace {

uint32_t LoadU32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint32_t RecordCrc(uint64_t seq, std::string_view payload) {
  char s[8];
  std::memcpy(s, &seq, sizeof s);
  return MaskCrc(Crc32c(payload, Crc32c(std::string_view(s, sizeof s))));
}

bool AllZero(std::string_view b) {
  return std::all_of(b.begin(), b.end(), [](char c) { return c == 0; });
}

std::string SegmentName(uint64_t first_seq) {
  char name[64];
  snprintf(name, sizeof name, "journal-%016" PRIx64 ".log", first_seq);
  return name;
}

std::vector<std::pair<uint64_t, std::string>> ListSegments(const std::string& dir) {
  return ListNumberedFiles(dir, "journal-", "log");
}

}  // namespace

std::vector<std::pair<uint64_t, std::string>> ListNumberedFiles(const std::string& dir, std::string_view prefix,
                                                                std::string_view ext) {
  std::vector<std::pair<uint64_t, std::string>> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    const std::string_view name = e->d_name;
    if (name.size() != prefix.size() + 17 + ext.size() || !name.starts_with(prefix) ||
        name[prefix.size() + 16] != '.' || !name.ends_with(ext))
      continue;
    const std::string_view digits = name.substr(prefix.size(), 16);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
      continue;
    out.emplace_back(std::stoull(std::string(digits), nullptr, 16), dir + "/" + e->d_name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
  char buf[1 << 16];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  const int err = errno;
  ::close(fd);
  errno = err;
  return n == 0;
}

namespace {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

size_t RemoveSegmentsThrough(const std::string& dir, uint64_t seq) {
  const auto segments = ListSegments(dir);
  size_t removed = 0;
  for (size_t i = 0; i + 1 < segments.size() && segments[i + 1].first <= seq + 1; ++i) {
    if (::unlink(segments[i].second.c_str()) != 0) break;
    ++removed;
  }
  if (removed > 0) SyncDirectory(dir);
  return removed;
}

std::string EncodeSegmentHeader(uint64_t first_seq, std::string_view magic) {
  std::string h(magic);
  wire::PutU32(h, kJournalVersion);
  wire::PutU32(h, 0);
  wire::PutU64(h, first_seq);
  return h;
}

void SealRecord(std::string& buf, size_t at, uint64_t seq) {
  const std::string_view payload = std::string_view(buf).substr(at + kRecordHeaderBytes);
  const uint32_t len = static_cast<uint32_t>(payload.size());
  const uint32_t crc = RecordCrc(seq, payload);
  std::memcpy(buf.data() + at, &len, sizeof len);
  std::memcpy(buf.data() + at + 4, &crc, sizeof crc);
  std::memcpy(buf.data() + at + 8, &seq, sizeof seq);
}

void EncodeRecordTo(std::string& out, uint64_t seq, std::string_view payload) {
  const size_t at = out.size();
  out.append(kRecordHeaderBytes, '\0');
  out.append(payload);
  SealRecord(out, at, seq);
}

std::string EncodeRecord(uint64_t seq, std::string_view payload) {
  std::string r;
  r.reserve(kRecordHeaderBytes + payload.size());
  EncodeRecordTo(r, seq, payload);
  return r;
}

SegmentScan ScanSegment(std::string_view bytes, bool is_last,
                        const std::function<void(uint64_t, std::string_view)>& f, std::string_view magic) {
  SegmentScan s;
  auto damaged = [&](size_t at, std::string what) {
    s.status = SegmentScan::Status::kDamaged;
    s.error_offset = at;
    s.error = std::move(what);
    return s;
  };
  auto torn = [&](size_t at) {
    s.status = SegmentScan::Status::kTorn;
    s.dropped_bytes = bytes.size() - at;
    return s;
  };
  if (bytes.size() < kJournalHeaderBytes) {
    // A segment whose header itself was cut short holds no record yet.
    if (is_last && (AllZero(bytes) || magic.starts_with(bytes.substr(0, 8)))) return torn(0);
    return damaged(0, "header cut short");
  }
  if (bytes.substr(0, magic.size()) != magic) return damaged(0, "bad magic (not a file of this kind)");
  const uint32_t version = LoadU32(bytes.data() + 8);
  if (version != kJournalVersion) return damaged(8, "unknown format version " + std::to_string(version));
  s.first_seq = wire::LoadU64(bytes.data() + 16);
  size_t at = kJournalHeaderBytes;
  s.good_bytes = at;
  while (at < bytes.size()) {
    const std::string_view rest = bytes.substr(at);
    // A record that runs past the end, or zeros where it should be, is a
    // write the crash cut short: only at the very end of the history.
    if (rest.size() < kRecordHeaderBytes) return is_last ? torn(at) : damaged(at, "record header cut short");
    const uint32_t len = LoadU32(rest.data());
    if (len > kMaxRecordPayload) {
      if (is_last && AllZero(rest)) return torn(at);
      return damaged(at, "record length " + std::to_string(len) + " out of range");
    }
    if (kRecordHeaderBytes + len > rest.size()) return is_last ? torn(at) : damaged(at, "record cut short");
    const uint64_t seq = wire::LoadU64(rest.data() + 8);
    const std::string_view payload = rest.substr(kRecordHeaderBytes, len);
    if (LoadU32(rest.data() + 4) != RecordCrc(seq, payload)) {
      if (is_last && AllZero(rest)) return torn(at);
      return damaged(at, "record checksum mismatch");
    }
    if (seq != s.first_seq + s.records) return damaged(at, "record sequence " + std::to_string(seq) + " out of order");
    if (f) f(seq, payload);
    ++s.records;
    at += kRecordHeaderBytes + len;
    s.good_bytes = at;
  }
  return s;
}

std::unique_ptr<Journal> Journal::Open(const std::string& dir, std::string& error, size_t segment_bytes,
                                       bool read_only) {
  if (read_only) return std::unique_ptr<Journal>(new Journal(dir, -1, segment_bytes, true));
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create " + dir + ": " + std::strerror(errno);
    return nullptr;
  }
  const std::string lock = dir + "/LOCK";
  const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot open " + lock + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = dir + " is in use by another process (" + lock + " is locked)";
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<Journal>(new Journal(dir, fd, segment_bytes, false));
}

Journal::Journal(std::string dir, int lock_fd, size_t segment_bytes, bool read_only)
    : dir_(std::move(dir)), lock_fd_(lock_fd), segment_bytes_(segment_bytes), read_only_(read_only) {}

Journal::~Journal() {
  if (fd_ >= 0) {
    // Gives back the blocks set aside (fallocate kept the size); a failure only leaves them reserved.
    if (allocated_ > size_ && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) errno = 0;
    ::close(fd_);
  }
  if (lock_fd_ >= 0) ::close(lock_fd_);  // releases the lock
}

Journal::Replayed Journal::Replay(uint64_t from, const std::function<void(uint64_t, std::string_view)>& apply) {
  Replayed r;
  from = std::max<uint64_t>(from, 1);
  const auto segments = ListSegments(dir_);
  std::string bytes;
  uint64_t next = 0;  // the sequence the next segment must start with (0: the first one)
  for (size_t i = 0; i < segments.size(); ++i) {
    const uint64_t first = segments[i].first;
    const std::string& path = segments[i].second;
    auto fail = [&](size_t offset, const std::string& what) {
      r.ok = false;
      r.error = path + " at offset " + std::to_string(offset) + ": " + what;
      return r;
    };
    if (!ReadWholeFile(path, bytes)) return fail(0, std::string("cannot read: ") + std::strerror(errno));
    const bool last = i + 1 == segments.size();
    const SegmentScan s = ScanSegment(bytes, last, [&](uint64_t seq, std::string_view payload) {
      if (seq >= from) {
        apply(seq, payload);
        ++r.records;
      }
    });
    if (s.status == SegmentScan::Status::kDamaged) return fail(s.error_offset, s.error);
    const bool has_header = s.good_bytes >= kJournalHeaderBytes;
    if (has_header && s.first_seq != first)
      return fail(16, "header says first record " + std::to_string(s.first_seq) + ", name says " + std::to_string(first));
    const uint64_t expected = next == 0 ? std::min(first, from) : next;
    if (has_header && first != expected)
      return fail(0, "a segment is missing: records " + std::to_string(expected) + " to " + std::to_string(first - 1));
    if (has_header) next = first + s.records;
    if (s.status == SegmentScan::Status::kTorn) {
      r.dropped_bytes = s.dropped_bytes;
      if (read_only_) break;
      if (::truncate(path.c_str(), static_cast<off_t>(s.good_bytes)) != 0)
        return fail(s.good_bytes, std::string("cannot cut the torn tail: ") + std::strerror(errno));
      if (!has_header) {  // not even a header: start it again
        ::unlink(path.c_str());
        break;
      }
    }
    if (last && !read_only_) {
      fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
      if (fd_ < 0) return fail(0, std::string("cannot open for appending: ") + std::strerror(errno));
      size_ = allocated_ = s.good_bytes;
    }
  }
  if (next != 0 && next < from) {
    r.ok = false;
    r.error = dir_ + ": the journal ends at record " + std::to_string(next - 1) + " but the snapshot covers up to " +
              std::to_string(from - 1);
    return r;
  }
  last_seq_ = std::max(next, from) - 1;
  r.last_seq = last_seq_;
  replayed_ = !read_only_;
  return r;
}

bool Journal::StartSegment(uint64_t first_seq) {
  const std::string path = dir_ + "/" + SegmentName(first_seq);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) {
    last_errno_ = errno;
    return false;
  }
  const std::string header = EncodeSegmentHeader(first_seq);
  if (!WriteAll(fd, header) || ::fsync(fd) != 0 || !SyncDirectory(dir_)) {
    last_errno_ = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return false;
  }
  if (fd_ >= 0) {
    if (allocated_ > size_ && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) errno = 0;  // as in ~Journal
    ::fdatasync(fd_);  // the old segment is complete and durable before the new one is used
    ::close(fd_);
  }
  fd_ = fd;
  size_ = allocated_ = header.size();
  return true;
}

bool Journal::Rotate() { return replayed_ && StartSegment(last_seq_ + 1); }

bool Journal::Preallocate(size_t ahead) {
  if (fd_ < 0) return true;
  const size_t want = size_ + ahead;
  int err = Fault(Op::kAllocate);
  // The limit may change while we run (prlimit): asked every time, it is one cheap call.
  rlimit rl{};
  if (err == 0 && getrlimit(RLIMIT_FSIZE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && want > rl.rlim_cur)
    err = EFBIG;
  if (err == 0 && allocated_ < size_ + ahead / 2) {
    if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(allocated_), static_cast<off_t>(want - allocated_)) ==
            0 ||
        errno == EOPNOTSUPP)  // a file system that cannot set space aside: writes will tell
      allocated_ = want;
    else
      err = errno;
  }
  if (err != 0) {
    last_errno_ = err;
    return false;
  }
  return true;
}

std::optional<uint64_t> Journal::Append(const std::vector<std::string>& batch, uint64_t expected_seq) {
  if (batch.empty()) return replayed_ && expected_seq == last_seq_ + 1 ? std::optional(last_seq_) : std::nullopt;
  std::string bytes;
  uint64_t seq = expected_seq;
  for (const std::string& payload : batch) {
    if (payload.size() > kMaxRecordPayload) return std::nullopt;
    EncodeRecordTo(bytes, seq++, payload);
  }
  return AppendEncoded(bytes, expected_seq, seq - 1, false);
}

std::optional<uint64_t> Journal::AppendEncoded(std::string_view records, uint64_t first_seq, uint64_t last_seq,
                                               bool sync) {
  if (!replayed_ || first_seq != last_seq_ + 1 || last_seq < first_seq) return std::nullopt;
  if ((fd_ < 0 || size_ >= segment_bytes_) && !StartSegment(first_seq)) return std::nullopt;
  int err = Fault(Op::kWrite);
  if (err == 0 && !WriteAll(fd_, records)) err = errno != 0 ? errno : EIO;
  if (err == 0 && sync && (err = Fault(Op::kSync)) == 0 && metrics::TimedFdatasync(fd_) != 0) err = errno;
  if (err != 0) {
    last_errno_ = err;
    // Nothing of the batch may stay: a later record would follow a hole.
    if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
      // The segment may end in part of a record: appending after it would
      // bury it in the history. Start a new segment before the next append.
      ::close(fd_);
      fd_ = -1;
    }
    return std::nullopt;
  }
  size_ += records.size();
  allocated_ = std::max(allocated_, size_);
  appended_ += records.size();
  last_seq_ = last_seq;
  return last_seq_;
}

bool Journal::Sync() {
  if (fd_ < 0) return true;
  int err = Fault(Op::kSync);
  if (err == 0 && metrics::TimedFdatasync(fd_) != 0) err = errno;
  if (err == 0) return true;
  last_errno_ = err;
  return false;
}

}  // namespace parley
