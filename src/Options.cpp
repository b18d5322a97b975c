#include "Options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include <parley/Version.h>

#include "Log.h"
#include "MemoryBudget.h"

namespace parley {

namespace {

constexpr char kUsage[] =
    "Usage: parleyd [options]\n"
    "\n"
    "The Parley chat server: serves the chat protocol over TCP (and TLS), keeps\n"
    "the store in memory and, with --data-dir, a journal of every change on disk.\n"
    "\n"
    "Options:\n"
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
    "  --metrics-port N    serve metrics (Prometheus text format) over HTTP at\n"
    "                      /metrics on port N (0 picks a free port; default: off)\n"
    "  --metrics-bind ADDR  address of the metrics listener (default\n"
    "                      127.0.0.1)\n"
    "  --log-level LEVEL   least level of the lines on stderr: error, warn, info\n"
    "                      (the default) or debug\n"
    "  --help              show this help and exit\n"
    "  --version           show the version and exit\n"
    "Options take their value as \"--port 9000\" or \"--port=9000\". A bad command\n"
    "line exits with status 2.\n";

bool ParseInt(const char* s, long lo, long hi, int& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

// The options that take a value.
bool IsKnownOption(const std::string& a) {
  static constexpr const char* kWithValue[] = {
      "--port", "--threads", "--backlog", "--frame-timeout", "--max-memory", "--data-dir", "--check-data",
      "--fsync", "--snapshot-every", "--auth", "--hash-threads", "--tls-port", "--tls-cert", "--tls-key",
      "--max-request-rate", "--max-conns-per-ip", "--max-registrations-per-ip", "--max-chats-per-ip",
      "--metrics-port", "--metrics-bind", "--log-level"};
  for (const char* o : kWithValue)
    if (a == o) return true;
  return false;
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
    // Both spellings: "--port 9000" and "--port=9000".
    std::string a = argv[i];
    std::optional<std::string> inline_value;
    if (const size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = a.substr(eq + 1);
      a.resize(eq);
    }
    if (a == "--help" || a == "-h" || a == "--version" || a == "--no-plain") {
      if (inline_value) {
        fprintf(stderr, "parleyd: %s takes no value\n%s", a.c_str(), kUsage);
        return 2;
      }
      if (a == "--no-plain") {
        opt.plain = false;
        continue;
      }
      if (a == "--version") printf("parleyd %s\n", PARLEY_VERSION);
      else fputs(kUsage, stdout);
      return -1;
    }
    if (!IsKnownOption(a)) {
      fprintf(stderr, "parleyd: unknown argument: %s\n%s", argv[i], kUsage);
      return 2;
    }
    if (!inline_value && i + 1 >= argc) {
      fprintf(stderr, "parleyd: %s needs a value\n%s", a.c_str(), kUsage);
      return 2;
    }
    const std::string value = inline_value ? *inline_value : argv[++i];
    const char* v = value.c_str();
    bool ok = false;
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
    else if (a == "--metrics-port") ok = ParseInt(v, 0, 65535, opt.metrics_port);
    else if (a == "--metrics-bind") ok = *v != '\0' && (opt.metrics_bind = v, true);
    else if (a == "--log-level") ok = ParseLogLevel(v, opt.log_level);
    if (!ok) {
      fprintf(stderr, "parleyd: invalid value for %s: %s\n%s", a.c_str(), v, kUsage);
      return 2;
    }
  }
  if (!opt.metrics_bind.empty() && opt.metrics_port < 0) {
    fprintf(stderr, "parleyd: --metrics-bind needs --metrics-port\n%s", kUsage);
    return 2;
  }
  if (opt.metrics_bind.empty()) opt.metrics_bind = "127.0.0.1";
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
