// The commands of the `parley` client, shared by the one-shot command line,
// the interactive shell and the live chat room.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parley/Client.h"

namespace parley::cli {

// Exit statuses of `parley`.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;      // the server answered "no"
inline constexpr int kExitUsage = 2;        // bad command line
inline constexpr int kExitUnreachable = 3;  // no connection, or it broke

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = kDefaultPort;
  bool json = false;
  TlsOptions tls;  // --tls, --cacert FILE, --insecure
};

// The server connection shared by the commands of one run or one shell
// session. Connects on first use and again after a failure.
class Session {
 public:
  explicit Session(Options options) : options_(std::move(options)) {}

  const Options& options() const { return options_; }
  std::string where() const { return options_.host + ":" + std::to_string(options_.port); }

  // The connected client, or nullptr after printing why it cannot connect.
  Client* Connect();

  // Prints (on stderr) why a request of `kind` failed and returns the exit
  // status for it: the refusal reason for "no", the transport failure otherwise.
  int Failure(RequestKind kind, Status status, const std::string& error) const;
  template <typename T>
  int Failure(RequestKind kind, const Result<T>& r) const {
    return Failure(kind, r.status, r.error);
  }

 private:
  Options options_;
  Client client_;
};

// Why the server may have answered "no" to a request of `kind`, in a few words.
const char* RefusalReason(RequestKind kind);

// Fetches the messages `ids` of `chat` in one pipeline. Each entry is the
// message, or nothing when the server refused it (the message was deleted
// meanwhile). On a transport failure the result carries it.
Result<std::vector<std::optional<Message>>> FetchAll(Client& client, std::string_view chat,
                                                     const std::vector<MessageId>& ids);

// Runs one command: `words` holds its name and its arguments. Returns the
// exit status. Prints results on stdout and diagnostics on stderr.
int RunCommand(Session& session, const std::vector<std::string>& words);

// The general help; `shell` words it for the interactive shell.
void PrintUsage(std::FILE* out, bool shell);

// The names of the commands, for completion.
std::vector<std::string> CommandNames();

}  // namespace parley::cli
