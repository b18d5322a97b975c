#include "Cli.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "ChatRoom.h"
#include "Secret.h"
#include "Stats.h"
#include "Text.h"
#include "Watch.h"

namespace parley::cli {

namespace {

using Args = std::vector<std::string>;
// The server delays each failed log-in a little more than the last.
constexpr std::chrono::milliseconds kLoginTimeout{60000};
constexpr size_t kRest = std::numeric_limits<size_t>::max();  // the last argument takes the rest

struct Command {
  std::string_view name;
  std::string_view args;     // synopsis of the arguments
  std::string_view summary;  // one line
  std::string_view details;  // further help, may be empty
  size_t min_args;
  size_t max_args;
  int (*run)(Session&, const Args&);
};

void Print(std::string_view s) { std::fwrite(s.data(), 1, s.size(), stdout); }

// The printed result of a request that only has a status.
int PrintOk(const Session& s) {
  Print(s.options().json ? "{\"status\":\"ok\"}\n" : "ok\n");
  return kExitOk;
}

std::string MessageJson(MessageId id, const Message& m) {
  return "{\"id\":" + std::to_string(id) + ",\"sender\":" + JsonString(m.sender) +
         ",\"body\":" + JsonString(m.body) + "}\n";
}

bool json_errors = false;

int UsageError(std::string_view text) { return Fail(kExitUsage, text); }

std::optional<MessageId> ParseId(const std::string& s) {
  auto id = ParseInt(s);
  if (!id) UsageError("not a message id: '" + s + "'");
  return id;
}

// The text argument that starts at `args[from]`: the remaining words joined
// by blanks, or, for the single word "-", all of standard input byte for byte.
std::optional<std::string> TextArg(const Args& args, size_t from) {
  if (args.size() == from + 1 && args[from] == "-") {
    std::string body;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) body.append(buf, n);
    if (std::ferror(stdin)) {
      UsageError(std::string("reading standard input: ") + std::strerror(errno));
      return std::nullopt;
    }
    return body;
  }
  std::string text;
  for (size_t i = from; i < args.size(); ++i) text += (i > from ? " " : "") + args[i];
  return text;
}

// Runs a request that only has a status and prints the outcome.
int StatusCall(Session& s, const Request& request) {
  Client* c = s.Connect();
  if (c == nullptr) return s.connect_failure();
  auto r = c->Call(request);
  return r ? PrintOk(s) : s.Failure(request.kind(), r);
}

int RunRegister(Session& s, const Args& a) { return StatusCall(s, Request::Register(a[0])); }
int RunCreate(Session& s, const Args& a) { return StatusCall(s, Request::CreateChat(a[0], a[1])); }
int RunJoin(Session& s, const Args& a) { return StatusCall(s, Request::JoinChat(a[0], a[1])); }

// The body of send or edit, or nothing (reported) when it cannot be read or
// does not fit in one request.
std::optional<std::string> Body(const Args& a, size_t from, bool edit) {
  auto text = TextArg(a, from);
  const size_t max = MaxBody(a[0], a[1], edit);
  if (text && text->size() > max) {
    UsageError("message too long: " + std::to_string(text->size()) + " bytes, at most " + std::to_string(max) +
               " fit (a request is at most " + std::to_string(kMaxRequestPayload) +
               " bytes, the user and chat names included); nothing sent");
    return std::nullopt;
  }
  return text;
}

int RunSend(Session& s, const Args& a) {
  auto text = Body(a, 2, false);
  return text ? StatusCall(s, Request::Send(a[0], a[1], *text)) : kExitUsage;
}

int RunEdit(Session& s, const Args& a) {
  auto id = ParseId(a[2]);
  if (!id) return kExitUsage;
  auto text = Body(a, 3, true);
  return text ? StatusCall(s, Request::Edit(a[0], a[1], *id, *text)) : kExitUsage;
}

int RunDelete(Session& s, const Args& a) {
  auto id = ParseId(a[2]);
  return id ? StatusCall(s, Request::Delete(a[0], a[1], *id)) : kExitUsage;
}

int RunForward(Session& s, const Args& a) {
  auto id = ParseId(a[3]);
  return id ? StatusCall(s, Request::Forward(a[0], a[1], a[2], *id)) : kExitUsage;
}

int RunList(Session& s, const Args& a) {
  Client* c = s.Connect();
  if (c == nullptr) return s.connect_failure();
  auto r = c->List(a[0]);
  if (!r) return s.Failure(RequestKind::kList, r);
  std::string out;
  for (MessageId id : r.value)
    out += s.options().json ? "{\"id\":" + std::to_string(id) + "}\n" : std::to_string(id) + "\n";
  Print(out);
  return kExitOk;
}

int RunGet(Session& s, const Args& a) {
  auto id = ParseId(a[1]);
  if (!id) return kExitUsage;
  Client* c = s.Connect();
  if (c == nullptr) return s.connect_failure();
  auto r = c->Fetch(a[0], *id);
  if (!r) return s.Failure(RequestKind::kFetch, r);
  Print(s.options().json ? MessageJson(*id, r.value) : r.value.sender + "\n" + r.value.body + "\n");
  return kExitOk;
}

int RunHistory(Session& s, const Args& a) {
  std::optional<std::string> chat;
  std::optional<int64_t> last;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == "--last" || a[i].starts_with("--last=")) {
      std::string n = a[i] == "--last" ? (i + 1 < a.size() ? a[++i] : "") : a[i].substr(7);
      last = ParseInt(n);
      if (!last || *last < 0) return UsageError("--last needs a count, not '" + n + "'");
    } else if (!chat) {
      chat = a[i];
    } else {
      return UsageError("usage: parley history CHAT [--last N]");
    }
  }
  if (!chat) return UsageError("usage: parley history CHAT [--last N]");

  Client* c = s.Connect();
  if (c == nullptr) return s.connect_failure();
  auto ids = c->List(*chat);
  if (!ids) return s.Failure(RequestKind::kList, ids);
  std::vector<MessageId>& all = ids.value;
  if (last && static_cast<uint64_t>(*last) < all.size())
    all.erase(all.begin(), all.end() - static_cast<std::ptrdiff_t>(*last));
  auto messages = FetchAll(*c, *chat, all);
  if (!messages) return s.Failure(RequestKind::kFetch, messages);
  std::string out;
  for (size_t i = 0; i < all.size(); ++i) {
    const auto& m = messages.value[i];
    if (!m) continue;  // deleted between the listing and the fetch
    out += s.options().json
               ? MessageJson(all[i], *m)
               : std::to_string(all[i]) + " " + Printable(m->sender) + ": " + Printable(m->body) + "\n";
  }
  Print(out);
  return kExitOk;
}

