#include "Options.h"

#include <algorithm>
#include <charconv>

namespace parley::bench {

namespace {

// Parses a whole decimal integer within [lo, hi].
template <typename T>
std::optional<T> ParseInt(std::string_view s, T lo, T hi) {
  T v{};
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc{} || end != s.data() + s.size() || v < lo || v > hi) return std::nullopt;
  return v;
}

std::optional<std::vector<TestKind>> ParseTests(std::string_view list) {
  std::vector<bool> wanted(std::size(kAllTests), false);
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view name = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    if (name.empty()) continue;
    auto kind = ParseTestName(name);
    if (!kind) return std::nullopt;
    wanted[static_cast<size_t>(*kind)] = true;
  }
  std::vector<TestKind> tests;
  for (TestKind k : kAllTests)
    if (wanted[static_cast<size_t>(k)]) tests.push_back(k);
  if (tests.empty()) return std::nullopt;
  return tests;
}

}  // namespace

std::string Usage() {
  return "Usage: parley-bench [OPTIONS]\n"
         "\n"
         "Load generator for the Parley chat server: sets up users and chats, runs the\n"
         "selected tests over many parallel connections, checks every reply and prints\n"
         "throughput and latency percentiles.\n"
         "\n"
         "Options:\n"
         "  --host H            server address (default 127.0.0.1)\n"
         "  --port P            server port (default 8080)\n"
         "  -c CLIENTS          parallel connections (default 50)\n"
         "  -n REQUESTS         requests per test, shared by all connections (default\n"
         "                      100000)\n"
         "  -P PIPELINE         requests written at once per connection (default 1: no\n"
         "                      pipelining)\n"
         "  -d BODY_BYTES       message body size for send, fetch, list and fanout\n"
         "                      (default 64)\n"
         "  -t TESTS            comma-separated subset of: send,fetch,list,register,\n"
         "                      mixed,subscribe,fanout (default the first five; they\n"
         "                      always run in that order)\n"
         "  --threads N         event loops, each driving a share of the connections\n"
         "                      (default 1)\n"
         "  --csv               machine-readable output: a header line, then one line per\n"
         "                      test\n"
         "  -q                  quiet: one line per test\n"
         "  --listers N         background load: N more connections list one big chat\n"
         "                      over and over, reading each listing in full, for as long\n"
         "                      as the tests run (default 0: none); the listings\n"
         "                      completed are reported\n"
         "  --list-messages M   messages in that chat, stored with one-byte bodies\n"
         "                      during set-up (default 1000000; only with --listers)\n"
         "  --subscribers S     subscriber connections of subscribe and fanout (default\n"
         "                      100)\n"
         "  --rate R            fanout: messages published per second (default 0: flat\n"
         "                      out, with -P publishes unanswered and no subscriber more\n"
         "                      than 1024 messages behind)\n"
         "  --warmup SEC        fanout: seconds of publishing before the measured window\n"
         "                      (default 1)\n"
         "  --duration SEC      fanout: seconds of the measured window (default 5)\n"
         "  --chats C           subscribe: chats each subscriber follows (default 1000)\n"
         "  --server-pid PID    the server's process on this machine: subscribe reports\n"
         "                      its memory per idle subscription, fanout its CPU time\n"
         "  --tls               speak TLS (to the server's --tls-port); the request tests\n"
         "                      only, without --listers. The handshakes are not timed\n"
         "  --cacert FILE       trust the CA certificates in FILE (PEM) rather than the\n"
         "                      system's; the certificate must name the host connected to\n"
         "  --insecure          accept any certificate (for a quick try only)\n"
         "  --help              show this help and exit\n"
         "  --version           show the version and exit\n"
         "Options take their value as \"-c 8\" or, the long ones, \"--port=9000\".\n"
         "\n"
         "Tests: send (message to a chat of all clients), fetch (one message by id),\n"
         "list (ids of a chat holding 100 messages), register (fresh account names),\n"
         "mixed (60% fetch, 25% list, 15% send), subscribe (S connections each follow C\n"
         "chats; subscriptions per second, and with --server-pid the server's growth per\n"
         "subscription), fanout (S connections follow one chat, one more publishes to it;\n"
         "events delivered per second and publish-to-delivery latency, each event's body\n"
         "carrying its send time). Users, chats and stored messages are set up first and\n"
         "not timed. Every reply is checked; wrong or missing replies are\n"
         "counted, reported, and make the exit status 1.\n"
         "\n"
         "Exit status: 0 every reply was right, 1 a wrong or missing reply or the\n"
         "server could not be reached, 2 a bad command line.\n";
}

