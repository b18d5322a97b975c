// The process-wide store: users, chats and, through the chats, messages.
//
// Every operation is safe to call from any thread at any time. Users and
// chats are found by name in registries split into shards by the name's hash,
// each shard a hash map under its own readers-writer lock (readers share it;
// a growing map rehashes one small shard at a time, not the whole registry).
// Operations that check and insert (register, create, join) do both under one
// exclusive hold, so of two concurrent requests for the same new name exactly
// one inserts. Nothing is ever removed: users, chats and memberships live as
// long as the store, so a pointer handed out by a lookup stays valid and a
// check that passed stays true; each thread therefore remembers the users,
// chats and memberships it found lately and finds them again without a
// lock (LookupMemo.h).
//
// Locks: each registry shard's lock, each chat's member lock, each chat's
// message lock. A thread holds at most one of them at a time, except that
// chat creation adds the creator to the new, not yet visible chat under its
// shard's lock, and that registering an account with its secret takes the
// secrets lock (a leaf: nothing is taken under it but the change sink's own)
// inside its shard's lock. Each is held for one bounded step (a hash lookup or insert,
// one message's copy), never for a whole listing. Every operation changes
// the store in its last lock step only; on a thread in a NoWaitScope an
// operation that met a busy lock has changed nothing and reports failure,
// with StoreWasBusy() set.
//
// Growth: while the memory budget is over its limit (MemoryBudget), every
// operation that would add (a user, a chat, a member, a message, a longer
// body) reports failure; reads go on.
//
// Changes: with a ChangeSink set, every change is reported to it as an
// outcome (see Change) from inside the lock step that makes it, and while
// the sink is not accepting, every operation that would change the store
// reports failure before changing anything. At start-up the store is rebuilt
// by applying recorded changes (Apply), before any request runs.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Limits.h"
#include "store/Change.h"
#include "store/Chat.h"
#include "store/Message.h"
#include "store/NameTable.h"
#include "store/UserArena.h"
#include "store/RwLock.h"
#include "store/User.h"

namespace parley {

// The outcome of a join.
enum class JoinResult { kNoUser, kNoChat, kJoined, kAlreadyMember };

class ResourceManager {
 public:
  // The process-wide store, created on the first call (during start-up, before
  // any event thread runs) and never destroyed.
  static ResourceManager* GetResourceMananger();
  // A store of its own, for tests and fuzzing.
  // `max_users` and `max_chats` lower the number limits (for tests).
  static std::unique_ptr<ResourceManager> CreateStandalone(uint32_t max_users = kMaxUsers,
                                                           uint32_t max_chats = kMaxChats);

  ~ResourceManager();
  ResourceManager(const ResourceManager&) = delete;
  ResourceManager& operator=(const ResourceManager&) = delete;

  // Registers `username` unless it is taken or the store has no user numbers
  // left. Returns true when it was added.
  bool AddUser(std::string_view username);
  bool UserExist(std::string_view name) const;
  bool ChatExist(std::string_view chatname) const;

  // Creates `chatname` with `username` as its first member. False when the
  // user is not registered, the name is taken, or the store has no chat
  // numbers left.
  bool CreateChat(std::string_view username, std::string_view chatname);

  // Makes `username` a member of `chatname` unless it is one already.
  JoinResult JoinChat(std::string_view username, std::string_view chatname);

  // Posts a message. False (nothing stored) when the user or the chat is
  // unknown, the user is not a member, or the chat is full.
  bool SendTextMsg(std::string_view username, std::string_view chatname, std::string_view msg);

  // Replaces the body of the active message `id` of the chat. False when the
  // user or chat is unknown, the user is not a member, or the chat holds no
  // active message `id` sent by this user.
  bool EditTextMsg(std::string_view username, std::string_view chatname, MessageId id,
                   std::string_view msg);

  // Deletes the active message `id` of the chat. False when the user or chat
  // is unknown or the chat holds no active message `id` sent by this user.
  // Membership is not required: only one's own messages can be deleted anyway.
  bool DeleteMessage(std::string_view username, std::string_view chatname, MessageId id);

