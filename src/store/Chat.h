// A named chat: its members, in join order, and its messages.
//
// A chat makes no checks of its own beyond membership bookkeeping; the
// ResourceManager decides who may post. Created by the ResourceManager and
// never destroyed while it lives. The name and number are read-only after
// construction; the member list is guarded by its own readers-writer lock and
// the messages by the storage's lock (never both at once).
#pragma once

#include <cstdint>
#include <shared_mutex>

#include "store/RwLock.h"
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "store/MessageStorage.h"
#include "store/User.h"

namespace parley {

class Chat {
 public:
  // A chat whose first member is `creator`. Every later change is reported
  // to `sink` (when set).
  Chat(std::string_view name, uint32_t number, UserId creator, ChangeSink* sink = nullptr);
  ~Chat();
  Chat(const Chat&) = delete;
  Chat& operator=(const Chat&) = delete;

  // Exact, case-sensitive byte equality with the chat's name.
  bool isSame(std::string_view name) const { return name_ == name; }
  const std::string& getName() const { return name_; }
  uint32_t getNumber() const { return number_; }

  // Adds `user` as the newest member unless already a member, in one step.
  // Returns true when the user was added. Like every lock step of the store,
  // addUser and isUserInChat follow the calling thread's waiting rule
  // (NoWaitScope): on a busy lock they report false.
  bool addUser(UserId user);
  bool isUserInChat(UserId user) const;
  // Start-up only: adds `user` unless a member already, reporting nothing.
  void restoreMember(UserId user);
  void setSink(ChangeSink* sink) {
    sink_ = sink;
    msg_stor.setSink(sink);
  }

  // The members, in the order they joined (the creator first).
  std::vector<UserId> getMembers() const;

  // Message operations, passed to the storage unchanged.
  std::optional<MessageId> addTextMsg(UserId sender, std::string_view body) {
    return msg_stor.addTextMessage(sender, body);
  }
  bool editTextMsg(UserId sender, MessageId id, std::string_view body) {
    return msg_stor.editMsg(sender, id, body);
  }
  bool deleteMsg(UserId sender, MessageId id) { return msg_stor.removeMessage(sender, id); }
  std::vector<MessageId> getMsgIds() const { return msg_stor.getMsgIds(); }
  MessageStorage& storage() { return msg_stor; }
  const MessageStorage& storage() const { return msg_stor; }

 private:
  const std::string name_;
  const uint32_t number_;
  ChangeSink* sink_;  // set at start-up, then read-only
  mutable RwLock users_mut;
  std::vector<UserId> users;              // guarded by users_mut; join order
  std::unordered_set<UserId> member_set;  // guarded by users_mut; the same users, for lookup
  MessageStorage msg_stor;
};

}  // namespace parley
