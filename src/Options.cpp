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
    "  --threads N         event threads (default 3); new connections are spread over\n"
    "                      no more of them than the CPUs less one (at least one)\n"
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

bool ParseAuth(const char* s, Options::Auth& out) {
  const std::string v = s;
  if (v == "open") out = Options::Auth::kOpen;
  else if (v == "required") out = Options::Auth::kRequired;
  else return false;
  return true;
}

bool ParseText(const char* s, std::string& out) {
  if (*s == '\0') return false;
  out = s;
  return true;
}

// Every option that takes a value, with the parser of its value.
struct ValueOption {
  const char* name;
  bool (*parse)(const char* value, Options& opt);
};
constexpr ValueOption kValueOptions[] = {
    {"--port", [](const char* v, Options& o) { return ParseInt(v, 0, 65535, o.port); }},
    {"--threads", [](const char* v, Options& o) { return ParseInt(v, 1, kMaxEventThreads, o.threads); }},
    {"--backlog", [](const char* v, Options& o) { return ParseInt(v, 1, 1 << 20, o.backlog); }},
    {"--frame-timeout", [](const char* v, Options& o) { return ParseInt(v, 0, 24 * 3600, o.frame_timeout_s); }},
    {"--max-memory", [](const char* v, Options& o) { return ParseByteSize(v, o.max_memory); }},
    {"--data-dir", [](const char* v, Options& o) { return ParseText(v, o.data_dir); }},
    {"--check-data", [](const char* v, Options& o) { return ParseText(v, o.check_data); }},
    {"--fsync", [](const char* v, Options& o) { return ParseFsyncPolicy(v, o.fsync); }},
    {"--snapshot-every", [](const char* v, Options& o) { return ParseByteSize(v, o.snapshot_every) && o.snapshot_every > 0; }},
    {"--auth", [](const char* v, Options& o) { return ParseAuth(v, o.auth); }},
    {"--hash-threads", [](const char* v, Options& o) { return ParseInt(v, 1, kMaxHashThreads, o.hash_threads); }},
    {"--tls-port", [](const char* v, Options& o) { return ParseInt(v, 0, 65535, o.tls_port); }},
    {"--tls-cert", [](const char* v, Options& o) { return ParseText(v, o.tls_cert); }},
    {"--tls-key", [](const char* v, Options& o) { return ParseText(v, o.tls_key); }},
    {"--max-request-rate", [](const char* v, Options& o) { return ParseInt(v, 0, 1 << 30, o.max_request_rate); }},
    {"--max-conns-per-ip", [](const char* v, Options& o) { return ParseInt(v, 0, 1 << 30, o.max_conns_per_ip); }},
    {"--max-registrations-per-ip",
     [](const char* v, Options& o) { return ParseInt(v, 0, 1 << 30, o.max_registrations_per_ip); }},
    {"--max-chats-per-ip", [](const char* v, Options& o) { return ParseInt(v, 0, 1 << 30, o.max_chats_per_ip); }},
    {"--metrics-port", [](const char* v, Options& o) { return ParseInt(v, 0, 65535, o.metrics_port); }},
    {"--metrics-bind", [](const char* v, Options& o) { return ParseText(v, o.metrics_bind); }},
    {"--log-level", [](const char* v, Options& o) { return ParseLogLevel(v, o.log_level); }},
};

const ValueOption* FindValueOption(const std::string& name) {
  for (const ValueOption& o : kValueOptions)
    if (name == o.name) return &o;
  return nullptr;
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
    const ValueOption* option = FindValueOption(a);
    if (option == nullptr) {
      fprintf(stderr, "parleyd: unknown argument: %s\n%s", argv[i], kUsage);
      return 2;
    }
    if (!inline_value && i + 1 >= argc) {
      fprintf(stderr, "parleyd: %s needs a value\n%s", a.c_str(), kUsage);
      return 2;
    }
    const std::string value = inline_value ? *inline_value : argv[++i];
    const char* v = value.c_str();
    const bool ok = option->parse(v, opt);
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
