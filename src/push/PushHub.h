// Push delivery: who follows which chat, and the thread that sends them its
// changes.
//
// The hub sits in front of the journal as the store's ChangeSink: every
// change passes through it on its way to the journal. The changes of a
// followed chat are also queued here, in the order they were recorded, and
// the push thread sends each to the chat's subscribers, off the sender's
// path: a send's "ok" never waits for its fan-out.
//
// The rules, enforced here and nowhere else:
// 1. Exactly once, in order. A subscription is added (Follow) while the
//    chat's messages are locked for reading, in the same queue as the
//    chat's changes, which are recorded under that lock held for writing.
//    So the queue splits the chat's changes at the subscription: those
//    before it are in the last id its reply reports, those after reach the
//    subscriber, once each, in queue order.
// 2. Durable first. With a journal, a change is queued with the journal's
//    sequence and sent only once that much is durable (DurableGate), in the
//    journal's order: the journal record and the queue entry are made under
//    one lock.
// 3. Events never go before the reply that started them (Connection::Push).
// 4. A subscriber that does not read is closed past kMaxPushBacklog; the push
//    thread never waits for a socket.
//
// Subscriber lists belong to the push thread: subscribe, unsubscribe and
// closing connections post to the queue, so the lists need no lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "store/Change.h"

namespace parley {

class Connection;
class ResourceManager;

class PushHub final : public ChangeSink {
 public:
  // Changes go on to `next` (the journal, or null). `store` names senders.
  PushHub(const ResourceManager& store, ChangeSink* next);
  ~PushHub() override;
  PushHub(const PushHub&) = delete;
  PushHub& operator=(const PushHub&) = delete;

  // The process-wide hub, when one is installed (null otherwise: then no
  // connection can subscribe).
  static PushHub* Get();
  static void Install(PushHub* hub);

  // Starts and stops the push thread. Stop drops what is still queued.
  void Start();
  void Stop();

  // ---- ChangeSink: called by the store ----
  void Record(const Change& c) override;
  void Submit() override;
  bool Accepting() const override { return next_ == nullptr || next_->Accepting(); }
  uint64_t LastRecorded() const override { return next_ == nullptr ? 0 : next_->LastRecorded(); }

  // The journal made everything up to some sequence durable (DurableGate has it).
  void OnDurable();

  // `conn` follows chat `chat` (named `name`) from now on. Requires: the
  // chat's messages locked for reading (ResourceManager::WithLastMessageId),
  // and conn->AddSubscription(chat) said kAdded.
  void Follow(const std::shared_ptr<Connection>& conn, uint32_t chat, std::string_view name);
  // `conn` no longer follows `chat` (conn->RemoveSubscription said so).
  void Unfollow(const std::shared_ptr<Connection>& conn, uint32_t chat);
  // Network thread, after conn->Close(): ends every subscription of `conn`.
  void DropConnection(const std::shared_ptr<Connection>& conn);
  // Subscriptions (a connection following a chat) now, as posted; any thread.
  size_t Subscriptions() const { return followed_.load(std::memory_order_relaxed); }

 private:
  struct Item {
    enum class Kind : uint8_t { kFollow, kUnfollow, kMessage, kEdit, kDelete };
    Kind kind;
    uint32_t chat;
    uint32_t sender;  // kMessage
    uint64_t seq;     // sent once this much is durable
    int64_t id;       // message kinds
    std::string text;  // the body; the chat's name for kFollow
    std::shared_ptr<Connection> conn;  // kFollow, kUnfollow
  };
  struct Topic {
    std::string name;
    std::vector<std::shared_ptr<Connection>> subscribers;
  };

  // Requires mu_. Queues `item` behind everything recorded so far.
  void PostLocked(Item item);
  void Run();
  // Push thread: applies a batch of the queue's items in order.
  void Apply(std::vector<Item>& batch);
  // Push thread: encodes items [from, to) of one chat once and sends them to its subscribers.
  void Send(const Topic& topic, uint32_t chat, const Item* from, const Item* to);

  const ResourceManager& store_;
  ChangeSink* const next_;

  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<Item> queue_;  // guarded by mu_
  // Subscriptions per chat, as posted (guarded by mu_): a chat's changes are
  // queued only while it has some. `followed_` is their total, read without
  // the lock to skip all of this while nobody follows anything.
  std::unordered_map<uint32_t, uint32_t> follows_;
  std::atomic<size_t> followed_{0};
  bool queued_ = false;  // guarded by mu_: something new since the last wake-up
  bool stop_ = false;    // guarded by mu_

  // Push thread only.
  std::unordered_map<uint32_t, Topic> topics_;
  std::string frames_;  // the encoded events of one run
  std::thread thread_;
};

}  // namespace parley
