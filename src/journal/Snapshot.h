// Snapshots: the whole store written out as changes, so that start-up need
// not replay the journal from its first record, and so that old segments
// (and the bodies of deleted messages in them) can be removed.
//
// File: `snapshot-<covered sequence, 16 hex digits>.snap` in the data
// directory, framed like a journal segment (see Journal.h) with the magic
// "PRLYSNAP": a header, then records numbered from 1, each holding one Change
// (see Records.h); chats with their members and messages first, users last,
// and a closing record that repeats the covered sequence and counts the
// records before it. A file without its closing record is damaged.
//
// A snapshot is taken while the store is in use, holding one lock at a time
// for one bounded step (a registry shard, a chat's members, 4096 messages):
// it holds every change up to its covered sequence and perhaps some later
// ones, which the journal repeats and applying leaves alone (see
// ResourceManager::Apply). It is written under a temporary name, synced,
// renamed and the directory synced, so a crash leaves either the old
// snapshot or the new one whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace parley {

class ResourceManager;

struct SnapshotInfo {
  bool ok = true;
  std::string error;         // what went wrong, naming the file (and offset)
  std::string path;          // the snapshot written or loaded ("" when none)
  uint64_t covered_seq = 0;  // journal records up to this one are in it
  uint64_t records = 0;
  uint64_t bytes = 0;
};

// Writes a snapshot of `rm` covering the journal up to `covered_seq` into
// `dir`. Gives up (ok false, nothing left behind) when `stop` turns true.
SnapshotInfo WriteSnapshot(const ResourceManager& rm, const std::string& dir, uint64_t covered_seq,
                           const std::atomic<bool>& stop);

// Applies the newest snapshot of `dir` to `rm`. covered_seq is 0 when there
// is none. A damaged newest snapshot is an error: older ones cover less of
// a journal that may already be gone.
SnapshotInfo LoadSnapshot(const std::string& dir, ResourceManager& rm);

// Removes the snapshots that cover less than `covered_seq`, and temporaries.
void RemoveOldSnapshots(const std::string& dir, uint64_t covered_seq);

}  // namespace parley
