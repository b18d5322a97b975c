// What a thread found recently in a store, kept so that the next request
// naming the same user or chat, or asking the same membership, finds it
// without hashing the name or taking a registry or member lock.
//
// Sound because the store never removes anything: a user or chat found by a
// name stays that name's for the store's life, and a member stays a member.
// Only what was found is kept, never an absence. Each memo belongs to one
// thread (thread_local), so it needs no lock; entries carry the number of the
// store they came from (stores made for tests come and go), and a slot is
// simply overwritten by the next name that falls on it. Names longer than
// kMaxName are not kept.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace parley {

// Names to objects of one kind (T: User or Chat).
template <class T>
class NameMemo {
 public:
  static constexpr size_t kMaxName = 30;

  T* Find(uint64_t store, std::string_view name) const {
    const Slot& s = slots_[SlotOf(name)];
    if (s.store != store || s.len != name.size() || std::memcmp(s.name, name.data(), name.size()) != 0) return nullptr;
    return s.obj;
  }
  void Keep(uint64_t store, std::string_view name, T* obj) {
    if (name.size() > kMaxName) return;
    Slot& s = slots_[SlotOf(name)];
    s.store = store;
    s.obj = obj;
    s.len = static_cast<uint8_t>(name.size());
    std::memcpy(s.name, name.data(), name.size());
  }

 private:
  static constexpr size_t kSlots = 256;
  struct Slot {
    uint64_t store = 0;  // store numbers start at 1
    T* obj = nullptr;
    uint8_t len = 0;
    char name[kMaxName + 1] = {};
  };
  // A cheap spread of the name's length and its first and last bytes (at
  // most 16, read as two overlapping words: no byte loop).
  static size_t SlotOf(std::string_view name) {
    const char* p = name.data();
    const size_t n = name.size();
    uint64_t head = 0, tail = 0;
    if (n >= 8) {
      std::memcpy(&head, p, 8);
      std::memcpy(&tail, p + n - 8, 8);
    } else if (n >= 4) {
      uint32_t h, t;
      std::memcpy(&h, p, 4);
      std::memcpy(&t, p + n - 4, 4);
      head = h;
      tail = t;
    } else if (n > 0) {
      head = static_cast<unsigned char>(p[0]) | uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
             uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
    }
    const uint64_t mix = (head ^ (tail * 0x9E3779B97F4A7C15ull) ^ n) * 0xff51afd7ed558ccdull;
    return static_cast<size_t>(mix >> 56);
  }
  std::array<Slot, kSlots> slots_{};
};

// Memberships found: (store, chat, user) triples.
class MemberMemo {
 public:
  bool Has(uint64_t store, const void* chat, uint32_t user) const {
    const Slot& s = slots_[SlotOf(chat, user)];
    return s.store == store && s.chat == chat && s.user == user;
  }
  void Keep(uint64_t store, const void* chat, uint32_t user) { slots_[SlotOf(chat, user)] = {store, chat, user}; }

 private:
  static constexpr size_t kSlots = 256;
  struct Slot {
    uint64_t store = 0;
    const void* chat = nullptr;
    uint32_t user = 0;
  };
  static size_t SlotOf(const void* chat, uint32_t user) {
    const uint64_t mix = (reinterpret_cast<uintptr_t>(chat) ^ (uint64_t{user} << 20)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(mix >> 56);
  }
  std::array<Slot, kSlots> slots_{};
};

}  // namespace parley
