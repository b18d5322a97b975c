// parley-bench: a load generator for the Parley chat server.
//
// Sets up users, chats and messages (untimed), then runs each selected test
// with many parallel connections, checks every reply, and prints throughput
// and latency percentiles. Exit status: 0 when every reply was correct, 1 when
// any was wrong or missing or the server could not be reached, 2 for a bad
// command line.
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Driver.h"
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
  if (parsed.help) {
    Out(Usage());
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "parley-bench: %s\n%s", parsed.error.c_str(), Usage().c_str());
    return kExitUsage;
  }
  const Options& opt = *parsed.options;
  std::signal(SIGPIPE, SIG_IGN);

  // One descriptor per client plus the set-up connection, epoll sets and stdio.
  if (!RaiseFileLimit(static_cast<unsigned long>(opt.clients) + static_cast<unsigned long>(opt.threads) + 16)) {
    std::fprintf(stderr, "parley-bench: the descriptor limit is too low for %d clients\n", opt.clients);
    return kExitUsage;
  }

  Fixture fx;
  NameFixture(fx, opt.clients, opt.body_bytes);
  size_t longest_user = fx.users.back().size();
  size_t max_body = MaxBodyBytes(longest_user, std::max(fx.send_chat.size(), fx.list_chat.size()));
  if (opt.body_bytes > max_body) {
    std::fprintf(stderr, "parley-bench: -d %zu does not fit in one frame (at most %zu)\n", opt.body_bytes, max_body);
    return kExitUsage;
  }

  Address address;
  std::string err;
  if (!Resolve(opt.host, opt.port, address, err)) {
    std::fprintf(stderr, "parley-bench: %s\n", err.c_str());
    return kExitFailed;
  }
  switch (BuildFixture(address, fx, err)) {
    case SetupError::kNone: break;
    case SetupError::kUnreachable:
      std::fprintf(stderr, "parley-bench: %s\n", err.c_str());
      return kExitFailed;
    case SetupError::kBadReply:
      std::fprintf(stderr, "parley-bench: set-up failed: %s\n", err.c_str());
      return kExitFailed;
  }

  if (opt.csv) Out(CsvHeader());
  unsigned long long errors = 0;
  for (TestKind kind : opt.tests) {
    TestResult r = RunTest(opt, address, fx, kind);
    if (!r.fatal.empty()) {
      std::fprintf(stderr, "parley-bench: %s: %s\n", std::string(TestName(kind)).c_str(), r.fatal.c_str());
      return kExitFailed;
    }
    Out(FormatResult(opt, r));
    if (r.errors() > 0) {
      errors += r.errors();
      std::fprintf(stderr, "parley-bench: %s: %llu wrong, %llu missing; first: %s\n",
                   std::string(TestName(kind)).c_str(), static_cast<unsigned long long>(r.wrong),
                   static_cast<unsigned long long>(r.missing), r.first_error.c_str());
    }
  }
  if (errors > 0) {
    std::fprintf(stderr, "parley-bench: %llu wrong or missing replies\n", errors);
    return kExitFailed;
  }
  return 0;
}