ParseResult ParseOptions(std::span<const std::string_view> args) {
  ParseResult r;
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    // "--name value" or "--name=value".
    std::string_view a = args[i];
    std::optional<std::string_view> inline_value;
    if (const size_t eq = a.find('='); a.starts_with("--") && eq != std::string_view::npos) {
      inline_value = a.substr(eq + 1);
      a = a.substr(0, eq);
    }
    const bool flag = a == "--help" || a == "-h" || a == "--version" || a == "--csv" || a == "-q" || a == "--tls" ||
                      a == "--insecure";
    if (flag && inline_value) {
      r.error = std::string(a) + " takes no value";
      return r;
    }
    if (a == "--help" || a == "-h" || a == "--version") {
      (a == "--version" ? r.version : r.help) = true;
      return r;
    }
    if (a == "--csv") {
      o.csv = true;
      continue;
    }
    if (a == "-q") {
      o.quiet = true;
      continue;
    }
    if (a == "--tls" || a == "--insecure") {
      (a == "--tls" ? o.tls : o.insecure) = true;
      continue;
    }
    static constexpr std::string_view kWithValue[] = {"--host", "--port", "-c", "-n",
                                                      "-P",     "-d",     "-t", "--threads",
                                                      "--listers", "--list-messages", "--subscribers",
                                                      "--rate", "--warmup", "--duration", "--chats",
                                                      "--server-pid", "--cacert"};
    if (std::find(std::begin(kWithValue), std::end(kWithValue), a) == std::end(kWithValue)) {
      r.error = "unknown option '" + std::string(a) + "'";
      return r;
    }
    if (!inline_value && i + 1 >= args.size()) {
      r.error = std::string(a) + " needs a value";
      return r;
    }
    std::string_view v = inline_value ? *inline_value : args[++i];
    bool ok = true;
    if (a == "--host") {
      o.host = std::string(v);
      ok = !v.empty();
    } else if (a == "--port") {
      auto p = ParseInt<uint16_t>(v, 1, 65535);
      ok = p.has_value();
      if (ok) o.port = *p;
    } else if (a == "-c") {
      auto p = ParseInt<int>(v, 1, kMaxClients);
      ok = p.has_value();
      if (ok) o.clients = *p;
    } else if (a == "-n") {
      auto p = ParseInt<int64_t>(v, 1, kMaxRequests);
      ok = p.has_value();
      if (ok) o.requests = *p;
    } else if (a == "-P") {
      auto p = ParseInt<int>(v, 1, kMaxPipeline);
      ok = p.has_value();
      if (ok) o.pipeline = *p;
    } else if (a == "-d") {
      auto p = ParseInt<size_t>(v, 0, static_cast<size_t>(wire::kMaxPayload));
      ok = p.has_value();
      if (ok) o.body_bytes = *p;
    } else if (a == "-t") {
      auto t = ParseTests(v);
      ok = t.has_value();
      if (ok) o.tests = std::move(*t);
    } else if (a == "--threads") {
      auto p = ParseInt<int>(v, 1, kMaxThreads);
      ok = p.has_value();
      if (ok) o.threads = *p;
    } else if (a == "--listers") {
      auto p = ParseInt<int>(v, 0, kMaxListers);
      ok = p.has_value();
      if (ok) o.listers = *p;
    } else if (a == "--list-messages") {
      auto p = ParseInt<int64_t>(v, 1, kMaxListMessages);
      ok = p.has_value();
      if (ok) o.list_messages = *p;
    } else if (a == "--subscribers") {
      auto p = ParseInt<int>(v, 1, kMaxClients);
      ok = p.has_value();
      if (ok) o.subscribers = *p;
    } else if (a == "--chats") {
      auto p = ParseInt<int>(v, 1, kMaxChats);
      ok = p.has_value();
      if (ok) o.chats = *p;
    } else if (a == "--rate") {
      auto p = ParseInt<int64_t>(v, 0, kMaxRate);
      ok = p.has_value();
      if (ok) o.rate = *p;
    } else if (a == "--warmup" || a == "--duration") {
      auto p = ParseInt<int>(v, a == "--warmup" ? 0 : 1, kMaxSeconds);
      ok = p.has_value();
      if (ok) (a == "--warmup" ? o.warmup_s : o.duration_s) = *p;
    } else if (a == "--cacert") {
      o.cacert = std::string(v);
      ok = !v.empty();
    } else if (a == "--server-pid") {
      auto p = ParseInt<long>(v, 1, 1L << 30);
      ok = p.has_value();
      if (ok) o.server_pid = *p;
    }
    if (!ok) {
      r.error = "bad value '" + std::string(v) + "' for " + std::string(a);
      return r;
    }
  }
  if (o.threads > o.clients) o.threads = o.clients;  // a thread without connections does nothing
  if (o.listers == 0 && o.list_messages > 0) {
    r.error = "--list-messages needs --listers";
    return r;
  }
  if (o.listers > 0 && o.list_messages == 0) o.list_messages = kDefaultListMessages;
  const bool push = std::any_of(o.tests.begin(), o.tests.end(), IsPushTest);
  if (!o.tls && (o.insecure || !o.cacert.empty())) r.error = "--cacert and --insecure need --tls";
  else if (o.insecure && !o.cacert.empty()) r.error = "--insecure checks no certificate: drop --cacert";
  else if (o.tls && (push || o.listers > 0)) r.error = "--tls runs the request tests only, without --listers";
  if (!r.error.empty()) return r;
  r.options = std::move(o);
  return r;
}

}  // namespace parley::bench
