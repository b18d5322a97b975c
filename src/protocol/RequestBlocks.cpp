#include "protocol/RequestBlocks.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define PARLEY_PLAIN_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PARLEY_PLAIN_BLOCKS 1
#endif
#endif

namespace parley::request_blocks {

namespace {

char* Allocate(size_t bytes) { return std::allocator<char>().allocate(bytes); }
void Release(char* p, size_t bytes) { std::allocator<char>().deallocate(p, bytes); }

#ifndef PARLEY_PLAIN_BLOCKS
constexpr size_t kBatch = 64;
constexpr size_t kPoolBatches = 8;

// Batches of free blocks shared by all threads.
class Pool {
 public:
  ~Pool() {
    for (auto& batch : batches_)
      for (char* p : batch) Release(p, kBlockBytes);
  }
  // A batch into `out` (empty); false when there is none.
  bool TakeBatch(std::vector<char*>& out) {
    std::lock_guard lk(mu_);
    if (batches_.empty()) return false;
    out.swap(batches_.back());
    batches_.pop_back();
    return true;
  }
  // Takes the last kBatch blocks of `from`; false when the pool is full.
  bool GiveBatch(std::vector<char*>& from) {
    std::vector<char*> batch(from.end() - kBatch, from.end());
    std::lock_guard lk(mu_);
    if (batches_.size() >= kPoolBatches) return false;
    batches_.push_back(std::move(batch));
    from.resize(from.size() - kBatch);
    return true;
  }

 private:
  std::mutex mu_;
  std::vector<std::vector<char*>> batches_;  // guarded by mu_
};

Pool& SharedPool() {
  static Pool pool;
  return pool;
}

struct Cache {
  std::vector<char*> blocks;
  ~Cache() {
    for (char* p : blocks) Release(p, kBlockBytes);
  }
};
thread_local Cache cache;
#endif

}  // namespace

char* Take(size_t bytes) {
#ifndef PARLEY_PLAIN_BLOCKS
  if (bytes <= kBlockBytes) {
    std::vector<char*>& mine = cache.blocks;
    if (mine.empty()) {
      if (!SharedPool().TakeBatch(mine)) return Allocate(kBlockBytes);
    }
    char* p = mine.back();
    mine.pop_back();
    return p;
  }
#endif
  return Allocate(bytes);
}

void Give(char* p, size_t bytes) {
#ifndef PARLEY_PLAIN_BLOCKS
  if (bytes <= kBlockBytes) {
    std::vector<char*>& mine = cache.blocks;
    if (mine.size() >= 2 * kBatch && !SharedPool().GiveBatch(mine)) {
      Release(p, kBlockBytes);
      return;
    }
    mine.push_back(p);
    return;
  }
#endif
  Release(p, bytes);
}

}  // namespace parley::request_blocks
