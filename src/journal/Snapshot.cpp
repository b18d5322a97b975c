#include "journal/Snapshot.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "journal/Journal.h"
#include "journal/Records.h"
#include "store/ResourceManager.h"

namespace parley {

namespace {

constexpr size_t kMessagesPerStep = 4096;
constexpr size_t kWriteChunk = 1u << 20;

std::string SnapshotName(uint64_t covered, const char* ext) {
  char name[64];
  snprintf(name, sizeof name, "snapshot-%016" PRIx64 ".%s", covered, ext);
  return name;
}

// Snapshot files of `dir` with extension `ext`, by covered sequence.
std::vector<std::pair<uint64_t, std::string>> ListSnapshots(const std::string& dir, const char* ext) {
  return ListNumberedFiles(dir, "snapshot-", ext);
}

// Buffers encoded records and writes them out in large pieces.
class Output {
 public:
  explicit Output(int fd) : fd_(fd) { buf_.reserve(kWriteChunk + (64u << 10)); }
  void Put(const Change& c) {
    const size_t at = buf_.size();
    EncodeChange(c, buf_, kRecordHeaderBytes);
    SealRecord(buf_, at, ++records_);
  }
  void PutRaw(std::string_view payload) { EncodeRecordTo(buf_, ++records_, payload); }
  // Writes what is buffered once it is large (or `all`).
  bool Flush(bool all) {
    if (!ok_ || (!all && buf_.size() < kWriteChunk)) return ok_;
    std::string_view b = buf_;
    while (!b.empty()) {
      const ssize_t n = ::write(fd_, b.data(), b.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err_ = n < 0 ? errno : EIO;
        return ok_ = false;
      }
      b.remove_prefix(static_cast<size_t>(n));
    }
    bytes_ += buf_.size();
    buf_.clear();
    return true;
  }
  void Header(std::string_view h) { buf_.append(h); }
  uint64_t records() const { return records_; }
  uint64_t bytes() const { return bytes_; }
  int err() const { return err_; }

 private:
  const int fd_;
  std::string buf_;
  uint64_t records_ = 0;
  uint64_t bytes_ = 0;
  bool ok_ = true;
  int err_ = 0;
};

}  // namespace

SnapshotInfo WriteSnapshot(const ResourceManager& rm, const std::string& dir, uint64_t covered_seq,
                           const std::atomic<bool>& stop) {
  SnapshotInfo info;
  info.covered_seq = covered_seq;
  const std::string tmp = dir + "/" + SnapshotName(covered_seq, "tmp");
  info.path = dir + "/" + SnapshotName(covered_seq, "snap");
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  auto fail = [&](const std::string& what, int err) {
    info.ok = false;
    info.error = tmp + ": " + what + (err != 0 ? std::string(": ") + std::strerror(err) : "");
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    return info;
  };
  if (fd < 0) return fail("cannot create", errno);
  Output out(fd);
  out.Header(EncodeSegmentHeader(1, kSnapshotMagic));
  using Kind = Change::Kind;
  rm.ForEachChatThenUser(
      [&](const Chat& chat) {
        if (stop.load(std::memory_order_relaxed) || !out.Flush(false)) return;
        const std::vector<UserId> members = chat.getMembers();
        out.Put({.kind = Kind::kChat, .chat = chat.getNumber(), .user = members.at(0), .text = chat.getName()});
        for (size_t i = 1; i < members.size(); ++i)
          out.Put({.kind = Kind::kJoin, .chat = chat.getNumber(), .user = members[i]});
        for (size_t pos = 0;;) {
          const size_t next = chat.storage().exportMessages(
              pos, kMessagesPerStep, [&](MessageId id, UserId sender, std::string_view body, bool deleted) {
                out.Put({.kind = deleted ? Kind::kTombstone : Kind::kMessage, .user = sender, .id = id, .text = body});
              });
          if (next == pos || stop.load(std::memory_order_relaxed) || !out.Flush(false)) break;
          pos = next;
        }
      },
      [&](const User& u) {
        if (stop.load(std::memory_order_relaxed)) return;
        if (const std::optional<std::string> hash = rm.SecretOf(u.getId()))
          out.Put({.kind = Kind::kSecretUser, .user = u.getId(), .text = u.getName(), .secret = *hash});
        else
          out.Put({.kind = Kind::kUser, .user = u.getId(), .text = u.getName()});
        out.Flush(false);
      });
  if (stop.load()) return fail("abandoned (shutting down)", 0);
  out.PutRaw(EncodeEnd(covered_seq, out.records()));
  if (!out.Flush(true)) return fail("cannot write", out.err());
  if (::fsync(fd) != 0) return fail("cannot sync", errno);
  if (::rename(tmp.c_str(), info.path.c_str()) != 0) return fail("cannot rename", errno);
  ::close(fd);
  if (!SyncDirectory(dir)) {
    info.ok = false;
    info.error = dir + ": cannot sync the directory: " + std::strerror(errno);
    return info;
  }
  info.records = out.records();
  info.bytes = out.bytes();
  return info;
}

SnapshotInfo LoadSnapshot(const std::string& dir, ResourceManager& rm) {
  SnapshotInfo info;
  const auto snaps = ListSnapshots(dir, "snap");
  if (snaps.empty()) return info;
  info.path = snaps.back().second;
  const uint64_t named = snaps.back().first;
  auto fail = [&](size_t offset, const std::string& what) {
    info.ok = false;
    info.error = info.path + " at offset " + std::to_string(offset) + ": " + what;
    return info;
  };
  std::string bytes;
  if (!ReadWholeFile(info.path, bytes)) return fail(0, std::string("cannot read: ") + std::strerror(errno));
  bool ended = false;
  std::string error;
  size_t at = kJournalHeaderBytes;
  size_t error_at = 0;
  const SegmentScan s = ScanSegment(
      bytes, false,
      [&](uint64_t seq, std::string_view payload) {
        if (!error.empty()) return;
        if (ended) error = "records after the closing record";
        else if (auto end = DecodeEnd(payload)) {
          ended = true;
          if (end->first != named || end->second != seq - 1) error = "closing record does not match the file";
        } else if (auto c = DecodeChange(payload)) {
          rm.Apply(*c, error);
        } else {
          error = "not a change";
        }
        if (!error.empty()) error_at = at;
        at += kRecordHeaderBytes + payload.size();
      },
      kSnapshotMagic);
  if (s.status != SegmentScan::Status::kOk) return fail(s.error_offset, s.error);
  if (!error.empty()) return fail(error_at, error);
  if (!ended) return fail(bytes.size(), "no closing record (the snapshot is incomplete)");
  info.covered_seq = named;
  info.records = s.records;
  info.bytes = bytes.size();
  return info;
}

void RemoveOldSnapshots(const std::string& dir, uint64_t covered_seq) {
  bool removed = false;
  for (const auto& [covered, path] : ListSnapshots(dir, "snap"))
    if (covered < covered_seq) removed |= ::unlink(path.c_str()) == 0;
  for (const auto& [covered, path] : ListSnapshots(dir, "tmp")) removed |= ::unlink(path.c_str()) == 0;
  if (removed) SyncDirectory(dir);
}

}  // namespace parley
