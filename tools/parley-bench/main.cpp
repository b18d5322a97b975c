// parley-bench: a load generator for the Parley chat server.
//
// Sets up users, chats and messages (untimed), then runs each selected test
// with many parallel connections, checks every reply, and prints throughput
// and latency percentiles. With --listers, a few more connections list one big
// chat over and over while the tests run. The push tests (subscribe, fanout;
// Fanout.h) set up their own users and chats. Exit status: 0 when every reply was
// correct, 1 when any was wrong or missing (a lister's listings included) or
// the server could not be reached, 2 for a bad command line.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <parley/Version.h>

#include "Background.h"
#include "Driver.h"
#include "Fanout.h"
#include "Options.h"
#include "Report.h"
#include "Setup.h"
#include "Socket.h"

using namespace parley::bench;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void Out(const std::string& s) {
  std::fwrite(s.data(), 1, s.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  ParseResult parsed = ParseOptions(args);
  if (parsed.help || parsed.version) {
    Out(parsed.help ? Usage() : std::string("parley-bench ") + PARLEY_VERSION + "\n");
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "parley-bench: %s\n%s", parsed.error.c_str(), Usage().c_str());
    return kExitUsage;
  }
  const Options& opt = *parsed.options;
  std::signal(SIGPIPE, SIG_IGN);

  // One descriptor per client plus the set-up connection, epoll sets and stdio,
  // and the listers with the connections that fill their chat.
  // The push tests add their subscribers and a publisher.
  bool request_tests = opt.listers > 0, push_tests = false;
  for (TestKind kind : opt.tests) (IsPushTest(kind) ? push_tests : request_tests) = true;
  unsigned long background_fds = opt.listers > 0 ? static_cast<unsigned long>(opt.listers) + 8 : 0;
  unsigned long push_fds = push_tests ? static_cast<unsigned long>(opt.subscribers) + 8 : 0;
  if (!RaiseFileLimit(static_cast<unsigned long>(opt.clients) + static_cast<unsigned long>(opt.threads) + 16 +
                      background_fds + push_fds)) {
    std::fprintf(stderr, "parley-bench: the descriptor limit is too low for %d clients and %d subscribers\n",
                 opt.clients, push_tests ? opt.subscribers : 0);
    return kExitUsage;
  }

  Fixture fx;
  NameFixture(fx, opt.clients, opt.body_bytes);
  size_t longest_user = fx.users.back().size();
  size_t max_body = MaxBodyBytes(longest_user, std::max(fx.send_chat.size(), fx.list_chat.size()));
  if (request_tests && opt.body_bytes > max_body) {
    std::fprintf(stderr, "parley-bench: -d %zu does not fit in one frame (at most %zu)\n", opt.body_bytes, max_body);
    return kExitUsage;
  }

  Address address;
  std::string err;
  if (!Resolve(opt.host, opt.port, address, err)) {
    std::fprintf(stderr, "parley-bench: %s\n", err.c_str());
    return kExitFailed;
  }
  std::unique_ptr<TlsContext> tls;
  if (opt.tls) {
    tls = TlsContext::Make({opt.cacert, opt.insecure}, err);
    if (!tls) {
      std::fprintf(stderr, "parley-bench: %s\n", err.c_str());
      return kExitFailed;
    }
    address.tls = tls.get();
  }
  switch (request_tests ? BuildFixture(address, fx, err) : SetupError::kNone) {
    case SetupError::kNone: break;
    case SetupError::kUnreachable:
      std::fprintf(stderr, "parley-bench: %s\n", err.c_str());
      return kExitFailed;
    case SetupError::kBadReply:
      std::fprintf(stderr, "parley-bench: set-up failed: %s\n", err.c_str());
      return kExitFailed;
  }

  std::unique_ptr<Listers> listers;
  std::chrono::steady_clock::time_point background_start;
  if (opt.listers > 0) {
    const std::string big_chat = fx.prefix + "big";
    if (!FillChat(address, fx.users.at(0), big_chat, opt.list_messages, true, err)) {
      std::fprintf(stderr, "parley-bench: set-up failed: %s\n", err.c_str());
      return kExitFailed;
    }
    listers = std::make_unique<Listers>(address, big_chat, opt.list_messages, opt.listers);
    if (!listers->Start(err)) {
      std::fprintf(stderr, "parley-bench: background: %s\n", err.c_str());
      return kExitFailed;
    }
    background_start = std::chrono::steady_clock::now();
  }

  if (opt.csv) Out(CsvHeader());
  unsigned long long errors = 0;
  std::unique_ptr<PushProtocol> push = MakeParleyProtocol();
  for (TestKind kind : opt.tests) {
    const ListerCounts before = listers ? listers->Counts() : ListerCounts{};
    TestResult r = kind == TestKind::kFanout      ? RunFanout(opt, address, *push)
                   : kind == TestKind::kSubscribe ? RunSubscribe(opt, address, *push)
                                                  : RunTest(opt, address, fx, kind);
    if (listers) {
      const ListerCounts after = listers->Counts();
      r.background_listings = after.listings - before.listings;
      r.background_bytes = after.bytes - before.bytes;
    }
    if (!r.fatal.empty()) {
      std::fprintf(stderr, "parley-bench: %s: %s\n", std::string(TestName(kind)).c_str(), r.fatal.c_str());
      return kExitFailed;
    }
    Out(FormatResult(opt, r));
    if (opt.csv) std::fputs(FormatIdleMemory(r).c_str(), stderr);  // keeps standard output pure CSV
    if (r.errors() > 0) {
      errors += r.errors();
      std::fprintf(stderr, "parley-bench: %s: %llu wrong, %llu missing; first: %s\n",
                   std::string(TestName(kind)).c_str(), static_cast<unsigned long long>(r.wrong),
                   static_cast<unsigned long long>(r.missing), r.first_error.c_str());
    }
  }

  if (listers) {
    const ListerCounts total = listers->Stop();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - background_start).count();
    const std::string line = FormatBackground(opt, total.listings, total.bytes, seconds);
    if (opt.csv)
      std::fputs(line.c_str(), stderr);  // keeps standard output pure CSV
    else
      Out(line);
    if (listers->failed() > 0) {
      std::fprintf(stderr, "parley-bench: background: %d of %d listers failed; first: %s\n", listers->failed(),
                   opt.listers, listers->first_error().c_str());
      return kExitFailed;
    }
  }
  if (errors > 0) {
    std::fprintf(stderr, "parley-bench: %llu wrong or missing replies\n", errors);
    return kExitFailed;
  }
  return 0;
}
