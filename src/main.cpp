// parleyd: wires the network thread, the event threads and the store together.
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "Limits.h"
#include "Log.h"
#include "MemoryBudget.h"
#include "Options.h"
#include "ServiceNotify.h"
#include "events/DurableGate.h"
#include "events/EventThread.h"
#include "events/QueueManager.h"
#include "journal/JournalWriter.h"
#include "journal/Recovery.h"
#include "metrics/Metrics.h"
#include "metrics/MetricsServer.h"
#include "net/StdoutWriter.h"
#include "net/Worker.h"
#include "push/PushHub.h"
#include "security/Access.h"
#include "security/SecretPool.h"
#include "security/Secrets.h"
#include "security/Tls.h"
#include "store/ResourceManager.h"

namespace {

// Lets the server hold as many connections as the hard limit allows.
void RaiseDescriptorLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
      parley::LogWarn("cannot raise the descriptor limit: %s", strerror(errno));
  }
}

// Opens the data directory, rebuilds the store from it and returns the
// journal's writer, ready to start; null (the reason on stderr) when the
// server must not start.
std::unique_ptr<parley::JournalWriter> OpenDataDir(const parley::Options& opt, parley::ResourceManager& store) {
  const auto started = std::chrono::steady_clock::now();
  std::string error;
  std::unique_ptr<parley::Journal> journal = parley::Journal::Open(opt.data_dir, error, parley::kJournalSegmentBytes);
  if (!journal) {
    parley::LogError("cannot use the data directory: %s", error.c_str());
    return nullptr;
  }
  const parley::Recovered r = parley::Recover(*journal, opt.data_dir, store);
  if (!r.ok) {
    parley::LogError("cannot recover from %s: %s", opt.data_dir.c_str(), r.error.c_str());
    parley::LogError("refusing to start on a damaged history; `parleyd --check-data %s` reports the same; "
                    "see docs/operations.md",
                    opt.data_dir.c_str());
    return nullptr;
  }
  if (r.journal.dropped_bytes > 0)
    parley::LogWarn("journal: cut off a torn tail of %llu bytes (a write cut short by a crash; never acknowledged)",
                    static_cast<unsigned long long>(r.journal.dropped_bytes));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  parley::LogInfo("recovered %zu users, %zu chats, %llu messages from %s in %lld ms (snapshot: %llu records; journal: "
                  "%llu records after it)",
                  store.UserCount(), store.ChatCount(), static_cast<unsigned long long>(r.messages),
                  opt.data_dir.c_str(), static_cast<long long>(ms.count()),
                  static_cast<unsigned long long>(r.snapshot.records),
                  static_cast<unsigned long long>(r.journal.records));
  parley::DurableGate::Get().Advance(journal->LastSequence());
  parley::JournalWriter::Config cfg;
  cfg.dir = opt.data_dir;
  cfg.fsync = opt.fsync;
  cfg.snapshot_min_bytes = opt.snapshot_every;
  cfg.last_snapshot_bytes = r.snapshot.bytes;
  auto writer = std::make_unique<parley::JournalWriter>(std::move(journal), store, cfg);
  writer->OnDurable([](uint64_t seq) {
    parley::DurableGate::Get().Advance(seq);
    if (parley::PushHub* hub = parley::PushHub::Get()) hub->OnDurable();
  });
  return writer;
}

}  // namespace