  // Copies the active message `id` of `chatname` into `to_chat` as a new
  // message from `username`. False when the user or either chat is unknown,
  // the source message does not exist, the user is not a member of `to_chat`,
  // or `to_chat` is full. Reading the source needs no membership.
  bool ForwardTextMsg(std::string_view username, std::string_view chatname,
                      std::string_view to_chat, MessageId id);

  // The ids of the chat's active messages, oldest first; empty for an unknown chat.
  std::vector<MessageId> GetChatMsgsID(std::string_view chatname) const;
  // The same appended to `out`; false when the chat is unknown.
  bool GetChatMsgsID(std::string_view chatname, std::vector<MessageId>& out) const;
  // Begins a listing of the chat's active messages as they are now, to be
  // read out without holding any lock (see MessageStorage::Listing). Null for
  // an unknown chat (or a busy lock, see StoreWasBusy).
  std::unique_ptr<MessageStorage::Listing> StartListing(std::string_view chatname) const;

  // Messages ever added to the chat, deleted ones included (0 for an unknown chat).
  size_t GetChatMsgCount(std::string_view chatname) const;

  // A consistent copy of the active message `id` of the chat, or nothing.
  std::optional<Message> GetChatMsg(std::string_view chatname, MessageId id) const;

  // Calls f(const MessageView&) for the active message `id` of the chat with
  // the chat's message lock held (the view is valid only inside f). Returns
  // false, without calling f, when there is no such message.
  template <class F>
  bool VisitChatMsg(std::string_view chatname, MessageId id, F&& f) const {
    const Chat* chat = FindChat(chatname);
    if (chat == nullptr) return false;
    return chat->storage().visitMsg(id, [&](UserId sender, std::string_view body) {
      f(MessageView{id, UserById(sender).getName(), body});
    });
  }

  // ---- Accounts with secrets ----
  // The user named `username`, or null. Users are never removed: the pointer stays valid.
  const User* FindUser(std::string_view username) const { return GetUserByName(username); }
  // A hint that `username` is about to be registered or looked up: starts
  // loading its place in the name table (the load would otherwise miss the
  // cache once there are many users). Any thread, no lock, no effect besides.
  void PrefetchUser(std::string_view username) const { users.Prefetch(username); }
  // Registers `username` (as AddUser does) with the secret hashed as `hash`.
  bool AddUserWithSecret(std::string_view username, std::string_view hash);
  // A copy of the secret hash of `user`; nothing for an account without a secret.
  std::optional<std::string> SecretOf(UserId user) const;
  // Replaces the secret hash of `user` if it is still `expected`, so that a
  // secret only ever changes from the one the caller checked. True when replaced.
  bool ReplaceSecret(UserId user, std::string_view expected, std::string_view hash);

  // ---- Recording and restoring changes ----
  // Requires: start-up or tests, no operation running. The sink outlives the store's use.
  void SetChangeSink(ChangeSink* sink);
  ChangeSink* changeSink() const { return sink_; }
  // Applies one recorded change. Changes the store already holds (a snapshot
  // taken while the journal went on) are left as they are. False, with the
  // reason in `error`, when the change contradicts the store (a name with
  // another number, a message past the end of its chat, an unknown chat).
  // Requires: start-up, no other thread uses the store.
  bool Apply(const Change& c, std::string& error);
  // Ends a restore: checks that every member and sender is a known user.
  bool FinishRestore(std::string& error);
  // Calls f(const Chat&) for every chat, then g(const User&) for every user,
  // each holding only the lock of one registry shard while it copies that
  // shard's pointers. Safe while the store is in use.
  template <class F, class G>
  void ForEachChatThenUser(F&& f, G&& g) const {
    chats.ForEach(f);
    users.ForEach(g);
  }

