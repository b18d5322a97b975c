#include "store/UserArena.h"

#include <cstring>
#include <type_traits>

namespace parley {

static_assert(std::is_trivially_destructible_v<User>, "users are freed with their chunks, never destroyed one by one");

namespace {
// This thread's place in the chunk it fills, and whose chunk that is.
struct Cursor {
  uint64_t store = 0;
  char* next = nullptr;
  size_t left = 0;
};
constinit thread_local Cursor cursor;
}  // namespace

char* UserArena::Allocate(size_t bytes) {
  bytes = (bytes + alignof(User) - 1) & ~(alignof(User) - 1);
  if (cursor.store != store_ || cursor.left < bytes) {
    const size_t size = bytes > kChunkBytes / 4 ? bytes : kChunkBytes;  // a long name gets a chunk of its own
    auto chunk = std::make_unique_for_overwrite<char[]>(size);
    char* at = chunk.get();
    {
      std::lock_guard lk(mu_);
      chunks_.push_back(std::move(chunk));
    }
    if (size != kChunkBytes) return at;
    cursor = {store_, at, size};
  }
  char* at = cursor.next;
  cursor.next += bytes;
  cursor.left -= bytes;
  return at;
}

const User* UserArena::Make(std::string_view name, UserId id) {
  char* at = Allocate(sizeof(User) + name.size());
  char* bytes = at + sizeof(User);
  if (!name.empty()) std::memcpy(bytes, name.data(), name.size());
  return std::construct_at(reinterpret_cast<User*>(at), std::string_view(bytes, name.size()), id);
}

}  // namespace parley
