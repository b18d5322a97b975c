// Where a store's users live: packed with their names into chunks that are
// freed only with the store, since users are never removed.
//
// Each thread fills a chunk of its own (per store), so making a user takes no
// lock and no allocation but, once per chunk, the lock that records the new
// chunk. A user costs its object and its name's bytes, nothing more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "store/User.h"

namespace parley {

class UserArena {
 public:
  // `store` tells this arena's chunks from another's in a thread's cursor:
  // unique per arena for the life of the process.
  explicit UserArena(uint64_t store) : store_(store) {}
  UserArena(const UserArena&) = delete;
  UserArena& operator=(const UserArena&) = delete;

  // A user named `name` (its bytes copied here) with number `id`.
  const User* Make(std::string_view name, UserId id);

 private:
  static constexpr size_t kChunkBytes = 16u << 10;
  char* Allocate(size_t bytes);

  const uint64_t store_;
  std::mutex mu_;
  std::vector<std::unique_ptr<char[]>> chunks_;  // guarded by mu_
};

}  // namespace parley
