// A registered account: a name and the number the store gave it.
//
// Users are created by the ResourceManager and never destroyed while it
// lives; both fields are set at construction and read-only afterwards, so any
// thread may read them without a lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace parley {

// Dense user numbers, in registration order from 0. Messages record their
// sender by this number rather than by a copy of the name.
using UserId = uint32_t;

class User {
 public:
  User(std::string_view name, UserId id) : username(name), id_(id) {}
  User(const User&) = delete;
  User& operator=(const User&) = delete;

  // Exact, case-sensitive byte equality.
  bool isSame(std::string_view name) const { return username == name; }
  const std::string& getName() const { return username; }
  UserId getId() const { return id_; }

 private:
  const std::string username;
  const UserId id_;
};

}  // namespace parley
