// parleyd: wires the network thread, the event threads and the store together.
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "Limits.h"
#include "Log.h"
#include "MemoryBudget.h"
#include "Options.h"
#include "net/StdoutWriter.h"
#include "events/EventThread.h"
#include "events/QueueManager.h"
#include "net/Worker.h"
#include "store/ResourceManager.h"

namespace {

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
  parley::Options opt;
  if (int rc = parley::ParseOptions(argc, argv, opt); rc != 0) return rc < 0 ? 0 : rc;
  parley::MemoryBudget::Get().SetLimit(opt.max_memory);

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

  parley::Worker aw(qm, store, opt);
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
  // A stuck standard output must not hold up the exit.
  parley::StdoutWriter::Get().Stop(std::chrono::seconds(1));
  if (status == 0) parley::Counters::Get().Print();
  return status;
}
