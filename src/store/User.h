// A registered account: a name and the number the store gave it.
//
// Users are created by the ResourceManager and never destroyed while it
// lives; both fields are set at construction and read-only afterwards, so any
// thread may read them without a lock. The name's bytes are kept by whoever
// made the user (the store keeps both in a UserArena) for as long as it lives.
#pragma once

#include <cstdint>
#include <string_view>

namespace parley {

// Dense user numbers, in registration order from 0. Messages record their
// sender by this number rather than by a copy of the name.
using UserId = uint32_t;

class User {
 public:
  // `name` must outlive the user.
  User(std::string_view name, UserId id) : username(name), id_(id) {}
  User(const User&) = delete;
  User& operator=(const User&) = delete;

  // Exact, case-sensitive byte equality.
  bool isSame(std::string_view name) const { return username == name; }
  std::string_view getName() const { return username; }
  UserId getId() const { return id_; }

 private:
  const std::string_view username;
  const UserId id_;
};

}  // namespace parley
