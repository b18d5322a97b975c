// A growing array of 32-bit entries that readers may scan without a lock.
//
// One writer at a time (its owner's exclusive lock) appends and overwrites
// entries; readers that hold no lock at all may read any position below a
// size they read before. Entries live in blocks that never move once the
// table has passed the first block; the first block grows by doubling (so a
// small table stays small) and the blocks it leaves behind, like every
// directory of blocks ever used, are kept until the table is destroyed, since
// a lock-free reader may still be looking at them. What is kept is at most
// about as much again as the table itself.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace parley {

class AppendTable {
 public:
  AppendTable() = default;
  AppendTable(const AppendTable&) = delete;
  AppendTable& operator=(const AppendTable&) = delete;

  // Entries appended so far. A reader without the owner's lock must read this
  // (it acquires) before reading entries below it.
  size_t size() const { return size_.load(std::memory_order_acquire); }

  // Any thread, pos < a size read before.
  uint32_t Load(size_t pos) const {
    const Slot* dir = dir_.load(std::memory_order_acquire);
    const Entry* block = dir[pos >> kShift].load(std::memory_order_acquire);
    return block[pos & (kBlock - 1)].load(std::memory_order_acquire);
  }

  // Copies entries [from, to) to `out`, reading each block's address once.
  // Any thread, `to` <= a size read before. An entry overwritten meanwhile
  // may be read before or after the change, as with Load. Returns the
  // entries or-ed together.
  uint32_t LoadRange(size_t from, size_t to, uint32_t* out) const {
    const Slot* dir = dir_.load(std::memory_order_acquire);
    uint32_t all = 0;
    while (from < to) {
      const Entry* block = dir[from >> kShift].load(std::memory_order_acquire);
      const size_t stop = std::min(to, (from | (kBlock - 1)) + 1);
      for (; from < stop; ++from) all |= *out++ = block[from & (kBlock - 1)].load(std::memory_order_acquire);
    }
    return all;
  }

  // ---- Writer only ----
  void Store(size_t pos, uint32_t v) {
    Slot* dir = dir_.load(std::memory_order_relaxed);
    dir[pos >> kShift].load(std::memory_order_relaxed)[pos & (kBlock - 1)].store(v, std::memory_order_release);
  }
  void PushBack(uint32_t v);
  // Drops every entry and every block. Requires: no reader (locked or not).
  void Clear();
  // Bytes allocated, kept blocks included.
  size_t Bytes() const { return bytes_; }

 private:
  using Entry = std::atomic<uint32_t>;
  using Slot = std::atomic<Entry*>;
  static constexpr unsigned kShift = 13;
  static constexpr size_t kBlock = size_t{1} << kShift;
  static constexpr size_t kFirstCap = 16;

  std::atomic<Slot*> dir_{nullptr};
  std::atomic<size_t> size_{0};
  // Writer only.
  size_t dir_cap_ = 0;     // slots in *dir_
  size_t first_cap_ = 0;   // entries in block 0
  size_t bytes_ = 0;
  std::vector<std::unique_ptr<Entry[]>> blocks_;  // every block ever made
  std::vector<std::unique_ptr<Slot[]>> dirs_;     // every directory ever made
};

inline void AppendTable::PushBack(uint32_t v) {
  const size_t pos = size_.load(std::memory_order_relaxed);
  const size_t b = pos >> kShift;
  const size_t need_first = pos < kBlock ? pos + 1 : 0;
  if (b >= dir_cap_) {  // a new directory, twice as large; the old one is kept for readers
    const size_t cap = dir_cap_ == 0 ? 4 : dir_cap_ * 2;
    auto dir = std::make_unique<Slot[]>(cap);
    Slot* old = dir_.load(std::memory_order_relaxed);
    for (size_t i = 0; i < dir_cap_; ++i) dir[i].store(old[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
    bytes_ += cap * sizeof(Slot);
    dir_.store(dir.get(), std::memory_order_release);
    dirs_.push_back(std::move(dir));
    dir_cap_ = cap;
  }
  Slot* dir = dir_.load(std::memory_order_relaxed);
  if (need_first > first_cap_) {  // block 0 doubles, copying what it holds
    const size_t cap = first_cap_ == 0 ? kFirstCap : first_cap_ * 2;
    auto block = std::make_unique<Entry[]>(cap);
    Entry* old = dir[0].load(std::memory_order_relaxed);
    for (size_t i = 0; i < pos; ++i) block[i].store(old[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
    bytes_ += cap * sizeof(Entry);
    dir[0].store(block.get(), std::memory_order_release);
    blocks_.push_back(std::move(block));
    first_cap_ = cap;
  } else if (pos >= kBlock && (pos & (kBlock - 1)) == 0) {
    auto block = std::make_unique<Entry[]>(kBlock);
    bytes_ += kBlock * sizeof(Entry);
    dir[b].store(block.get(), std::memory_order_release);
    blocks_.push_back(std::move(block));
  }
  dir[b].load(std::memory_order_relaxed)[pos & (kBlock - 1)].store(v, std::memory_order_relaxed);
  size_.store(pos + 1, std::memory_order_release);
}

inline void AppendTable::Clear() {
  dir_.store(nullptr, std::memory_order_relaxed);
  size_.store(0, std::memory_order_relaxed);
  dir_cap_ = first_cap_ = bytes_ = 0;
  blocks_.clear();
  dirs_.clear();
}

}  // namespace parley
