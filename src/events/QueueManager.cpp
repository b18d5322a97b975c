#include "events/QueueManager.h"

#include <sched.h>

#include <limits>

#include "Limits.h"
#include "net/Connection.h"
#include "security/SecretPool.h"

namespace parley {

QueueManager* QueueManager::pManager = nullptr;

bool StagedEvents::empty() const {
  for (const auto& q : perQueue)
    if (!q.empty()) return false;
  return replies_used == 0;
}

QueueManager* QueueManager::GetQueueManager() {
  if (pManager == nullptr) pManager = CreateStandalone().release();
  return pManager;
}

std::unique_ptr<QueueManager> QueueManager::CreateStandalone() {
  return std::unique_ptr<QueueManager>(new QueueManager());
}

QueueManager::~QueueManager() = default;

void QueueManager::AddQueue(std::shared_ptr<EventQueue> ptr) { queues.push_back(std::move(ptr)); }

size_t QueueManager::ChooseQueue(const StagedEvents* staged) const {
  size_t min = std::numeric_limits<size_t>::max();
  size_t chosen = 0;
  for (size_t i = 0; i < queues.size() && i < spread_; ++i) {
    size_t load = queues[i]->GetSize();
    if (staged != nullptr && i < staged->perQueue.size()) load += staged->perQueue[i].size();
    if (load < min) {
      min = load;
      chosen = i;
    }
  }
  return chosen;
}

void QueueManager::Stage(std::shared_ptr<Event> ev, StagedEvents& staged) {
  if (staged.perQueue.size() < queues.size()) staged.perQueue.resize(queues.size());
  Connection* conn = ev->GetConnection().get();
  size_t q;
  if (conn != nullptr && conn->Inflight() > 0) {
    q = conn->queue;
  } else {
    q = ChooseQueue(&staged);
    if (conn != nullptr) conn->queue = static_cast<uint32_t>(q);  // a handful of queues
  }
  if (conn != nullptr) conn->AddInflight(1);
  staged.perQueue[q].push_back(std::move(ev));
}

ReplyBuffer* QueueManager::RunHere(const Event& ev, StagedEvents& staged) {
  const std::shared_ptr<Connection>& conn = ev.GetConnection();
  if (!conn || conn->Inflight() != 0) return nullptr;
  auto& replies = staged.replies;
  size_t& used = staged.replies_used;
  if (used == 0 || replies[used - 1].first != conn) {
    if (used == replies.size()) replies.emplace_back();
    replies[used++].first = conn;
  }
  return &replies[used - 1].second;
}

bool QueueManager::RunAlone(const std::shared_ptr<Event>& ev, StagedEvents& staged) {
  const std::shared_ptr<Connection>& conn = ev->GetConnection();
  SecretPool* pool = SecretPool::Get();
  if (!conn || pool == nullptr) {  // no pool (tests): an event thread runs it in order
    Stage(ev, staged);
    return true;
  }
  if (conn->Inflight() > 0 && conn->PauseReading(Connection::kPauseUntilIdle)) return false;
  HandOverReplies(staged);
  conn->BeginAlone();
  pool->Submit(ev);
  return true;
}

void QueueManager::HandOverReplies(StagedEvents& staged) {
  for (size_t i = 0; i < staged.replies_used; ++i) {
    auto& [conn, replies] = staged.replies[i];
    conn->Deliver(replies, 0);  // leaves `replies` empty, its storage kept
    conn.reset();
    replies.Shrink(kKeptReplyCapacity);
  }
  staged.replies_used = 0;
  if (staged.replies.size() > kKeptReplyBuffers) staged.replies.resize(kKeptReplyBuffers);
}

void QueueManager::Submit(StagedEvents& staged) {
  HandOverReplies(staged);
  for (size_t i = 0; i < staged.perQueue.size() && i < queues.size(); ++i)
    if (!staged.perQueue[i].empty()) queues[i]->AddEvents(staged.perQueue[i]);
}

void QueueManager::AddEvent(std::shared_ptr<Event> ev) {
  StagedEvents staged;
  Stage(std::move(ev), staged);
  Submit(staged);
}

size_t QueueManager::SpareCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int cpus = CPU_COUNT(&set);
  return cpus > 2 ? static_cast<size_t>(cpus - 1) : 1;
}

void QueueManager::StopAll() {
  for (auto& q : queues) q->Stop();
}

}  // namespace parley
