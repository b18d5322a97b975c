// A change of the store's state, as an outcome: what was decided, with the
// numbers and ids the store gave out, so that applying it again (at
// start-up, from the journal or a snapshot) needs no check and gives the same
// store.
//
// The store reports every change it makes to its ChangeSink, from inside the
// lock step that makes the change visible, so the order in which the sink
// hears of changes is an order in which they may be applied again: a user is
// heard of before any chat it created, a chat before any message in it, and
// the messages of a chat in id order.
#pragma once

#include <cstdint>
#include <string_view>

#include "store/Message.h"
#include "store/User.h"

namespace parley {

struct Change {
  enum class Kind : uint8_t {
    kUser = 1,       // user registered as `user` with name `text`
    kChat = 2,       // chat `chat` named `text` created by `user` (its first member)
    kJoin = 3,       // `user` joined `chat`
    kMessage = 4,    // message `id` posted by `user` with body `text` (a send or a forward)
    kEdit = 5,       // message `id` got body `text`
    kDelete = 6,     // message `id` deleted
    kTombstone = 7,  // message `id`, deleted, as a snapshot keeps it: its place, no body
    // (8 is a snapshot's closing record.)
    kSecret = 9,       // `user`'s secret is now the one hashed as `secret`
    kSecretUser = 10,  // user registered as `user` with name `text` and the secret hashed as `secret`
  };
  Kind kind = Kind::kUser;
  uint32_t chat = 0;  // kChat, kJoin
  UserId user = 0;    // kUser, kChat, kJoin, kMessage
  MessageId id = 0;   // message kinds
  std::string_view text = {};
  std::string_view secret = {};  // a secret's salted hash, never the secret
};

// Where the store reports its changes. Called from any thread that changes
// the store, with a store lock held: an implementation must not take a store
// lock, and must not wait for anything slow.
class ChangeSink {
 public:
  virtual ~ChangeSink() = default;
  // Records `c`. Returns nothing: a change reported here has been made.
  virtual void Record(const Change& c) = 0;
  // The caller has finished a batch of requests (a loop pass, an event
  // thread's batch): what it recorded should be written now, as one group.
  // Cheap when nothing was recorded. Not called from inside a store lock.
  virtual void Submit() {}
  // False while changes cannot be recorded (the disk is failing): the store
  // then refuses every change before making it.
  virtual bool Accepting() const = 0;
  // A number that grows with every Record; a reply that depends on the
  // changes recorded so far is held until this much is durable.
  virtual uint64_t LastRecorded() const = 0;
};

}  // namespace parley
