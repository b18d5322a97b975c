#include "store/Chat.h"

#include <mutex>

#include "MemoryBudget.h"

namespace parley {

namespace {
// What a chat and a membership cost, roughly, for the memory budget.
constexpr int64_t kChatCost = sizeof(Chat) + 96;
constexpr int64_t kMemberCost = 40;
}  // namespace

Chat::Chat(std::string_view name, uint32_t number, UserId creator, ChangeSink* sink)
    : name_(name), number_(number), sink_(sink), msg_stor(number, sink) {
  MemoryBudget::Get().ChargeStore(kChatCost + static_cast<int64_t>(name_.size()));
  restoreMember(creator);
}

Chat::~Chat() {
  MemoryBudget::Get().ChargeStore(-(kChatCost + static_cast<int64_t>(name_.size()) +
                                    kMemberCost * static_cast<int64_t>(users.size())));
}

bool Chat::addUser(UserId user) {
  auto lk = LockExclusive(users_mut);
  if (!lk || !member_set.insert(user).second) return false;
  users.push_back(user);
  MemoryBudget::Get().ChargeStore(kMemberCost);
  if (sink_ != nullptr) sink_->Record({.kind = Change::Kind::kJoin, .chat = number_, .user = user});
  return true;
}

void Chat::restoreMember(UserId user) {
  std::unique_lock lk(users_mut);
  if (!member_set.insert(user).second) return;
  users.push_back(user);
  MemoryBudget::Get().ChargeStore(kMemberCost);
}

bool Chat::isUserInChat(UserId user) const {
  auto lk = LockShared(users_mut);
  return lk && member_set.count(user) != 0;
}

std::vector<UserId> Chat::getMembers() const {
  std::shared_lock lk(users_mut);
  return users;
}

}  // namespace parley
