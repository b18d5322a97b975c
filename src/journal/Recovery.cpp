#include "journal/Recovery.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Limits.h"
#include "journal/Records.h"
#include "store/ResourceManager.h"

namespace parley {

Recovered Recover(Journal& journal, const std::string& dir, ResourceManager& rm) {
  Recovered r;
  r.snapshot = LoadSnapshot(dir, rm);
  if (!r.snapshot.ok) {
    r.ok = false;
    r.error = r.snapshot.error;
    return r;
  }
  std::string error;
  uint64_t error_seq = 0;
  r.journal = journal.Replay(r.snapshot.covered_seq + 1, [&](uint64_t seq, std::string_view payload) {
    if (!error.empty()) return;
    const std::optional<Change> c = DecodeChange(payload);
    if (!c) error = "not a change";
    else if (rm.Apply(*c, error)) r.messages += c->kind == Change::Kind::kMessage;
    if (!error.empty()) error_seq = seq;
  });
  if (!r.journal.ok) {
    r.ok = false;
    r.error = r.journal.error;
  } else if (!error.empty()) {
    r.ok = false;
    r.error = dir + ": journal record " + std::to_string(error_seq) + ": " + error;
  } else if (!rm.FinishRestore(error)) {
    r.ok = false;
    r.error = dir + ": " + error;
  }
  return r;
}

int CheckDataDir(const std::string& dir) {
  if (::access(dir.c_str(), R_OK | X_OK) != 0) {
    fprintf(stderr, "parleyd: cannot read %s: %s\n", dir.c_str(), std::strerror(errno));
    return 1;
  }
  std::string error;
  std::unique_ptr<Journal> journal = Journal::Open(dir, error, kJournalSegmentBytes, true);
  auto rm = ResourceManager::CreateStandalone();
  const Recovered r = Recover(*journal, dir, *rm);
  if (!r.ok) {
    fprintf(stderr, "parleyd: %s is damaged: %s\nparleyd: the server will not start on it\n", dir.c_str(),
            r.error.c_str());
    return 1;
  }
  fprintf(stderr,
          "parleyd: %s is sound: %zu users, %zu chats; snapshot %s (%llu records, up to journal record %llu); "
          "journal: %llu records after it, last %llu",
          dir.c_str(), rm->UserCount(), rm->ChatCount(), r.snapshot.path.empty() ? "none" : r.snapshot.path.c_str(),
          static_cast<unsigned long long>(r.snapshot.records), static_cast<unsigned long long>(r.snapshot.covered_seq),
          static_cast<unsigned long long>(r.journal.records), static_cast<unsigned long long>(r.journal.last_seq));
  if (r.journal.dropped_bytes > 0)
    fprintf(stderr, "; a torn tail of %llu bytes (a write cut short by a crash) would be cut off at start-up",
            static_cast<unsigned long long>(r.journal.dropped_bytes));
  fputc('\n', stderr);
  return 0;
}

}  // namespace parley