int RunChatCommand(Session& s, const Args& a) { return RunChat(s, a[0], a[1]); }

// The secret from the file option given, else the environment variable, else the terminal.
std::optional<std::string> Secret(const std::string& file, const char* env, const std::string& prompt, bool confirm) {
  std::string error;
  auto secret = ReadSecret({file, env, prompt, confirm}, error);
  if (!secret) UsageError(error);
  return secret;
}

int RunSignup(Session& s, const Args& a) {
  auto secret = Secret(s.options().secret_file, "PARLEY_SECRET", "Secret for " + Printable(a[0]) + ": ", true);
  if (!secret) return kExitUsage;
  Client c;
  if (auto r = s.Open(c, Client::kDefaultTimeout, false); !r) return s.OpenFailure(r);
  auto r = c.RegisterWithSecret(a[0], *secret);
  return r ? PrintOk(s) : s.Failure(RequestKind::kRegisterSecret, r);
}

int RunPasswd(Session& s, const Args& a) {
  const Options& o = s.options();
  auto old_secret = Secret(o.secret_file, "PARLEY_SECRET", "Current secret for " + Printable(a[0]) + ": ", false);
  if (!old_secret) return kExitUsage;
  auto new_secret = Secret(o.new_secret_file, "PARLEY_NEW_SECRET", "New secret for " + Printable(a[0]) + ": ", true);
  if (!new_secret) return kExitUsage;
  Client c;
  if (auto r = s.Open(c, Client::kDefaultTimeout, false); !r) return s.OpenFailure(r);
  if (auto r = LogIn(c, a[0], *old_secret); !r)
    return r.status == Status::kRefused ? LoginRefused(a[0]) : s.Failure(RequestKind::kLogin, r);
  auto r = c.ChangeSecret(a[0], *old_secret, *new_secret);
  if (!r) return s.Failure(RequestKind::kChangeSecret, r);
  s.SecretChanged(a[0], *new_secret);
  return PrintOk(s);
}

