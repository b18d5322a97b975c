// parleyd: wires the network thread, the event threads and the store together.
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Limits.h"
#include "Log.h"
#include "events/EventThread.h"
#include "events/QueueManager.h"
#include "net/Worker.h"
#include "store/ResourceManager.h"

namespace {

constexpr char kUsage[] =
    "usage: parleyd [--port N] [--threads N]\n"
    "  --port N     TCP port to listen on (default 8080; 0 picks a free port)\n"
    "  --threads N  number of event threads (default 3)\n"
    "  --help       show this help\n";

struct Options {
  int port = parley::PORT;
  int threads = parley::kDefaultEventThreads;
};

bool ParseInt(const char* s, long lo, long hi, int& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

// Returns 0 to go on, or an exit status.
int ParseArgs(int argc, char** argv, Options& opt) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stderr);
      return -1;
    }
    if ((a == "--port" || a == "--threads") && i + 1 < argc) {
      const char* v = argv[++i];
      bool ok = a == "--port" ? ParseInt(v, 0, 65535, opt.port)
                              : ParseInt(v, 1, parley::kMaxEventThreads, opt.threads);
      if (!ok) {
        fprintf(stderr, "parleyd: invalid value for %s: %s\n%s", a.c_str(), v, kUsage);
        return 2;
      }
      continue;
    }
    fprintf(stderr, "parleyd: unknown argument: %s\n%s", a.c_str(), kUsage);
    return 2;
  }
  return 0;
}

// Lets the server hold as many connections as the hard limit allows.
void RaiseDescriptorLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
      parley::LogLine("cannot raise the descriptor limit: %s", strerror(errno));
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (int rc = ParseArgs(argc, argv, opt); rc != 0) return rc < 0 ? 0 : rc;

  RaiseDescriptorLimit();
  signal(SIGPIPE, SIG_IGN);
  // SIGINT and SIGTERM are taken by the network thread's signalfd; block
  // them before any thread starts so that every thread inherits the mask.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);

  // The queues are registered and the store exists before the listener
  // accepts anything.
  parley::QueueManager* qm = parley::QueueManager::GetQueueManager();
  parley::ResourceManager* store = parley::ResourceManager::GetResourceMananger();
  std::vector<parley::EventThread> event_threads;
  event_threads.reserve(static_cast<size_t>(opt.threads));
  for (int i = 0; i < opt.threads; ++i) event_threads.emplace_back(qm, store);
  std::vector<std::thread> workers;
  for (auto& et : event_threads) workers.emplace_back(std::ref(et));

  parley::Worker aw(qm, store, opt.port);
  int status = 0;
  if (aw.Listen()) {
    parley::LogLine("listening on 0.0.0.0:%d with %d event threads", aw.Port(), opt.threads);
    std::thread admin_thread(std::ref(aw));
    admin_thread.join();
    parley::LogLine("shutting down");
  } else {
    status = 1;
  }
  qm->StopAll();
  for (auto& t : workers) t.join();
  fflush(stdout);
  if (status == 0) parley::Counters::Get().Print();
  return status;
}
