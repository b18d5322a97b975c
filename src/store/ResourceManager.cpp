#include "store/ResourceManager.h"

#include <mutex>

#include "Limits.h"
#include "Log.h"
#include "MemoryBudget.h"

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
}  // namespace

std::unique_ptr<ResourceManager> ResourceManager::CreateStandalone(uint32_t max_users, uint32_t max_chats) {
  return std::unique_ptr<ResourceManager>(new ResourceManager(max_users, max_chats));
}

ResourceManager::ResourceManager(uint32_t max_users, uint32_t max_chats)
    : max_users_(std::min(max_users, kMaxUsers)),
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

bool ResourceManager::AddUser(std::string_view username) {
  if (!MemoryBudget::Get().AllowStoreGrowth()) return false;
  return users.Insert(username, [&]() -> std::unique_ptr<User> {
    const std::optional<uint32_t> number = TakeNumber(next_user_id, max_users_);
    if (!number) return nullptr;
    auto user = std::make_unique<User>(username, *number);
    if (!PublishUser(user.get())) return nullptr;
    const int64_t cost = kUserCost + static_cast<int64_t>(username.size());
    user_bytes_.fetch_add(cost, std::memory_order_relaxed);
    MemoryBudget::Get().ChargeStore(cost);
    return user;
  });
}

const User* ResourceManager::GetUserByName(std::string_view username) const { return users.Find(username); }

const User& ResourceManager::UserById(UserId id) const {
  const UserBlock* block = user_blocks[id >> kUserBlockBits].load(std::memory_order_acquire);
  return *(*block)[id & (kUserBlockSize - 1)].load(std::memory_order_acquire);
}

Chat* ResourceManager::GetChatByName(std::string_view chatname) const { return chats.Find(chatname); }

bool ResourceManager::UserExist(std::string_view name) const { return GetUserByName(name) != nullptr; }

bool ResourceManager::ChatExist(std::string_view chatname) const {
  return GetChatByName(chatname) != nullptr;
}

bool ResourceManager::CreateChat(std::string_view username, std::string_view chatname) {
  const User* user = GetUserByName(username);
  if (user == nullptr || !MemoryBudget::Get().AllowStoreGrowth()) return false;
  return chats.Insert(chatname, [&]() -> std::unique_ptr<Chat> {
    // Chat numbers start at 1 and stay below 2^31: ids stay non-negative.
    const std::optional<uint32_t> number = TakeNumber(next_chat_number, max_chats_);
    if (!number) return nullptr;
    auto chat = std::make_unique<Chat>(chatname, *number);
    chat->addUser(user->getId());  // the chat is new and not yet visible: never busy
    return chat;
  });
}

JoinResult ResourceManager::JoinChat(std::string_view username, std::string_view chatname) {
  const User* user = GetUserByName(username);
  if (user == nullptr) return JoinResult::kNoUser;
  Chat* chat = GetChatByName(chatname);
  if (chat == nullptr) return JoinResult::kNoChat;
  if (chat->isUserInChat(user->getId())) return JoinResult::kAlreadyMember;
  if (StoreWasBusy() || !MemoryBudget::Get().AllowStoreGrowth()) return JoinResult::kNoChat;
  return chat->addUser(user->getId()) ? JoinResult::kJoined : JoinResult::kAlreadyMember;
}

bool ResourceManager::SendTextMsg(std::string_view username, std::string_view chatname,
                                  std::string_view msg) {
  const User* user = GetUserByName(username);
  if (user == nullptr) return false;
  Chat* chat = GetChatByName(chatname);
  if (chat == nullptr || !chat->isUserInChat(user->getId())) return false;
  if (!MemoryBudget::Get().AllowStoreGrowth()) return false;
  if (chat->addTextMsg(user->getId(), msg)) return true;
  if (StoreWasBusy()) return false;
  Counters::Get().chat_full.fetch_add(1, std::memory_order_relaxed);
  static RateLimitedLog log("full-chat messages");
  log.Log("chat is full, message refused (limit %llu bytes of messages per chat)",
          static_cast<unsigned long long>(kMaxChatArenaBytes));
  return false;
}

bool ResourceManager::EditTextMsg(std::string_view username, std::string_view chatname, MessageId id,
                                  std::string_view msg) {
  const User* user = GetUserByName(username);
  if (user == nullptr) return false;
  Chat* chat = GetChatByName(chatname);
  if (chat == nullptr || !chat->isUserInChat(user->getId())) return false;
  // Any edit may need a new record (a shorter one may not, but the limit is
  // simplest to keep, and to explain, for every edit alike).
  if (!MemoryBudget::Get().AllowStoreGrowth()) return false;
  return chat->editTextMsg(user->getId(), id, msg);
}

bool ResourceManager::DeleteMessage(std::string_view username, std::string_view chatname, MessageId id) {
  const User* user = GetUserByName(username);
  if (user == nullptr) return false;
  Chat* chat = GetChatByName(chatname);
  if (chat == nullptr) return false;
  return chat->deleteMsg(user->getId(), id);
}

bool ResourceManager::ForwardTextMsg(std::string_view username, std::string_view chatname,
                                     std::string_view to_chat, MessageId id) {
  const User* user = GetUserByName(username);
  if (user == nullptr) return false;
  const Chat* source = GetChatByName(chatname);
  Chat* target = GetChatByName(to_chat);
  if (source == nullptr || target == nullptr) return false;
  if (!target->isUserInChat(user->getId())) return false;
  // Copy the body under the source's lock, then append it under the target's:
  // never both locks at once, even when source and target are one chat.
  thread_local std::string body;
  if (!source->storage().visitMsg(id, [&](UserId, std::string_view b) { body.assign(b); }))
    return false;
  if (!MemoryBudget::Get().AllowStoreGrowth()) return false;
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
  for (UserId id : chat->getMembers()) names.push_back(UserById(id).getName());
  return names;
}

size_t ResourceManager::UserCount() const { return users.Size(); }

size_t ResourceManager::ChatCount() const { return chats.Size(); }

}  // namespace parley
