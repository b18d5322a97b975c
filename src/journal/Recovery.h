// Start-up from a data directory: the newest snapshot, then the journal
// records after it, applied to an empty store.
#pragma once

#include <cstdint>
#include <string>

#include "journal/Journal.h"
#include "journal/Snapshot.h"

namespace parley {

class ResourceManager;

struct Recovered {
  bool ok = true;
  std::string error;  // names the file and offset (or record) that stopped it
  SnapshotInfo snapshot;
  Journal::Replayed journal;
  uint64_t messages = 0;  // message records applied (snapshot and journal)
};

// Rebuilds `rm` (empty) from `dir` through `journal` (opened, not yet
// replayed). A torn journal tail is cut (reported in journal.dropped_bytes);
// any other damage, or a record that contradicts the store, stops it.
Recovered Recover(Journal& journal, const std::string& dir, ResourceManager& rm);

// `parleyd --check-data DIR`: recovers a copy of DIR's contents in memory,
// changing nothing on disk, and reports on stderr. Returns the exit status:
// 0 when the server would start, 1 when it would refuse.
int CheckDataDir(const std::string& dir);

}  // namespace parley
