// The server's memory bound (--max-memory): what the store and the
// connections' unsent replies hold, against one limit.
//
// The store charges what it allocates (message arenas and indexes, users,
// chats, memberships) and connections charge their pending output. Past the
// limit the store refuses to grow (requests that would add get "no", reads
// are still answered) and the network thread closes the connections with the
// largest unread output first. Without a limit only the figures are kept.
//
// Any thread; relaxed atomics (the figures are a bound, not a ledger that
// must balance at every instant).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace parley {

class MemoryBudget {
 public:
  static MemoryBudget& Get();

  // 0 = unlimited.
  void SetLimit(uint64_t bytes) { limit_.store(bytes, std::memory_order_relaxed); }
  uint64_t Limit() const { return limit_.load(std::memory_order_relaxed); }

  void ChargeStore(int64_t bytes) { store_.fetch_add(bytes, std::memory_order_relaxed); }
  void ChargeOutput(int64_t bytes) { output_.fetch_add(bytes, std::memory_order_relaxed); }
  uint64_t StoreBytes() const { return Clamp(store_.load(std::memory_order_relaxed)); }
  uint64_t OutputBytes() const { return Clamp(output_.load(std::memory_order_relaxed)); }
  uint64_t Used() const { return StoreBytes() + OutputBytes(); }
  bool OverLimit() const {
    const uint64_t limit = Limit();
    return limit != 0 && Used() > limit;
  }

  // Whether the store may grow now. When not, counts the refusal and says so
  // on stderr (rate-limited).
  bool AllowStoreGrowth();

 private:
  MemoryBudget() = default;
  static uint64_t Clamp(int64_t v) { return v < 0 ? 0 : static_cast<uint64_t>(v); }
  std::atomic<uint64_t> limit_{0};
  std::atomic<int64_t> store_{0};
  std::atomic<int64_t> output_{0};
};

// Parses a size such as "512mb", "4gb", "1048576", "64k" (binary units,
// case-insensitive, optional "b"). False on anything else or on overflow.
bool ParseByteSize(const char* text, uint64_t& out);

}  // namespace parley
