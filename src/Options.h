// parleyd's command line.
#pragma once

#include <cstdint>
#include <string>

#include "Limits.h"
#include "journal/JournalWriter.h"

namespace parley {

struct Options {
  int port = PORT;
  int threads = kDefaultEventThreads;
  int backlog = MAX;
  uint64_t max_memory = 0;  // bytes; 0 = unlimited
  int frame_timeout_s = kDefaultFrameTimeoutSeconds;
  std::string data_dir;    // empty: memory only
  FsyncPolicy fsync = FsyncPolicy::kEverySec;
  uint64_t snapshot_every = kSnapshotMinJournalBytes;
  std::string check_data;  // --check-data: check this directory and exit
};

// Parses argv into `opt`. Returns -1 when the program should exit 0 at once
// (--help printed), 0 to go on, or an exit status (2: a bad command line,
// with the reason and the usage on stderr).
int ParseOptions(int argc, char** argv, Options& opt);

}  // namespace parley
