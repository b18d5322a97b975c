#include "push/PushHub.h"

#include <algorithm>

#include "Log.h"
#include "events/DurableGate.h"
#include "net/Connection.h"
#include "protocol/Wire.h"
#include "store/ResourceManager.h"

namespace parley {

namespace {
std::atomic<PushHub*> installed{nullptr};
}  // namespace

PushHub::PushHub(const ResourceManager& store, ChangeSink* next) : store_(store), next_(next) {}

PushHub::~PushHub() { Stop(); }

PushHub* PushHub::Get() { return installed.load(std::memory_order_acquire); }
void PushHub::Install(PushHub* hub) { installed.store(hub, std::memory_order_release); }

void PushHub::Start() { thread_ = std::thread([this] { Run(); }); }

void PushHub::Stop() {
  {
    std::lock_guard lk(mu_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void PushHub::PostLocked(Item item) {
  item.seq = LastRecorded();
  queue_.push_back(std::move(item));
  queued_ = true;
}

void PushHub::Record(const Change& c) {
  using K = Change::Kind;
  const bool message = c.kind == K::kMessage || c.kind == K::kEdit || c.kind == K::kDelete;
  if (!message || followed_.load(std::memory_order_relaxed) == 0) {
    if (next_ != nullptr) next_->Record(c);
    return;
  }
  // Under the lock: the journal's order and the queue's are the same.
  const uint32_t chat = ChatNumberOf(c.id);
  std::lock_guard lk(mu_);
  if (next_ != nullptr) next_->Record(c);
  if (!follows_.contains(chat)) return;
  const Item::Kind kind = c.kind == K::kMessage ? Item::Kind::kMessage
                          : c.kind == K::kEdit  ? Item::Kind::kEdit
                                                : Item::Kind::kDelete;
  PostLocked({kind, chat, c.user, 0, c.id, std::string(c.text), nullptr});
}

void PushHub::Submit() {
  if (next_ != nullptr) next_->Submit();
  bool wake = false;
  if (followed_.load(std::memory_order_relaxed) != 0) {
    std::lock_guard lk(mu_);
    wake = std::exchange(queued_, false);
  }
  if (wake) wake_.notify_one();
}

void PushHub::OnDurable() {
  bool waiting;
  {
    std::lock_guard lk(mu_);  // a waiter checks the durable sequence under mu_
    waiting = !queue_.empty();  // with nothing queued, nothing waits for the journal
  }
  if (waiting) wake_.notify_one();
}

void PushHub::Follow(const std::shared_ptr<Connection>& conn, uint32_t chat, std::string_view name) {
  std::lock_guard lk(mu_);
  ++follows_[chat];
  followed_.fetch_add(1, std::memory_order_relaxed);
  PostLocked({Item::Kind::kFollow, chat, 0, 0, 0, std::string(name), conn});
}

void PushHub::Unfollow(const std::shared_ptr<Connection>& conn, uint32_t chat) {
  std::lock_guard lk(mu_);
  PostLocked({Item::Kind::kUnfollow, chat, 0, 0, 0, {}, conn});
}

void PushHub::DropConnection(const std::shared_ptr<Connection>& conn) {
  const std::vector<uint32_t> chats = conn->TakeSubscriptions();
  if (chats.empty()) return;
  {
    std::lock_guard lk(mu_);
    for (uint32_t chat : chats) PostLocked({Item::Kind::kUnfollow, chat, 0, 0, 0, {}, conn});
  }
  wake_.notify_one();
}

void PushHub::Run() {
  std::vector<Item> batch;
  std::unique_lock lk(mu_);
  for (;;) {
    const uint64_t durable = DurableGate::Get().Durable();
    const auto ready = [&] { return !queue_.empty() && queue_.front().seq <= durable; };
    if (stop_) return;
    if (!ready()) {
      wake_.wait(lk);
      continue;
    }
    while (ready() && batch.size() < 4096) {
      batch.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    lk.unlock();
    Apply(batch);
    batch.clear();
    lk.lock();
  }
}

void PushHub::Apply(std::vector<Item>& batch) {
  std::vector<uint32_t> ended;  // subscriptions gone: their counts go down
  for (size_t i = 0; i < batch.size();) {
    Item& item = batch[i];
    if (item.kind == Item::Kind::kFollow) {
      if (item.conn->Gone()) {
        ended.push_back(item.chat);
      } else {
        Topic& t = topics_[item.chat];
        if (t.name.empty()) t.name = std::move(item.text);
        t.subscribers.push_back(std::move(item.conn));
      }
      ++i;
      continue;
    }
    auto it = topics_.find(item.chat);
    if (item.kind == Item::Kind::kUnfollow) {
      if (it != topics_.end()) {
        auto& subs = it->second.subscribers;
        auto s = std::find(subs.begin(), subs.end(), item.conn);
        if (s != subs.end()) {
          *s = std::move(subs.back());
          subs.pop_back();
          ended.push_back(item.chat);
          if (subs.empty()) topics_.erase(it);
        }
      }
      ++i;
      continue;
    }
    // A run of changes to one chat: encoded once, one hand-over per subscriber.
    size_t end = i + 1;
    while (end < batch.size() && batch[end].chat == item.chat && batch[end].kind != Item::Kind::kFollow &&
           batch[end].kind != Item::Kind::kUnfollow)
      ++end;
    if (it != topics_.end()) Send(it->second, item.chat, &batch[i], &batch[end]);
    i = end;
  }
  batch.clear();
  if (ended.empty()) return;
  std::lock_guard lk(mu_);
  for (uint32_t chat : ended) {
    auto f = follows_.find(chat);
    if (f != follows_.end() && --f->second == 0) follows_.erase(f);
  }
  followed_.fetch_sub(ended.size(), std::memory_order_relaxed);
}

void PushHub::Send(const Topic& topic, uint32_t chat, const Item* from, const Item* to) {
  std::string& frames = frames_;
  frames.clear();
  for (const Item* e = from; e != to; ++e) {
    switch (e->kind) {
      case Item::Kind::kMessage:
        wire::FrameBuilder(frames, wire::PUSH_MESSAGE)
            .String(topic.name)
            .Int(static_cast<uint64_t>(e->id))
            .String(store_.UserName(e->sender))
            .String(e->text)
            .End();
        break;
      case Item::Kind::kEdit:
        wire::FrameBuilder(frames, wire::PUSH_EDIT).String(topic.name).Int(static_cast<uint64_t>(e->id)).String(e->text).End();
        break;
      default:
        wire::FrameBuilder(frames, wire::PUSH_DELETE).String(topic.name).Int(static_cast<uint64_t>(e->id)).End();
        break;
    }
  }
  for (const auto& conn : topic.subscribers) conn->Push(chat, frames);
  Counters::Get().pushed.fetch_add(static_cast<uint64_t>(to - from) * topic.subscribers.size(),
                                   std::memory_order_relaxed);
  if (frames.capacity() > (1u << 20)) std::string().swap(frames);
}

}  // namespace parley