  // ---- Following a chat (subscriptions and history pages) ----
  // The number of `chatname` when `username` is a member of it.
  std::optional<uint32_t> MemberChat(std::string_view username, std::string_view chatname) const;
  // Calls f(last id) for the chat (see MessageStorage::withLastId) with its
  // messages locked for reading: no change of them is recorded while f runs.
  // False, without calling f, for an unknown chat.
  template <class F>
  bool WithLastMessageId(std::string_view chatname, F&& f) const {
    const Chat* chat = FindChat(chatname);
    return chat != nullptr && chat->storage().withLastId(f);
  }
  // Calls f(const MessageView&, bool deleted) for the chat's messages after
  // `after` (-1: from the first), oldest first, at most `max`, until f
  // returns false (that message is not taken). A deleted message has an
  // empty sender and body. `more` tells whether messages after the last one
  // taken exist. False for an unknown chat or an `after` that is neither -1
  // nor an id this chat handed out. Locks are held for short runs of messages only.
  template <class F>
  bool VisitHistory(std::string_view chatname, MessageId after, size_t max, bool& more, F&& f) const {
    const Chat* chat = FindChat(chatname);
    if (chat == nullptr) return false;
    if (after != -1 && (after < 0 || ChatNumberOf(after) != chat->getNumber() ||
                        PositionOf(after) >= chat->storage().count()))
      return false;
    size_t pos = after == -1 ? 0 : size_t{PositionOf(after)} + 1;
    for (size_t left = max; left > 0;) {
      const size_t step = std::min<size_t>(left, 64);
      const std::optional<size_t> next = chat->storage().visitFrom(
          pos, step, [&](MessageId id, UserId sender, std::string_view body, bool deleted) {
            return f(MessageView{id, deleted ? std::string_view() : UserName(sender), body}, deleted);
          });
      if (!next) return false;  // busy: see StoreWasBusy
      const size_t taken = *next - pos;
      pos = *next;
      left -= taken;
      if (taken < step) break;  // f stopped, or the chat ends here
    }
    more = pos < chat->storage().count();
    return true;
  }
  // The name of user number `id`. Requires: `id` came from the store.
  std::string_view UserName(UserId id) const { return UserById(id).getName(); }

  // The member names of a chat in join order (empty for an unknown chat).
  std::vector<std::string> GetChatMembers(std::string_view chatname) const;
  size_t UserCount() const;
  size_t ChatCount() const;

 private:
  ResourceManager(uint32_t max_users, uint32_t max_chats);

  // Takes the next number below `limit` from `counter`; nothing when all are
  // used. The counter never passes the limit, so numbers never wrap.
  static std::optional<uint32_t> TakeNumber(std::atomic<uint32_t>& counter, uint32_t limit);

  const User* GetUserByName(std::string_view username) const;
  // AddUser, and with a non-empty `hash` the account's secret hash too.
  bool AddUserImpl(std::string_view username, std::string_view hash);
  // Requires secrets_mu_. Sets the hash of `user`, charging the memory budget.
  void SetSecretLocked(UserId user, std::string_view hash);
  Chat* GetChatByName(std::string_view chatname) const;
  // Whether `user` is a member of `chat` (false also for a busy lock, see StoreWasBusy).
  bool IsMember(const User& user, const Chat& chat) const;
  const Chat* FindChat(std::string_view chatname) const { return GetChatByName(chatname); }
  // Requires: `id` was obtained from a registered user.
  const User& UserById(UserId id) const;

  // Makes user `number` named `name` in the user arena, publishes it under its
  // number for UserById and charges what it costs; null when the number
  // cannot be published.
  const User* MakeUser(std::string_view name, UserId number);
  // Publishes `user` under its number for UserById.
  bool PublishUser(const User* user);
  // The user with number `id`, or null.
  const User* FindUserById(UserId id) const;
  // Whether changes may be made now: the sink (if any) is accepting. Counts
  // and logs a refusal.
  bool MayChange() const;

