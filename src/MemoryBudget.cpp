#include "MemoryBudget.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "Log.h"

namespace parley {

MemoryBudget& MemoryBudget::Get() {
  static MemoryBudget budget;
  return budget;
}

bool MemoryBudget::AllowStoreGrowth() {
  if (!OverLimit()) return true;
  Counters::Get().memory_refusals.fetch_add(1, std::memory_order_relaxed);
  static RateLimitedLog log(LogLevel::kWarn, "memory refusals");
  log.Log("parleyd: memory limit reached (%llu of %llu bytes in use): request that would grow the store refused",
          static_cast<unsigned long long>(Used()), static_cast<unsigned long long>(Limit()));
  return false;
}

bool ParseByteSize(const char* text, uint64_t& out) {
  if (text == nullptr || !std::isdigit(static_cast<unsigned char>(*text))) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(text, &end, 10);
  if (errno != 0) return false;
  std::string unit;
  for (const char* p = end; *p != '\0'; ++p) unit += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  unsigned shift = 0;
  if (unit.empty() || unit == "b") shift = 0;
  else if (unit == "k" || unit == "kb") shift = 10;
  else if (unit == "m" || unit == "mb") shift = 20;
  else if (unit == "g" || unit == "gb") shift = 30;
  else if (unit == "t" || unit == "tb") shift = 40;
  else return false;
  if (shift != 0 && n > (~0ull >> shift)) return false;
  out = static_cast<uint64_t>(n) << shift;
  return true;
}

}  // namespace parley
