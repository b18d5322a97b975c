// The commands of the `parley` client, shared by the one-shot command line,
// the interactive shell and the live chat room.
#pragma once

#include <chrono>
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
inline constexpr int kExitRefused = 1;      // the server answered "no" (a log-in included)
inline constexpr int kExitUsage = 2;        // bad command line
inline constexpr int kExitUnreachable = 3;  // no connection, or it broke

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = kDefaultPort;
  bool json = false;
  TlsOptions tls;  // --tls, --cacert FILE, --insecure
  // --user: log in as this user right after every connection. The secret
  // comes from --secret-file, else PARLEY_SECRET, else the terminal.
  std::optional<std::string> user;
  std::string secret_file;
  std::string new_secret_file;  // passwd: the new secret (else PARLEY_NEW_SECRET, else the terminal)
};

// The server connection shared by the commands of one run or one shell
// session. Connects on first use and again after a failure.
class Session {
 public:
  explicit Session(Options options) : options_(std::move(options)) {}

  const Options& options() const { return options_; }
  std::string where() const { return options_.host + ":" + std::to_string(options_.port); }

  // The connected (and, with --user, logged-in) client, or nullptr after
  // printing why not; connect_failure() is then the exit status.
  Client* Connect();
  int connect_failure() const { return connect_failure_; }

  // Connects `client` (closing what it had) and, when `log_in` and --user
  // are given, logs in. Prints nothing. kRefused: the log-in was refused;
  // kBadRequest: no secret could be had; otherwise the connection's failure.
  Result<> Open(Client& client, std::chrono::milliseconds timeout = Client::kDefaultTimeout, bool log_in = true);
  // Prints why Open failed and returns the exit status.
  int OpenFailure(const Result<>& r) const;
  // `user`'s secret is now `secret`: later log-ins as --user use it.
  void SecretChanged(const std::string& user, const std::string& secret);

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
  std::optional<std::string> secret_;  // --user's, read once
  int connect_failure_ = kExitUnreachable;
};

// Reports why a command failed and returns `status`: "parley: TEXT" on
// stderr ("parley: refused: TEXT" for kExitRefused) and, once JSON errors are
// on (--json), also {"status":"refused","exit":1,"error":"TEXT"} on stdout
// ("usage" for kExitUsage, "unreachable" for kExitUnreachable).
int Fail(int status, std::string_view text);
void SetJsonErrors(bool on);

// The largest body `send` (or `edit`, `edit` true) can carry for `user` and
// `chat` in one request: the request limit less the names and the fields.
size_t MaxBody(std::string_view user, std::string_view chat, bool edit);

// Logs `client` in, waiting long enough for a server that slows down failed
// log-ins.
Result<> LogIn(Client& client, std::string_view user, std::string_view secret);
// Prints that the log-in as `user` was refused; returns kExitRefused.
int LoginRefused(std::string_view user);

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