int main(int argc, char** argv) {
  parley::Options opt;
  if (int rc = parley::ParseOptions(argc, argv, opt); rc != 0) return rc < 0 ? 0 : rc;
  parley::SetLogLevel(opt.log_level);
  if (!opt.check_data.empty()) return parley::CheckDataDir(opt.check_data);
  parley::MemoryBudget::Get().SetLimit(opt.max_memory);
  if (!parley::secrets::Init()) return 1;
  parley::Access::Get().Configure({.required = opt.auth == parley::Options::Auth::kRequired,
                                   .registrations_per_minute = opt.max_registrations_per_ip,
                                   .chats_per_minute = opt.max_chats_per_ip});

  // A certificate that cannot be used stops the start, before anything else.
  std::unique_ptr<parley::TlsContext> tls;
  if (opt.tls_port >= 0) {
    std::string error;
    tls = parley::TlsContext::Load(opt.tls_cert, opt.tls_key, error);
    if (!tls) {
      parley::LogError("%s", error.c_str());
      return 1;
    }
  }

  RaiseDescriptorLimit();
  signal(SIGPIPE, SIG_IGN);
  // A write past the file-size limit fails with EFBIG instead of killing us.
  signal(SIGXFSZ, SIG_IGN);
  // SIGINT and SIGTERM are taken by the network thread's signalfd; block
  // them before any thread starts so that every thread inherits the mask.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);

  // The queues are registered and the store exists before the listener
  // accepts anything.
  parley::QueueManager* qm = parley::QueueManager::GetQueueManager();
  parley::ResourceManager* store = parley::ResourceManager::GetResourceMananger();
  // History first: nothing is served before the store holds all of it.
  std::unique_ptr<parley::JournalWriter> journal;
  if (!opt.data_dir.empty()) {
    parley::service::Status("recovering the history from " + opt.data_dir);
    journal = OpenDataDir(opt, *store);
    if (!journal) return 1;
  }
  // Every change passes the push hub on its way to the journal.
  parley::PushHub hub(*store, journal.get());
  parley::PushHub::Install(&hub);
  store->SetChangeSink(&hub);
  hub.Start();
  if (journal) journal->Start();
  // Requests that hash secrets run here, off the network and event threads.
  parley::SecretPool secret_pool(*store, opt.hash_threads);
  parley::SecretPool::Install(&secret_pool);
  secret_pool.Start();
  std::vector<parley::EventThread> event_threads;
  event_threads.reserve(static_cast<size_t>(opt.threads));
  for (int i = 0; i < opt.threads; ++i) event_threads.emplace_back(qm, store);
  qm->LimitSpread(parley::QueueManager::SpareCpus());
  std::vector<std::thread> workers;
  for (auto& et : event_threads) workers.emplace_back(std::ref(et));

  parley::Worker aw(qm, store, opt);
  aw.SetTlsContext(tls.get());
  if (journal) aw.OnSnapshotSignal([&journal] { journal->RequestSnapshot(); });
  int status = 0;
  if (aw.Listen()) {
    const char* accounts = opt.auth == parley::Options::Auth::kRequired ? "secrets required" : "open";
    if (aw.TlsPort() < 0)
      parley::LogInfo("listening on 0.0.0.0:%d with %d event threads (accounts: %s)", aw.Port(), opt.threads, accounts);
    else if (aw.Port() < 0)
      parley::LogInfo("listening on 0.0.0.0:%d (TLS) with %d event threads (accounts: %s)", aw.TlsPort(), opt.threads,
                      accounts);
    else
      parley::LogInfo("listening on 0.0.0.0:%d (plain) and 0.0.0.0:%d (TLS) with %d event threads (accounts: %s)",
                      aw.Port(), aw.TlsPort(), opt.threads, accounts);
  } else {
    status = 1;
  }
  // The metrics endpoint, once the listener is up; a port that cannot be had stops the start.
  parley::MetricsServer metrics([&] {
    return parley::metrics::Render({
        .open_connections = [&aw] { return aw.OpenConnections(); },
        .queue_depths =
            [qm] {
              std::vector<size_t> depths;
              for (size_t i = 0; i < qm->QueueCount(); ++i) depths.push_back(qm->Queue(i)->GetSize());
              return depths;
            },
        .subscriptions = [&hub] { return hub.Subscriptions(); },
        .data_dir = opt.data_dir,
    });
  });
  if (status == 0 && opt.metrics_port >= 0) {
    if (metrics.Start(opt.metrics_bind, opt.metrics_port)) {
      const bool v6 = opt.metrics_bind.find(':') != std::string::npos;
      parley::LogInfo("metrics on http://%s%s%s:%d/metrics", v6 ? "[" : "", opt.metrics_bind.c_str(), v6 ? "]" : "",
                      metrics.port());
    } else {
      status = 1;
    }
  }
  if (status == 0) {
    parley::service::Ready(aw.Port(), aw.TlsPort());  // every listener, the metrics one included, is up
    std::thread admin_thread(std::ref(aw));
    admin_thread.join();
    parley::LogInfo("shutting down");
    parley::service::Stopping();
  }
  metrics.Stop();
  qm->StopAll();
  for (auto& t : workers) t.join();
  secret_pool.Stop();
  parley::SecretPool::Install(nullptr);
  hub.Stop();
  // Every change made is recorded by now: write (and sync) it all.
  if (journal) journal->Stop();
  parley::PushHub::Install(nullptr);
  // A stuck standard output must not hold up the exit.
  parley::StdoutWriter::Get().Stop(std::chrono::seconds(1));
  if (status == 0) parley::Counters::Get().Print();
  return status;
}
