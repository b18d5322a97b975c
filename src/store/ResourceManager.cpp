#include "store/ResourceManager.h"

#include <mutex>

#include "Limits.h"
#include "Log.h"
#include "MemoryBudget.h"
#include "store/LookupMemo.h"

namespace parley {

ResourceManager* ResourceManager::pResMgr = nullptr;

ResourceManager* ResourceManager::GetResourceMananger() {
  if (pResMgr == nullptr) pResMgr = CreateStandalone().release();
  return pResMgr;
}

static_assert(size_t{kMaxUsers} <= (size_t{4096} << 14), "every user number must fit the user table");

namespace {
// What a user costs, roughly, for the memory budget (besides its name).
constexpr int64_t kUserCost = sizeof(User) + 96;

// This thread's recent finds (see LookupMemo.h), and the numbers that tell stores apart.
constinit thread_local NameMemo<const User> user_memo;
constinit thread_local NameMemo<Chat> chat_memo;
constinit thread_local MemberMemo member_memo;
std::atomic<uint64_t> next_store_number{1};
}  // namespace

std::unique_ptr<ResourceManager> ResourceManager::CreateStandalone(uint32_t max_users, uint32_t max_chats) {
  return std::unique_ptr<ResourceManager>(new ResourceManager(max_users, max_chats));
}

ResourceManager::ResourceManager(uint32_t max_users, uint32_t max_chats)
    : number_(next_store_number.fetch_add(1, std::memory_order_relaxed)),
      user_arena_(number_),
      max_users_(std::min(max_users, kMaxUsers)),
      max_chats_(std::min(max_chats, kMaxChats)),
      user_blocks(std::make_unique<std::atomic<UserBlock*>[]>(kMaxUserBlocks)) {}

ResourceManager::~ResourceManager() { MemoryBudget::Get().ChargeStore(-user_bytes_.load()); }

std::optional<uint32_t> ResourceManager::TakeNumber(std::atomic<uint32_t>& counter, uint32_t limit) {
  uint32_t n = counter.load(std::memory_order_relaxed);
  do {
    if (n >= limit) return std::nullopt;
  } while (!counter.compare_exchange_weak(n, n + 1, std::memory_order_relaxed));
  return n;
}

const User* ResourceManager::MakeUser(std::string_view name, UserId number) {
  const User* user = user_arena_.Make(name, number);
  if (!PublishUser(user)) return nullptr;
  const int64_t cost = kUserCost + static_cast<int64_t>(name.size());
  user_bytes_.fetch_add(cost, std::memory_order_relaxed);
  MemoryBudget::Get().ChargeStore(cost);
  return user;
}

bool ResourceManager::PublishUser(const User* user) {
  const size_t id = user->getId();
  const size_t block = id >> kUserBlockBits;
  if (block >= kMaxUserBlocks) return false;
  UserBlock* b = user_blocks[block].load(std::memory_order_acquire);
  if (b == nullptr) {
    std::lock_guard lk(user_blocks_mut);
    b = user_blocks[block].load(std::memory_order_acquire);
    if (b == nullptr) {
      user_block_owner.push_back(std::make_unique<UserBlock>());
      b = user_block_owner.back().get();
      user_blocks[block].store(b, std::memory_order_release);
    }
  }
  (*b)[id & (kUserBlockSize - 1)].store(user, std::memory_order_release);
  return true;
}

bool ResourceManager::MayChange() const {
  if (sink_ == nullptr || sink_->Accepting()) return true;
  Counters::Get().journal_refusals.fetch_add(1, std::memory_order_relaxed);
  static RateLimitedLog log(LogLevel::kError, "journal refusals");
  log.Log("parleyd: the journal cannot be written: change refused (reads go on)");
  return false;
}

bool ResourceManager::AddUser(std::string_view username) { return AddUserImpl(username, {}); }

bool ResourceManager::AddUserWithSecret(std::string_view username, std::string_view hash) {
  return !hash.empty() && AddUserImpl(username, hash);
}

bool ResourceManager::AddUserImpl(std::string_view username, std::string_view hash) {
  if (!MayChange() || !MemoryBudget::Get().AllowStoreGrowth()) return false;
  return users.Insert(username, [&]() -> const User* {
    const std::optional<uint32_t> number = TakeNumber(next_user_id, max_users_);
    if (!number) return nullptr;
    const User* user = MakeUser(username, *number);
    if (user == nullptr) return nullptr;
    if (hash.empty()) {
      if (sink_ != nullptr) sink_->Record({.kind = Change::Kind::kUser, .user = *number, .text = user->getName()});
      return user;
    }
    // One record, so that no crash can leave the name taken without its secret.
    std::lock_guard lk(secrets_mu_);
    SetSecretLocked(*number, hash);
    if (sink_ != nullptr)
      sink_->Record({.kind = Change::Kind::kSecretUser, .user = *number, .text = user->getName(), .secret = hash});
    return user;
  });
}

void ResourceManager::SetSecretLocked(UserId user, std::string_view hash) {
  std::string& slot = secrets_[user];
  // The hash plus a map node's keep.
  const int64_t cost = static_cast<int64_t>(hash.size()) - static_cast<int64_t>(slot.size()) + (slot.empty() ? 64 : 0);
  slot.assign(hash);
  user_bytes_.fetch_add(cost, std::memory_order_relaxed);
  MemoryBudget::Get().ChargeStore(cost);
}

std::optional<std::string> ResourceManager::SecretOf(UserId user) const {
  std::lock_guard lk(secrets_mu_);
  auto it = secrets_.find(user);
  if (it == secrets_.end()) return std::nullopt;
  return it->second;
}

bool ResourceManager::ReplaceSecret(UserId user, std::string_view expected, std::string_view hash) {
  if (hash.empty() || !MayChange()) return false;
  std::lock_guard lk(secrets_mu_);
  auto it = secrets_.find(user);
  if (it == secrets_.end() || it->second != expected) return false;
  SetSecretLocked(user, hash);
  if (sink_ != nullptr) sink_->Record({.kind = Change::Kind::kSecret, .user = user, .secret = hash});
  return true;
}

const User* ResourceManager::GetUserByName(std::string_view username) const {
  if (const User* known = user_memo.Find(number_, username)) return known;
  const User* user = users.Find(username);
  if (user != nullptr) user_memo.Keep(number_, username, user);
  return user;
}

const User* ResourceManager::FindUserById(UserId id) const {
  if ((id >> kUserBlockBits) >= kMaxUserBlocks) return nullptr;
  const UserBlock* block = user_blocks[id >> kUserBlockBits].load(std::memory_order_acquire);
  return block == nullptr ? nullptr : (*block)[id & (kUserBlockSize - 1)].load(std::memory_order_acquire);
}

const User& ResourceManager::UserById(UserId id) const {
  const UserBlock* block = user_blocks[id >> kUserBlockBits].load(std::memory_order_acquire);
  return *(*block)[id & (kUserBlockSize - 1)].load(std::memory_order_acquire);
}

Chat* ResourceManager::GetChatByName(std::string_view chatname) const {
  if (Chat* known = chat_memo.Find(number_, chatname)) return known;
  Chat* chat = chats.Find(chatname);
  if (chat != nullptr) chat_memo.Keep(number_, chatname, chat);
  return chat;
}

bool ResourceManager::IsMember(const User& user, const Chat& chat) const {
  if (member_memo.Has(number_, &chat, user.getId())) return true;
  if (!chat.isUserInChat(user.getId())) return false;
  member_memo.Keep(number_, &chat, user.getId());
  return true;
}

bool ResourceManager::UserExist(std::string_view name) const { return GetUserByName(name) != nullptr; }

bool ResourceManager::ChatExist(std::string_view chatname) const {
  return GetChatByName(chatname) != nullptr;
}

bool ResourceManager::CreateChat(std::string_view username, std::string_view chatname) {
  const User* user = GetUserByName(username);
  if (user == nullptr || !MayChange() || !MemoryBudget::Get().AllowStoreGrowth()) return false;
  return chats.Insert(chatname, [&]() -> std::unique_ptr<Chat> {
    // Chat numbers start at 1 and stay below 2^31: ids stay non-negative.
    const std::optional<uint32_t> number = TakeNumber(next_chat_number, max_chats_);
    if (!number) return nullptr;
    auto chat = std::make_unique<Chat>(chatname, *number, user->getId(), sink_);
    if (sink_ != nullptr)
      sink_->Record({.kind = Change::Kind::kChat, .chat = *number, .user = user->getId(), .text = chat->getName()});
    return chat;
  });
}

JoinResult ResourceManager::JoinChat(std::string_view username, std::string_view chatname) {
  const User* user = GetUserByName(username);
  if (user == nullptr) return JoinResult::kNoUser;
  Chat* chat = GetChatByName(chatname);
  if (chat == nullptr) return JoinResult::kNoChat;
  if (chat->isUserInChat(user->getId())) return JoinResult::kAlreadyMember;
  if (StoreWasBusy() || !MayChange() || !MemoryBudget::Get().AllowStoreGrowth()) return JoinResult::kNoChat;
  return chat->addUser(user->getId()) ? JoinResult::kJoined : JoinResult::kAlreadyMember;
}

bool ResourceManager::SendTextMsg(std::string_view username, std::string_view chatname,
                                  std::string_view msg) {
  const User* user = GetUserByName(username);
  if (user == nullptr) return false;
  Chat* chat = GetChatByName(chatname);
  if (chat == nullptr || !IsMember(*user, *chat)) return false;
  if (!MayChange() || !MemoryBudget::Get().AllowStoreGrowth()) return false;
  if (chat->addTextMsg(user->getId(), msg)) return true;
  if (StoreWasBusy()) return false;
  Counters::Get().chat_full.fetch_add(1, std::memory_order_relaxed);
  static RateLimitedLog log(LogLevel::kWarn, "full-chat messages");
  log.Log("chat is full, message refused (limit %llu bytes of messages per chat)",
          static_cast<unsigned long long>(kMaxChatArenaBytes));
  return false;
}

bool ResourceManager::EditTextMsg(std::string_view username, std::string_view chatname, MessageId id,
                                  std::string_view msg) {
  const User* user = GetUserByName(username);
  if (user == nullptr) return false;
  Chat* chat = GetChatByName(chatname);
  if (chat == nullptr || !IsMember(*user, *chat)) return false;
  // Any edit may need a new record (a shorter one may not, but the limit is
  // simplest to keep, and to explain, for every edit alike).
  if (!MemoryBudget::Get().AllowStoreGrowth()) return false;
  return chat->editTextMsg(user->getId(), id, msg);
}

bool ResourceManager::DeleteMessage(std::string_view username, std::string_view chatname, MessageId id) {
  const User* user = GetUserByName(username);
  if (user == nullptr) return false;
  Chat* chat = GetChatByName(chatname);
  if (chat == nullptr || !MayChange()) return false;
  return chat->deleteMsg(user->getId(), id);
}

bool ResourceManager::ForwardTextMsg(std::string_view username, std::string_view chatname,
                                     std::string_view to_chat, MessageId id) {
  const User* user = GetUserByName(username);
  if (user == nullptr) return false;
  const Chat* source = GetChatByName(chatname);
  Chat* target = GetChatByName(to_chat);
  if (source == nullptr || target == nullptr) return false;
  if (!IsMember(*user, *target)) return false;
  // Copy the body under the source's lock, then append it under the target's:
  // never both locks at once, even when source and target are one chat.
  thread_local std::string body;
  if (!source->storage().visitMsg(id, [&](UserId, std::string_view b) { body.assign(b); }))
    return false;
  if (!MayChange() || !MemoryBudget::Get().AllowStoreGrowth()) return false;
  return target->addTextMsg(user->getId(), body).has_value();
}

bool ResourceManager::GetChatMsgsID(std::string_view chatname, std::vector<MessageId>& out) const {
  const Chat* chat = FindChat(chatname);
  if (chat == nullptr) return false;
  chat->storage().appendMsgIds(out);
  return true;
}

std::unique_ptr<MessageStorage::Listing> ResourceManager::StartListing(std::string_view chatname) const {
  const Chat* chat = FindChat(chatname);
  return chat == nullptr ? nullptr : chat->storage().startListing();
}

std::vector<MessageId> ResourceManager::GetChatMsgsID(std::string_view chatname) const {
  std::vector<MessageId> ids;
  GetChatMsgsID(chatname, ids);
  return ids;
}

size_t ResourceManager::GetChatMsgCount(std::string_view chatname) const {
  const Chat* chat = FindChat(chatname);
  return chat == nullptr ? 0 : chat->storage().count();
}

std::optional<Message> ResourceManager::GetChatMsg(std::string_view chatname, MessageId id) const {
  std::optional<Message> copy;
  VisitChatMsg(chatname, id, [&](const MessageView& v) { copy.emplace(v); });
  return copy;
}

std::vector<std::string> ResourceManager::GetChatMembers(std::string_view chatname) const {
  std::vector<std::string> names;
  const Chat* chat = FindChat(chatname);
  if (chat == nullptr) return names;
  for (UserId id : chat->getMembers()) names.emplace_back(UserById(id).getName());
  return names;
}

void ResourceManager::SetChangeSink(ChangeSink* sink) {
  sink_ = sink;
  chats.ForEach([&](const Chat& c) { const_cast<Chat&>(c).setSink(sink); });
}

bool ResourceManager::Apply(const Change& c, std::string& error) {
  auto fail = [&](const char* what) {
    error = what;
    return false;
  };
  auto chat_of = [&](uint32_t number) -> Chat* {
    auto it = restoring_.find(number);
    return it == restoring_.end() ? nullptr : it->second;
  };
  switch (c.kind) {
    case Change::Kind::kSecret: {
      if (FindUserById(c.user) == nullptr || c.secret.empty()) return fail("a secret of an unknown user");
      std::lock_guard lk(secrets_mu_);
      SetSecretLocked(c.user, c.secret);
      return true;
    }
    case Change::Kind::kSecretUser:
    case Change::Kind::kUser: {
      if (c.kind == Change::Kind::kSecretUser) {
        if (c.secret.empty()) return fail("an account without its secret");
        std::lock_guard lk(secrets_mu_);
        SetSecretLocked(c.user, c.secret);
      }
      if (const User* u = users.Find(c.text)) return u->getId() == c.user || fail("a user name taken by another number");
      if (c.user >= max_users_ || FindUserById(c.user) != nullptr) return fail("a user number out of range or taken");
      const bool added = users.Insert(c.text, [&] { return MakeUser(c.text, c.user); });
      if (!added) return fail("a user that cannot be added");
      if (next_user_id.load() <= c.user) next_user_id.store(c.user + 1);
      return true;
    }
    case Change::Kind::kChat: {
      if (const Chat* ch = chats.Find(c.text))
        return ch->getNumber() == c.chat || fail("a chat name taken by another number");
      if (c.chat == 0 || c.chat >= max_chats_ || chat_of(c.chat) != nullptr)
        return fail("a chat number out of range or taken");
      Chat* made = nullptr;
      chats.Insert(c.text, [&] {
        auto chat = std::make_unique<Chat>(c.text, c.chat, c.user, sink_);
        made = chat.get();
        return chat;
      });
      if (made == nullptr) return fail("a chat that cannot be added");
      restoring_.emplace(c.chat, made);
      if (next_chat_number.load() <= c.chat) next_chat_number.store(c.chat + 1);
      return true;
    }
    case Change::Kind::kJoin:
      if (Chat* ch = chat_of(c.chat)) {
        ch->restoreMember(c.user);
        return true;
      }
      return fail("a member of an unknown chat");
    default:
      break;
  }
  Chat* ch = chat_of(ChatNumberOf(c.id));
  if (ch == nullptr) return fail("a message of an unknown chat");
  MessageStorage& st = ch->storage();
  switch (c.kind) {
    case Change::Kind::kMessage:
    case Change::Kind::kTombstone:
      return st.restoreMessage(c.id, c.user, c.text, c.kind == Change::Kind::kTombstone) ||
             fail("a message out of order, or one its chat cannot hold");
    case Change::Kind::kEdit:
      return st.restoreEdit(c.id, c.text) || fail("an edit of a message never posted");
    case Change::Kind::kDelete:
      return st.restoreDelete(c.id) || fail("a deletion of a message never posted");
    default:
      return fail("an unknown kind of change");
  }
}

bool ResourceManager::FinishRestore(std::string& error) {
  bool ok = true;
  for (const auto& [number, chat] : restoring_) {
    for (UserId u : chat->getMembers()) ok = ok && FindUserById(u) != nullptr;
    chat->storage().forEachSender([&](UserId u) { ok = ok && FindUserById(u) != nullptr; });
    if (!ok) {
      error = "chat " + chat->getName() + " names a user that was never registered";
      return false;
    }
  }
  restoring_.clear();
  return true;
}

size_t ResourceManager::UserCount() const { return users.Size(); }

size_t ResourceManager::ChatCount() const { return chats.Size(); }

}  // namespace parley

namespace parley {

std::optional<uint32_t> ResourceManager::MemberChat(std::string_view username, std::string_view chatname) const {
  const User* user = GetUserByName(username);
  const Chat* chat = user == nullptr ? nullptr : FindChat(chatname);
  if (chat == nullptr || !IsMember(*user, *chat)) return std::nullopt;
  return chat->getNumber();
}

}  // namespace parley
