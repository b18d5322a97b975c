// parleyd's command line.
#pragma once

#include <cstdint>
#include <string>

#include "Limits.h"
#include "Log.h"
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

  // Accounts: `open` lets any connection act as any user (as without
  // secrets); `required` binds a connection to the user it logged in as.
  enum class Auth { kOpen, kRequired };
  Auth auth = Auth::kOpen;
  int hash_threads = kDefaultHashThreads;  // secret hashing, off the network thread

  // Encrypted connections: a second listener speaking TLS (0 = none), and
  // whether the plain listener is opened at all.
  int tls_port = -1;  // -1: no TLS listener; 0: any free port
  std::string tls_cert;
  std::string tls_key;
  bool plain = true;  // --no-plain turns the plain listener off

  // Limits per client (0 = no limit).
  int max_request_rate = 0;                          // requests per second per connection
  int max_conns_per_ip = kDefaultMaxConnsPerIp;      // open connections per client address
  int max_registrations_per_ip = 0;                  // new accounts per client address per minute
  int max_chats_per_ip = 0;                          // new chats per client address per minute

  // Metrics over HTTP (Prometheus text format): -1 = off, 0 = any free port.
  int metrics_port = -1;
  std::string metrics_bind;  // default 127.0.0.1 (set by ParseOptions)

  LogLevel log_level = LogLevel::kInfo;  // least level printed on stderr
};

// Parses argv into `opt`. Returns -1 when the program should exit 0 at once
// (--help or --version printed on stdout), 0 to go on, or an exit status (2: a bad command line,
// with the reason and the usage on stderr).
int ParseOptions(int argc, char** argv, Options& opt);

}  // namespace parley
