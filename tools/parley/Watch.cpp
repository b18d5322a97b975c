#include "Watch.h"

#include <poll.h>

#include <csignal>

#include "Text.h"

namespace parley::cli {

namespace {

volatile sig_atomic_t g_stop = 0;
extern "C" void OnStop(int) { g_stop = 1; }

// SIGINT, SIGTERM and SIGHUP set g_stop; they stay blocked except while
// waiting for the server, so a wait is the only thing they interrupt.
class StopSignals {
 public:
  StopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sigset_t block;
    sigemptyset(&block);
    for (int i = 0; i < 3; ++i) {
      sigaction(kSignals[i], &sa, &old_actions_[i]);
      sigaddset(&block, kSignals[i]);
    }
    sigprocmask(SIG_BLOCK, &block, &old_mask_);
  }
  ~StopSignals() {
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &old_actions_[i], nullptr);
    sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  // Waits until `fd` can be read or a stop signal arrives.
  void Wait(int fd) const {
    pollfd p{fd, POLLIN, 0};
    ppoll(&p, 1, nullptr, &old_mask_);
  }

 private:
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  sigset_t old_mask_{};
  struct sigaction old_actions_[3]{};
};

// One event as a line: "message ID SENDER: BODY", "edit ID: BODY" or
// "delete ID", with the text made printable; or as a JSON object.
std::string EventLine(const Event& e, bool json) {
  const std::string id = std::to_string(e.id);
  if (json) {
    std::string out = std::string("{\"event\":\"") + ToString(e.kind) + "\",\"chat\":" + JsonString(e.chat) +
                      ",\"id\":" + id;
    if (e.kind == EventKind::kMessage) out += ",\"sender\":" + JsonString(e.sender);
    if (e.kind != EventKind::kDelete) out += ",\"body\":" + JsonString(e.body);
    return out + "}\n";
  }
  switch (e.kind) {
    case EventKind::kMessage: return "message " + id + " " + Printable(e.sender) + ": " + Printable(e.body) + "\n";
    case EventKind::kEdit: return "edit " + id + ": " + Printable(e.body) + "\n";
    case EventKind::kDelete: return "delete " + id + "\n";
  }
  return "";
}

}  // namespace

int RunWatch(Session& session, const std::vector<std::string>& args) {
  std::vector<std::string> names;
  bool json = session.options().json;
  for (const std::string& a : args) {
    if (a == "--json") SetJsonErrors(json = true);
    else names.push_back(a);
  }
  if (names.size() != 2) {
    return Fail(kExitUsage, "usage: parley watch USER CHAT [--json]");
  }
  Client* c = session.Connect();
  if (c == nullptr) return session.connect_failure();
  auto last = c->Subscribe(names[0], names[1]);
  if (!last) return session.Failure(RequestKind::kSubscribe, last);
  std::fprintf(stderr, "parley: watching %s (last message so far: %s)\n", Printable(names[1]).c_str(),
               last.value == kNoMessage ? "none" : std::to_string(last.value).c_str());

  g_stop = 0;
  const StopSignals signals;
  while (!g_stop) {
    if (!c->event_ready()) signals.Wait(c->fd());
    if (g_stop) break;
    auto e = c->NextEvent(std::chrono::milliseconds(0));
    if (e.status == Status::kTimeout) continue;
    if (!e) return session.Failure(RequestKind::kSubscribe, e);
    const std::string line = EventLine(e.value, json);
    std::fwrite(line.data(), 1, line.size(), stdout);
    if (!c->event_ready()) std::fflush(stdout);
  }
  return kExitOk;
}

}  // namespace parley::cli