int RunHelp(Session&, const Args& a);

const Command kCommands[] = {
    {"register", "USER", "register a user name", "", 1, 1, RunRegister},
    {"create", "USER CHAT", "create a chat, with USER as its first member", "", 2, 2, RunCreate},
    {"join", "USER CHAT", "make USER a member of CHAT (ok if already one)", "", 2, 2, RunJoin},
    {"send", "USER CHAT TEXT", "post TEXT to CHAT as USER",
     "TEXT is the rest of the line; a single '-' reads the body from standard input,\n"
     "byte for byte. USER must be a member of CHAT. The server does not report the new\n"
     "message's id: 'parley list CHAT' shows it last.",
     3, kRest, RunSend},
    {"edit", "USER CHAT ID TEXT", "replace the body of USER's message ID",
     "TEXT is the rest of the line; a single '-' reads it from standard input.", 4, kRest, RunEdit},
    {"delete", "USER CHAT ID", "delete USER's message ID", "", 3, 3, RunDelete},
    {"forward", "USER FROM_CHAT TO_CHAT ID", "copy message ID of FROM_CHAT into TO_CHAT, sent by USER", "", 4,
     4, RunForward},
    {"list", "CHAT", "the chat's message ids, one per line, oldest first",
     "With --json: one {\"id\":N} object per line.", 1, 1, RunList},
    {"get", "CHAT ID", "the sender and the body of a message",
     "Prints the sender on one line, then the body exactly as stored, then a newline.\n"
     "With --json: {\"id\":N,\"sender\":\"...\",\"body\":\"...\"}.",
     2, 2, RunGet},
    {"history", "CHAT [--last N]", "the chat's messages with id, sender and body, oldest first",
     "One message per line: 'ID SENDER: BODY'; control characters in a body are shown\n"
     "escaped (\\n, \\x1b). --last N shows only the newest N. With --json: one\n"
     "{\"id\":N,\"sender\":\"...\",\"body\":\"...\"} object per line.",
     1, 3, RunHistory},
    {"chat", "USER CHAT", "a live chat room in the terminal",
     "Joins CHAT as USER (creating the chat if it does not exist), shows its newest\n"
     "messages as 'ID SENDER: BODY' and then every new message, edit and deletion as\n"
     "the server pushes it. Each line typed is sent as a message. Commands:\n"
     "  /edit ID TEXT     replace the text of your message ID\n"
     "  /delete ID        delete your message ID\n"
     "  /forward ID CHAT  copy message ID into another chat\n"
     "  /help             list these commands\n"
     "  /quit             leave (also Ctrl-D or Ctrl-C)\n"
     "Start a line with '//' to send a message that begins with '/'. When the\n"
     "connection breaks, the room reconnects and shows what it missed.",
     2, 2, RunChatCommand},
    {"watch", "USER CHAT [--json]", "print the chat's new messages, edits and deletions as they happen",
     "USER must be a member of CHAT. One line per event: 'message ID SENDER: BODY',\n"
     "'edit ID: BODY' or 'delete ID'. With --json: {\"event\":\"message\",\"chat\":\"...\",\n"
     "\"id\":N,\"sender\":\"...\",\"body\":\"...\"}; an edit has no sender, a deletion\n"
     "neither sender nor body. Runs until interrupted (exit 0) or until the connection\n"
     "is lost (exit 3, no reconnection: start it again and use 'history' for the gap).",
     2, 3, RunWatch},
    {"signup", "USER", "register USER with a secret, to log in with --user USER",
     "The secret is taken from --secret-file FILE (its first line), else from the\n"
     "environment variable PARLEY_SECRET, else typed on the terminal twice, without\n"
     "echo. It is 1 to 1024 bytes of any kind and is never printed. A server run with\n"
     "'--auth required' takes only such accounts ('register' is refused there).",
     1, 1, RunSignup},
    {"passwd", "USER", "change USER's secret",
     "The current secret is taken as for 'signup' (--secret-file FILE, PARLEY_SECRET,\n"
     "or the terminal); the new one from --new-secret-file FILE, else the environment\n"
     "variable PARLEY_NEW_SECRET, else typed on the terminal twice. Logs in as USER\n"
     "with the current secret, then replaces it.",
     1, 1, RunPasswd},
    {"stats", "[--metrics HOST:PORT] [--json]", "the server's figures from its metrics endpoint",
     "Reads http://HOST:PORT/metrics (parleyd --metrics-port; default 127.0.0.1:9464) and prints\n"
     "connections, requests by kind (ok, no, undecodable; latency percentiles estimated\n"
     "from the histogram buckets), traffic, memory, journal, snapshots, push and the\n"
     "server's counters. With --json: one JSON object. Exit status 3 when the endpoint\n"
     "cannot be read.",
     0, 3, RunStats},
    {"help", "[COMMAND]", "general help, or the help of COMMAND", "", 0, 1, RunHelp},
};

