// Objects by name in one flat array: open addressing with linear probing.
//
// Each slot holds a name's full hash beside the object that owns the name, so
// a lookup reads one run of adjacent slots and compares names only where the
// hashes agree: one cache miss for a name that is absent, two for one that is
// present (the slot, then the object's name). A node-per-entry hash map walks
// a chain of separately allocated nodes instead, and costs an allocation per
// insert. Nothing is ever removed, so probing needs no tombstones.
//
// Not synchronised: the owner guards it (see ResourceManager::NameIndex).
// T provides getName(). Ptr is what a slot keeps: by default it owns the
// object; a raw pointer, when the objects are owned elsewhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace parley {

template <class T, class Ptr = std::unique_ptr<T>>
class NameTable {
 public:
  // The object named `name` (whose hash is `hash`), or null.
  T* Find(std::string_view name, size_t hash) const {
    if (count_ == 0) return nullptr;
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (!s.obj) return nullptr;
      if (s.hash == hash && s.obj->getName() == name) return Raw(s.obj);
    }
  }

  // Adds `obj` under `hash`, the hash of obj->getName(). Requires: no object
  // of that name is present.
  void Insert(size_t hash, Ptr obj) {
    if ((count_ + 1) * 4 > capacity() * 3) Grow();
    Place(slots_.get(), mask_, hash, std::move(obj));
    ++count_;
  }

  size_t size() const { return count_; }

  // Starts loading the slot where a lookup of `hash` begins, so that a
  // lookup soon after finds it in the cache. Only a hint: any thread, with no
  // lock, even while another thread grows the table (it reads the bounds
  // published at the last growth; a stale pair names memory no longer in use,
  // which a prefetch may touch harmlessly).
  void Prefetch(size_t hash) const {
    const uintptr_t base = hint_base_.load(std::memory_order_relaxed);
    if (base == 0) return;
    const size_t i = hash & hint_mask_.load(std::memory_order_relaxed);
    __builtin_prefetch(reinterpret_cast<const void*>(base + i * sizeof(Slot)));
  }

  // Calls f(T*) for every object, in no particular order.
  template <class F>
  void ForEach(F&& f) const {
    for (size_t i = 0; i < capacity(); ++i)
      if (slots_[i].obj) f(Raw(slots_[i].obj));
  }

 private:
  struct Slot {
    size_t hash = 0;
    Ptr obj{};  // null: empty
  };
  static T* Raw(const std::unique_ptr<T>& p) { return p.get(); }
  static T* Raw(T* p) { return p; }

  size_t capacity() const { return slots_ ? mask_ + 1 : 0; }

  static void Place(Slot* slots, size_t mask, size_t hash, Ptr obj) {
    size_t i = hash & mask;
    while (slots[i].obj) i = (i + 1) & mask;
    slots[i].hash = hash;
    slots[i].obj = std::move(obj);
  }

  void Grow() {
    const size_t cap = capacity() == 0 ? 8 : capacity() * 2;
    std::unique_ptr<Slot[]> bigger = std::make_unique<Slot[]>(cap);
    for (size_t i = 0; i < capacity(); ++i)
      if (slots_[i].obj) Place(bigger.get(), cap - 1, slots_[i].hash, std::move(slots_[i].obj));
    slots_ = std::move(bigger);
    mask_ = cap - 1;
    hint_base_.store(reinterpret_cast<uintptr_t>(slots_.get()), std::memory_order_relaxed);
    hint_mask_.store(mask_, std::memory_order_relaxed);
  }

  std::unique_ptr<Slot[]> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
  // slots_ and mask_ for Prefetch, which reads them without the owner's lock.
  std::atomic<uintptr_t> hint_base_{0};
  std::atomic<size_t> hint_mask_{0};
};

}  // namespace parley
