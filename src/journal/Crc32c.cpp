#include "journal/Crc32c.h"

#include <array>
#include <cstring>

namespace parley {

namespace {

constexpr uint32_t kPoly = 0x82f63b78u;  // reflected Castagnoli polynomial

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr std::array<uint32_t, 256> kTable = MakeTable();

uint32_t Portable(const unsigned char* p, size_t n, uint32_t c) {
  while (n-- > 0) c = kTable[(c ^ *p++) & 0xff] ^ (c >> 8);
  return c;
}

#if defined(__x86_64__)
// Takes the next sizeof(Word) bytes into `w`, if there are that many.
template <class Word>
bool TakeWord(const unsigned char*& p, size_t& n, Word& w) {
  if (n < sizeof w) return false;
  std::memcpy(&w, p, sizeof w);
  p += sizeof w;
  n -= sizeof w;
  return true;
}

__attribute__((target("sse4.2"))) uint32_t Hardware(const unsigned char* p, size_t n, uint32_t c) {
  uint64_t c64 = c;
  for (uint64_t w8; TakeWord(p, n, w8);) c64 = __builtin_ia32_crc32di(c64, w8);
  auto c32 = static_cast<uint32_t>(c64);
  // At most seven bytes are left: one step of each smaller width.
  uint32_t w4;
  uint16_t w2;
  uint8_t w1;
  if (TakeWord(p, n, w4)) c32 = __builtin_ia32_crc32si(c32, w4);
  if (TakeWord(p, n, w2)) c32 = __builtin_ia32_crc32hi(c32, w2);
  if (TakeWord(p, n, w1)) c32 = __builtin_ia32_crc32qi(c32, w1);
  return c32;
}
const bool kHasHardware = __builtin_cpu_supports("sse4.2");
#endif

}  // namespace

uint32_t Crc32c(std::string_view data, uint32_t crc) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  uint32_t c = ~crc;
#if defined(__x86_64__)
  c = kHasHardware ? Hardware(p, data.size(), c) : Portable(p, data.size(), c);
#else
  c = Portable(p, data.size(), c);
#endif
  return ~c;
}

}  // namespace parley