const Command* Find(std::string_view name) {
  for (const Command& c : kCommands)
    if (c.name == name) return &c;
  return nullptr;
}

void PrintCommandHelp(const Command& c) {
  std::printf("Usage: parley [OPTIONS] %.*s %.*s\n\n%.*s.\n", static_cast<int>(c.name.size()), c.name.data(),
              static_cast<int>(c.args.size()), c.args.data(), static_cast<int>(c.summary.size()),
              c.summary.data());
  if (!c.details.empty()) std::printf("\n%.*s\n", static_cast<int>(c.details.size()), c.details.data());
}

int RunHelp(Session&, const Args& a) {
  if (a.empty()) {
    PrintUsage(stdout, false);
    return kExitOk;
  }
  const Command* c = Find(a[0]);
  if (c == nullptr) return UsageError("no such command: '" + a[0] + "'");
  PrintCommandHelp(*c);
  return kExitOk;
}

}  // namespace

Client* Session::Connect() {
  if (client_.connected()) return &client_;
  auto r = Open(client_);
  if (r) return &client_;
  connect_failure_ = OpenFailure(r);
  return nullptr;
}

Result<> Session::Open(Client& client, std::chrono::milliseconds timeout, bool log_in) {
  if (log_in && options_.user && !secret_) {
    std::string error;
    secret_ = ReadSecret({options_.secret_file, "PARLEY_SECRET", "Secret for " + Printable(*options_.user) + ": "},
                         error);
    if (!secret_) return {Status::kBadRequest, {}, std::move(error)};
  }
  client.set_tls(options_.tls);
  auto r = client.Connect(options_.host, options_.port, timeout);
  if (!r || !log_in || !options_.user) return r;
  r = LogIn(client, *options_.user, *secret_);
  if (!r) client.Close();
  return r;
}

int Session::OpenFailure(const Result<>& r) const {
  switch (r.status) {
    case Status::kRefused: return LoginRefused(*options_.user);
    case Status::kBadRequest: return UsageError(r.error);
    default: return Fail(kExitUnreachable, "cannot reach the server: " + r.error);
  }
}

