#include "security/SecretPool.h"

#include <atomic>

#include "Log.h"
#include "events/DurableGate.h"
#include "metrics/Metrics.h"
#include "net/Connection.h"
#include "protocol/Events.h"
#include "store/ResourceManager.h"

namespace parley {

namespace {
std::atomic<SecretPool*> installed{nullptr};
}  // namespace

SecretPool* SecretPool::Get() { return installed.load(std::memory_order_acquire); }
void SecretPool::Install(SecretPool* pool) { installed.store(pool, std::memory_order_release); }

SecretPool::SecretPool(ResourceManager& rm, int threads) : rm_(rm), thread_count_(threads < 1 ? 1 : threads) {}

SecretPool::~SecretPool() { Stop(); }

void SecretPool::Start() {
  for (int i = 0; i < thread_count_; ++i) threads_.emplace_back([this] { Loop(); });
}

void SecretPool::Stop() {
  {
    std::lock_guard lk(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
  threads_.clear();
  std::lock_guard lk(mu_);
  while (!jobs_.empty()) jobs_.pop();
}

void SecretPool::Submit(std::shared_ptr<Event> ev) {
  const Clock::time_point due = std::max(Clock::now(), ev->NotBefore());
  {
    std::lock_guard lk(mu_);
    jobs_.push(Job{due, submitted_++, std::move(ev)});
  }
  wake_.notify_one();
}

void SecretPool::Loop() {
  std::unique_lock lk(mu_);
  for (;;) {
    if (stop_) return;
    if (jobs_.empty()) {
      wake_.wait(lk);
      continue;
    }
    if (const Clock::time_point due = jobs_.top().due; due > Clock::now()) {
      wake_.wait_until(lk, due);
      continue;
    }
    std::shared_ptr<Event> ev = jobs_.top().ev;
    jobs_.pop();
    lk.unlock();
    RunOne(*ev);
    ev.reset();
    lk.lock();
  }
}

void SecretPool::RunOne(Event& ev) {
  ReplyBuffer out;
  ev.SetOutput(&out);
  metrics::CountRequest(ev.GetType(), ev.Run(&rm_) ? metrics::Result::kOk : metrics::Result::kNo);
  ChangeSink* sink = rm_.changeSink();
  DurableGate::Get().Hold(out, 0, sink, ev.HeldForJournal());
  Counters::Get().requests.fetch_add(1, std::memory_order_relaxed);
  if (const std::shared_ptr<Connection>& conn = ev.GetConnection()) conn->Deliver(out, 1);
  metrics::ObserveLatency(ev.GetType(), ev.Received(), metrics::NowNs());
  if (sink != nullptr) sink->Submit();
}

}  // namespace parley
