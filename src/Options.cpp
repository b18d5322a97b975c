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
    "  --auth MODE         open (the default): any connection may act as any user;\n"
    "                      required: a connection must log in with its account's\n"
    "                      secret and may then act only as that user (see\n"
    "                      docs/security.md)\n"
    "  --hash-threads N    threads hashing secrets, at most N at once (default 1)\n"
    "  --tls-port N        also listen for TLS connections on port N (0 picks a\n"
    "                      free port); needs --tls-cert and --tls-key\n"
    "  --tls-cert FILE     the server's certificate chain (PEM)\n"
    "  --tls-key FILE      the certificate's private key (PEM)\n"
    "  --no-plain          do not open the plain listener (--port); TLS only\n"
    "  --max-request-rate N  requests per second per connection; past it the\n"
    "                      server reads that connection more slowly (0 = no limit,\n"
    "                      the default)\n"
    "  --max-conns-per-ip N  open connections per client address; past it new\n"
    "                      ones are closed at once (default 256; 0 = no limit)\n"
    "  --max-registrations-per-ip N  new accounts per client address per minute\n"
    "                      (0 = no limit, the default)\n"
    "  --max-chats-per-ip N  new chats per client address per minute (0 = no\n"
    "                      limit, the default)\n"
    "  --help              show this help\n";

bool ParseInt(const char* s, long lo, long hi, int& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

bool ParseAuth(const char* s, Options::Auth& out) {
  const std::string v = s;
  if (v == "open") out = Options::Auth::kOpen;
  else if (v == "required") out = Options::Auth::kRequired;
  else return false;
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
    if (a == "--no-plain") {
      opt.plain = false;
      continue;
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
    else if (a == "--auth") ok = ParseAuth(v, opt.auth);
    else if (a == "--hash-threads") ok = ParseInt(v, 1, kMaxHashThreads, opt.hash_threads);
    else if (a == "--tls-port") ok = ParseInt(v, 0, 65535, opt.tls_port);
    else if (a == "--tls-cert") ok = *v != '\0' && (opt.tls_cert = v, true);
    else if (a == "--tls-key") ok = *v != '\0' && (opt.tls_key = v, true);
    else if (a == "--max-request-rate") ok = ParseInt(v, 0, 1 << 30, opt.max_request_rate);
    else if (a == "--max-conns-per-ip") ok = ParseInt(v, 0, 1 << 30, opt.max_conns_per_ip);
    else if (a == "--max-registrations-per-ip") ok = ParseInt(v, 0, 1 << 30, opt.max_registrations_per_ip);
    else if (a == "--max-chats-per-ip") ok = ParseInt(v, 0, 1 << 30, opt.max_chats_per_ip);
    else {
      fprintf(stderr, "parleyd: unknown argument: %s\n%s", a.c_str(), kUsage);
      return 2;
    }
    if (!ok) {
      fprintf(stderr, "parleyd: invalid value for %s: %s\n%s", a.c_str(), v, kUsage);
      return 2;
    }
  }
  const bool tls = opt.tls_port >= 0;
  const char* problem = nullptr;
  if (tls && (opt.tls_cert.empty() || opt.tls_key.empty())) problem = "--tls-port needs --tls-cert and --tls-key";
  else if (!tls && (!opt.tls_cert.empty() || !opt.tls_key.empty())) problem = "--tls-cert and --tls-key need --tls-port";
  else if (!opt.plain && !tls) problem = "--no-plain needs --tls-port: the server would not listen at all";
  if (problem != nullptr) {
    fprintf(stderr, "parleyd: %s\n%s", problem, kUsage);
    return 2;
  }
  return 0;
}

}  // namespace parley