  // Objects (users or chats) by name, sharded by the name's hash. Each object
  // owns its name; the maps' keys view it.
  template <class T, class Ptr = std::unique_ptr<T>>
  class NameIndex {
   public:
    T* Find(std::string_view name) const {
      const Key key{name, Hash(name)};
      const Shard& s = ShardOf(key);
      auto lk = LockShared(s.mu);
      if (!lk) return nullptr;
      return s.map.Find(name, key.hash);
    }
    // Starts loading where Find or Insert of `name` will look (see
    // NameTable::Prefetch); no lock.
    void Prefetch(std::string_view name) const {
      const Key key{name, Hash(name)};
      ShardOf(key).map.Prefetch(key.hash);
    }
    // Unless `name` is present, inserts make() (called with the shard's lock
    // held; it may return null to insert nothing). True when inserted.
    template <class Make>
    bool Insert(std::string_view name, Make&& make) {
      const Key key{name, Hash(name)};
      Shard& s = ShardOf(key);
      auto lk = LockExclusive(s.mu);
      if (!lk || s.map.Find(name, key.hash) != nullptr) return false;
      Ptr obj = make();
      if (!obj) return false;
      s.map.Insert(key.hash, std::move(obj));
      size_.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    size_t Size() const { return size_.load(std::memory_order_relaxed); }
    template <class F>
    void ForEach(F&& f) const {
      std::vector<const T*> batch;
      for (const Shard& s : shards_) {
        batch.clear();
        {
          std::shared_lock lk(s.mu);
          s.map.ForEach([&](const T* obj) { batch.push_back(obj); });
        }
        for (const T* obj : batch) f(*obj);
      }
    }

   private:
    static constexpr size_t kShards = 256;
    // A name with its hash, computed once per lookup; the tables keep the
    // hash and never hash again.
    struct Key {
      std::string_view name;
      size_t hash;
    };
    static size_t Hash(std::string_view name) { return std::hash<std::string_view>{}(name); }
    struct Shard {
      mutable RwLock mu;
      NameTable<T, Ptr> map;  // guarded by mu
    };
    // The top bits pick the shard; the tables place by the low bits.
    Shard& ShardOf(const Key& k) { return shards_[k.hash >> 56]; }
    const Shard& ShardOf(const Key& k) const { return shards_[k.hash >> 56]; }
    std::array<Shard, kShards> shards_;
    std::atomic<size_t> size_{0};
  };

  static ResourceManager* pResMgr;

  NameIndex<const User, const User*> users;  // the users themselves live in user_arena_
  NameIndex<Chat> chats;
  ChangeSink* sink_ = nullptr;  // set at start-up, then read-only
  const uint64_t number_;  // tells this store's entries in the lookup memos from another's
  UserArena user_arena_;
  // Chats by number while a restore runs (start-up only).
  std::unordered_map<uint32_t, Chat*> restoring_;
  const uint32_t max_users_;
  const uint32_t max_chats_;
  std::atomic<uint32_t> next_user_id{0};
  std::atomic<uint32_t> next_chat_number{1};
  std::atomic<int64_t> user_bytes_{0};  // charged to the memory budget for users
  // Secret hashes by user number (only accounts made with a secret have one).
  mutable std::mutex secrets_mu_;
  std::unordered_map<UserId, std::string> secrets_;  // guarded by secrets_mu_

  // User numbers to users, readable without a lock: a fixed table of blocks,
  // each published once (under user_blocks_mut); each slot written once.
  static constexpr unsigned kUserBlockBits = 14;
  static constexpr size_t kUserBlockSize = size_t{1} << kUserBlockBits;
  static constexpr size_t kMaxUserBlocks = 4096;
  using UserBlock = std::array<std::atomic<const User*>, kUserBlockSize>;
  std::mutex user_blocks_mut;
  std::vector<std::unique_ptr<UserBlock>> user_block_owner;  // guarded by user_blocks_mut
  std::unique_ptr<std::atomic<UserBlock*>[]> user_blocks;     // kMaxUserBlocks entries
};

}  // namespace parley
