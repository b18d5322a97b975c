#include "store/Chat.h"

#include <mutex>

namespace parley {

Chat::Chat(std::string_view name, uint32_t number) : name_(name), number_(number), msg_stor(number) {}

bool Chat::addUser(UserId user) {
  std::unique_lock lk(users_mut);
  if (!member_set.insert(user).second) return false;
  users.push_back(user);
  return true;
}

bool Chat::isUserInChat(UserId user) const {
  std::shared_lock lk(users_mut);
  return member_set.count(user) != 0;
}

std::vector<UserId> Chat::getMembers() const {
  std::shared_lock lk(users_mut);
  return users;
}

}  // namespace parley
