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
  return "Usage: parley-bench [--host H] [--port P] [-c CLIENTS] [-n REQUESTS] [-P PIPELINE]\n"
         "                    [-d BODY_BYTES] [-t TESTS] [--threads N] [--csv] [-q]\n"
         "                    [--listers N [--list-messages M]] [--help]\n"
         "\n"
         "  --host H       server address (default 127.0.0.1)\n"
         "  --port P       server port (default 8080)\n"
         "  -c CLIENTS     parallel connections (default 50)\n"
         "  -n REQUESTS    requests per test, shared by all connections (default 100000)\n"
         "  -P PIPELINE    requests written at once per connection (default 1: no pipelining)\n"
         "  -d BODY_BYTES  message body size for send, fetch and list (default 64)\n"
         "  -t TESTS       comma-separated subset of: send,fetch,list,register,mixed\n"
         "                 (default all; they always run in that order)\n"
         "  --threads N    event loops, each driving a share of the connections (default 1)\n"
         "  --csv          machine-readable output: a header line, then one line per test\n"
         "  -q             quiet: one line per test\n"
         "  --listers N    background load: N more connections list one big chat over and\n"
         "                 over, reading each listing in full, for as long as the tests\n"
         "                 run (default 0: none); the listings completed are reported\n"
         "  --list-messages M\n"
         "                 messages in that chat, stored with one-byte bodies during\n"
         "                 set-up (default 1000000; only with --listers)\n"
         "\n"
         "Tests: send (message to a chat of all clients), fetch (one message by id),\n"
         "list (ids of a chat holding 100 messages), register (fresh account names),\n"
         "mixed (60% fetch, 25% list, 15% send). Users, chats and stored messages are set\n"
         "up first and not timed. Every reply is checked; wrong or missing replies are\n"
         "counted, reported, and make the exit status 1.\n";
}

ParseResult ParseOptions(std::span<const std::string_view> args) {
  ParseResult r;
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view a = args[i];
    if (a == "--help" || a == "-h") {
      r.help = true;
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
    static constexpr std::string_view kWithValue[] = {"--host", "--port", "-c", "-n",
                                                      "-P",     "-d",     "-t", "--threads",
                                                      "--listers", "--list-messages"};
    if (std::find(std::begin(kWithValue), std::end(kWithValue), a) == std::end(kWithValue)) {
      r.error = "unknown option '" + std::string(a) + "'";
      return r;
    }
    if (i + 1 >= args.size()) {
      r.error = "option " + std::string(a) + " needs a value";
      return r;
    }
    std::string_view v = args[++i];
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
  r.options = std::move(o);
  return r;
}

}  // namespace parley::bench
