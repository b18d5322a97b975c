#include "Options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "MemoryBudget.h"

namespace parley {

namespace {

constexpr char kUsage[] =
    "usage: parleyd [options]\n"
    "  --port N            TCP port to listen on (default 8080; 0 picks a free port)\n"
    "  --threads N         event threads (default 3)\n"
    "  --backlog N         listen backlog (default 511; the system's somaxconn caps it)\n"
    "  --max-memory SIZE   bound on the store plus unsent replies, e.g. 512mb, 4gb\n"
    "                      (default: unlimited); past it, requests that would grow\n"
    "                      the store get \"no\" and the largest unread outputs are closed\n"
    "  --frame-timeout S   close a connection whose frame stays incomplete for S\n"
    "                      seconds (default 30; 0 = never)\n"
    "  --data-dir DIR      keep history in DIR (a journal and snapshots), replayed\n"
    "                      at start-up; without it everything is in memory only\n"
    "  --fsync POLICY      with --data-dir, when a change is on disk before its \"ok\":\n"
    "                      always (synced first), everysec (written first, synced\n"
    "                      within a second; the default), no (written first)\n"
    "  --snapshot-every SIZE  take a snapshot once the journal has grown by SIZE\n"
    "                      (or twice the last snapshot, if more) since the last\n"
    "                      one (default 64mb); SIGUSR1 takes one at once\n"
    "  --check-data DIR    check DIR as start-up would, change nothing, report on\n"
    "                      stderr; exit 0 if the server would start on it, else 1\n"
    "  --help              show this help\n";

bool ParseInt(const char* s, long lo, long hi, int& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int ParseOptions(int argc, char** argv, Options& opt) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return -1;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "parleyd: unknown argument or missing value: %s\n%s", a.c_str(), kUsage);
      return 2;
    }
    const char* v = argv[++i];
    bool ok;
    if (a == "--port") ok = ParseInt(v, 0, 65535, opt.port);
    else if (a == "--threads") ok = ParseInt(v, 1, kMaxEventThreads, opt.threads);
    else if (a == "--backlog") ok = ParseInt(v, 1, 1 << 20, opt.backlog);
    else if (a == "--frame-timeout") ok = ParseInt(v, 0, 24 * 3600, opt.frame_timeout_s);
    else if (a == "--max-memory") ok = ParseByteSize(v, opt.max_memory);
    else if (a == "--data-dir") ok = *v != '\0' && (opt.data_dir = v, true);
    else if (a == "--check-data") ok = *v != '\0' && (opt.check_data = v, true);
    else if (a == "--fsync") ok = ParseFsyncPolicy(v, opt.fsync);
    else if (a == "--snapshot-every") ok = ParseByteSize(v, opt.snapshot_every) && opt.snapshot_every > 0;
    else {
      fprintf(stderr, "parleyd: unknown argument: %s\n%s", a.c_str(), kUsage);
      return 2;
    }
    if (!ok) {
      fprintf(stderr, "parleyd: invalid value for %s: %s\n%s", a.c_str(), v, kUsage);
      return 2;
    }
  }
  return 0;
}

}  // namespace parley