void Session::SecretChanged(const std::string& user, const std::string& secret) {
  if (options_.user == user) secret_ = secret;
}

Result<> LogIn(Client& client, std::string_view user, std::string_view secret) {
  const auto timeout = client.timeout();
  client.set_timeout(std::max(timeout, kLoginTimeout));
  auto r = client.Login(user, secret);
  client.set_timeout(timeout);
  return r;
}

int LoginRefused(std::string_view user) {
  return Fail(kExitRefused, "cannot log in as '" + Printable(user) + "': " + RefusalReason(RequestKind::kLogin));
}

int Fail(int status, std::string_view text) {
  const char* kind = status == kExitRefused ? "refused" : status == kExitUsage ? "usage" : "unreachable";
  std::fprintf(stderr, "parley: %s%.*s\n", status == kExitRefused ? "refused: " : "", static_cast<int>(text.size()),
               text.data());
  if (json_errors) {
    const std::string line = std::string("{\"status\":\"") + kind + "\",\"exit\":" + std::to_string(status) +
                             ",\"error\":" + JsonString(text) + "}\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
  return status;
}

void SetJsonErrors(bool on) { json_errors = on; }

size_t MaxBody(std::string_view user, std::string_view chat, bool edit) {
  const size_t fields = (edit ? Request::Edit(user, chat, 0, "") : Request::Send(user, chat, "")).payload_size();
  return fields < kMaxRequestPayload ? kMaxRequestPayload - fields : 0;
}

const char* RefusalReason(RequestKind kind) {
  switch (kind) {
    case RequestKind::kRegister: return "the user name is already registered (or the server takes only 'signup')";
    case RequestKind::kCreateChat: return "user not registered or chat name already taken";
    case RequestKind::kJoinChat: return "user not registered or no such chat";
    case RequestKind::kSend: return "user not registered, no such chat or not a member of the chat";
    case RequestKind::kEdit: return "not a member of the chat or no such message of the user";
    case RequestKind::kDelete: return "no such message of the user in the chat";
    case RequestKind::kForward: return "no such message, or not a member of the target chat";
    case RequestKind::kFetch: return "no such chat or no such message";
    case RequestKind::kList: return "no such chat";
    case RequestKind::kSubscribe: return "user not registered, no such chat or not a member of the chat";
    case RequestKind::kUnsubscribe: return "not a member of the chat or not subscribed to it";
    case RequestKind::kHistory: return "no such chat or no such message to start after";
    case RequestKind::kRegisterSecret: return "the user name is already registered";
    case RequestKind::kLogin: return "no such user or wrong secret";
    case RequestKind::kChangeSecret: return "no such user or wrong current secret";
  }
  return "refused";
}

int Session::Failure(RequestKind kind, Status status, const std::string& error) const {
  switch (status) {
    case Status::kOk: return kExitOk;
    case Status::kRefused: return Fail(kExitRefused, RefusalReason(kind));
    case Status::kBadRequest: return Fail(kExitUsage, error);
    case Status::kConnectionLost: return Fail(kExitUnreachable, "connection to " + where() + " lost: " + error);
    case Status::kTimeout: return Fail(kExitUnreachable, "no reply from " + where() + ": " + error);
    case Status::kMalformed: return Fail(kExitUnreachable, "malformed reply from " + where() + ": " + error);
  }
  return kExitUnreachable;
}

Result<std::vector<std::optional<Message>>> FetchAll(Client& client, std::string_view chat,
                                                     const std::vector<MessageId>& ids) {
  Result<std::vector<std::optional<Message>>> out{Status::kOk, {}, {}};
  for (MessageId id : ids) {
    Request req = Request::Fetch(chat, id);
    if (Status st = client.Queue(req); st != Status::kOk) {
      client.Close();  // drop what was queued: the replies are no longer wanted
      return {st, {}, st == Status::kBadRequest ? "the chat name is too long" : "not connected"};
    }
  }
  out.value.reserve(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    auto r = client.ReadReply();
    if (r.status == Status::kRefused) {
      out.value.emplace_back();
    } else if (!r) {
      return {r.status, {}, std::move(r.error)};
    } else {
      out.value.emplace_back(std::get<Message>(std::move(r.value)));
    }
  }
  return out;
}

int RunCommand(Session& session, const std::vector<std::string>& words) {
  if (words.empty()) return UsageError("no command given (try 'parley --help')");
  const Command* c = Find(words[0]);
  if (c == nullptr) return UsageError("unknown command '" + words[0] + "' (try 'parley --help')");
  Args args;
  bool options_done = false;
  for (size_t i = 1; i < words.size(); ++i) {
    if (!options_done && words[i] == "--") {
      options_done = true;
    } else if (!options_done && (words[i] == "--help" || words[i] == "-h")) {
      PrintCommandHelp(*c);
      return kExitOk;
    } else {
      args.push_back(words[i]);
    }
  }
  if (args.size() < c->min_args || args.size() > c->max_args) {
    std::string synopsis = "usage: parley " + std::string(c->name) + " " + std::string(c->args);
    return UsageError(synopsis + " (see 'parley " + std::string(c->name) + " --help')");
  }
  int status = c->run(session, args);
  std::fflush(stdout);
  return status;
}

void PrintUsage(std::FILE* out, bool shell) {
  if (shell) {
    std::fputs("Commands (the same as on the command line; 'quit' or Ctrl-D leaves):\n", out);
  } else {
    std::fputs(
        "Usage: parley [OPTIONS] COMMAND [ARGS]\n"
        "  or:  parley [OPTIONS]\n"
        "\n"
        "Client of the Parley chat server. With no COMMAND, starts an interactive shell.\n"
        "\n"
        "Options:\n"
        "  --host H            server address (default 127.0.0.1)\n"
        "  --port P            server port (default 8080)\n"
        "  --tls               encrypt the connection (the server's --tls-port); the\n"
        "                      server's certificate must verify against the system's CA\n"
        "                      certificates and name the host given with --host\n"
        "  --cacert FILE       with --tls: verify the server against the CA certificates\n"
        "                      in FILE (PEM) instead of the system's\n"
        "  --insecure          with --tls: do not verify the server (for tests only)\n"
        "  --json              print data as one JSON object per line, and failures as\n"
        "                      {\"status\":...,\"exit\":N,\"error\":...} too\n"
        "  --user U            log in as U right after connecting (a server run with\n"
        "                      --auth required answers nothing else before that, and\n"
        "                      refuses requests naming another user)\n"
        "  --secret-file F     the secret of --user: the first line of F; else the\n"
        "                      environment variable PARLEY_SECRET, else typed on the\n"
        "                      terminal without echo (never on the command line)\n"
        "  --new-secret-file F  passwd's new secret (else PARLEY_NEW_SECRET, else typed)\n"
        "  --help              this help; 'parley COMMAND --help' explains one command\n"
        "  --version           show the version and exit\n"
        "Options take their value as \"--port 9000\" or \"--port=9000\".\n"
        "\n"
        "Commands:\n",
        out);
  }
  for (const Command& c : kCommands) {
    std::string head = std::string(c.name) + " " + std::string(c.args);
    std::fprintf(out, "  %-34s %.*s\n", head.c_str(), static_cast<int>(c.summary.size()), c.summary.data());
  }
  if (!shell)
    std::fputs(
        "\n"
        "Exit status: 0 ok, 1 refused by the server (a log-in too), 2 usage error (no\n"
        "secret to be had included), 3 server unreachable or connection broken.\n"
        "A secret is never taken from the command line, and never printed.\n",
        out);
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const Command& c : kCommands) names.emplace_back(c.name);
  return names;
}

}  // namespace parley::cli
