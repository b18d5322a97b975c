#include "events/EventQueue.h"

namespace parley {

void EventQueue::AddEvent(std::shared_ptr<Event> ev) {
  bool wake;
  {
    std::lock_guard lk(mQueue);
    queue.push_back(std::move(ev));
    size.store(queue.size(), std::memory_order_relaxed);
    notified = true;
    wake = sleeping;
  }
  // After the unlock, so that the woken consumer does not block on it at once.
  if (wake) cond_var.notify_one();
}

void EventQueue::AddEvents(std::vector<std::shared_ptr<Event>>& evs) {
  if (evs.empty()) return;
  bool wake;
  {
    std::lock_guard lk(mQueue);
    for (auto& ev : evs) queue.push_back(std::move(ev));
    size.store(queue.size(), std::memory_order_relaxed);
    notified = true;
    wake = sleeping;
  }
  evs.clear();
  if (wake) cond_var.notify_one();
}

std::shared_ptr<Event> EventQueue::GetEvent() {
  std::lock_guard lk(mQueue);
  if (queue.empty()) return {};
  std::shared_ptr<Event> ev = std::move(queue.front());
  queue.pop_front();
  size.store(queue.size(), std::memory_order_relaxed);
  return ev;
}

bool EventQueue::GetEvents(std::vector<std::shared_ptr<Event>>& out) {
  std::lock_guard lk(mQueue);
  if (queue.empty()) return false;
  for (auto& ev : queue) out.push_back(std::move(ev));
  queue.clear();
  size.store(0, std::memory_order_relaxed);
  return true;
}

bool EventQueue::Wait() {
  std::unique_lock lk(mQueue);
  sleeping = true;
  cond_var.wait(lk, [this] { return notified.load() || stopped; });
  sleeping = false;
  notified = false;
  return !stopped;
}

void EventQueue::Stop() {
  std::lock_guard lk(mQueue);
  stopped = true;
  cond_var.notify_all();
}

}  // namespace parley
