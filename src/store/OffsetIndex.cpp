#include "store/OffsetIndex.h"

namespace parley {

void OffsetIndex::PushBack(uint32_t offset) {
  const size_t pos = size_;
  if (pos % kBlock == 0) blocks_.push_back(std::make_unique_for_overwrite<Block>());
  Block& b = *blocks_.back();
  if (pos % kGroup == 0) b.base[(pos % kBlock) / kGroup] = offset;
  b.rel[pos % kBlock] = 0;
  ++size_;
  Store(pos, offset);
}

void OffsetIndex::Store(size_t pos, uint32_t offset) {
  Block& b = *blocks_[pos / kBlock];
  const uint32_t base = b.base[(pos % kBlock) / kGroup];
  const uint16_t old = b.rel[pos % kBlock];
  if (offset >= base && offset - base < kFar) {
    if (old == kFar) far_.erase(static_cast<uint32_t>(pos));
    b.rel[pos % kBlock] = static_cast<uint16_t>(offset - base);
  } else {
    b.rel[pos % kBlock] = kFar;
    far_[static_cast<uint32_t>(pos)] = offset;
  }
}

size_t OffsetIndex::Bytes() const {
  // A side entry costs about a hash node and its bucket.
  return blocks_.size() * sizeof(Block) + blocks_.capacity() * sizeof(blocks_[0]) + far_.size() * 32;
}

}  // namespace parley
