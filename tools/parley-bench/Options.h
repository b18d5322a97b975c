// Command line of parley-bench.
//
//   parley-bench [--host H] [--port P] [-c CLIENTS=50] [-n REQUESTS=100000]
//                [-P PIPELINE=1] [-d BODY_BYTES=64] [-t TESTS] [--csv] [-q]
//                [--threads N] [--listers N [--list-messages M]]
//                [--subscribers S] [--rate R] [--warmup SEC] [--duration SEC]
//                [--chats C] [--server-pid PID] [--tls [--cacert FILE | --insecure]] [--help]
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Workload.h"

namespace parley::bench {

// Every limit of the command line, in one place.
inline constexpr int kMaxClients = 100000;
inline constexpr int kMaxThreads = 64;
inline constexpr int kMaxPipeline = 4096;
// Each timed request keeps an 8-byte latency sample, so -n bounds the memory
// parley-bench needs (800 MB at this limit).
inline constexpr int64_t kMaxRequests = 100'000'000;
// Background listers, and the size of the chat they list. A listing of M ids is
// one frame of 16 + 8 M bytes, whose length must fit the 32-bit length prefix.
inline constexpr int kMaxListers = 64;
inline constexpr int64_t kMaxListMessages = 200'000'000;
inline constexpr int64_t kDefaultListMessages = 1'000'000;
// The push tests (subscribe, fanout): subscriber connections, the chats each
// follows in the subscribe test, the publisher's rate and the timed phases.
inline constexpr int kMaxChats = 100000;
inline constexpr int64_t kMaxRate = 10'000'000;
inline constexpr int kMaxSeconds = 3600;

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = 8080;
  int clients = 50;
  int64_t requests = 100000;  // per test, shared by all clients
  int pipeline = 1;           // requests written at once per client before waiting for their replies
  size_t body_bytes = 64;
  std::vector<TestKind> tests{std::begin(kRequestTests), std::end(kRequestTests)};  // run order
  bool csv = false;
  bool quiet = false;
  int threads = 1;  // each thread drives clients/threads connections
  int listers = 0;   // connections listing one big chat while the tests run
  int64_t list_messages = 0;  // size of that chat; set (default or given) when listers > 0
  int subscribers = 100;     // push tests: subscriber connections
  int chats = 1000;          // subscribe test: chats each subscriber follows
  int64_t rate = 0;          // fanout: messages published per second; 0 = as fast as the subscribers take them
  int warmup_s = 1;          // fanout: seconds of publishing before the measured window
  int duration_s = 5;        // fanout: seconds of the measured window
  long server_pid = 0;       // the server's process, for its memory and CPU time (0: unknown)
  bool tls = false;          // the request tests over TLS (the server's --tls-port)
  std::string cacert;        // check the server's certificate against these CAs (default: the system's)
  bool insecure = false;     // do not check the server's certificate
};

struct ParseResult {
  std::optional<Options> options;  // set when the command line is valid
  bool help = false;               // --help was given
  bool version = false;            // --version was given
  std::string error;               // why the command line was rejected
};

// Parses the arguments after the program name. The body size is checked
// against the frame limit later, once the names are known.
ParseResult ParseOptions(std::span<const std::string_view> args);

// The usage text printed by --help and after a command line error.
std::string Usage();

}  // namespace parley::bench
