// Where each message's record starts in its chat's arena, by position, in
// about 2.4 bytes per message instead of a 4-byte offset each.
//
// Positions come in groups of kGroup (17): the group's first entry keeps a full
// 32-bit offset (its base) and every entry a 16-bit distance from it. Records
// are appended in position order, so the members of a group lie within a few
// dozen kilobytes of their base; an entry whose record lies elsewhere (an
// edit moved it to the end of the arena) keeps its full offset in a side
// table instead. Entries live in fixed blocks, so growing never copies.
//
// Not synchronised: the owner guards it with its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace parley {

class OffsetIndex {
 public:
  size_t size() const { return size_; }
  uint32_t Load(size_t pos) const {
    const Block& b = *blocks_[pos / kBlock];
    const uint16_t rel = b.rel[pos % kBlock];
    if (rel == kFar) return far_.at(static_cast<uint32_t>(pos));
    return b.base[(pos % kBlock) / kGroup] + rel;
  }
  // Appends the entry for the next position.
  void PushBack(uint32_t offset);
  // Replaces the entry of `pos` (< size()).
  void Store(size_t pos, uint32_t offset);
  // Bytes allocated for the entries.
  size_t Bytes() const;

 private:
  // 4 bases and 68 distances: 152 bytes, which with the allocator's 8-byte
  // header fill a 160-byte chunk exactly.
  static constexpr size_t kBlock = 68;
  static constexpr size_t kGroup = 17;
  static constexpr uint16_t kFar = 0xffff;
  struct Block {
    uint32_t base[kBlock / kGroup];
    uint16_t rel[kBlock];
  };
  static_assert(sizeof(Block) == 152);
  std::vector<std::unique_ptr<Block>> blocks_;
  std::unordered_map<uint32_t, uint32_t> far_;  // full offsets of the entries marked kFar
  size_t size_ = 0;
};

}  // namespace parley
