#include "security/LoginThrottle.h"

#include <arpa/inet.h>

#include <algorithm>

#include "Limits.h"
#include "Log.h"

namespace parley {

namespace {

RateLimitedLog failure_log(LogLevel::kWarn, "failed log-ins");

// A user name as it may be printed: control bytes and non-ASCII escaped, cut short.
std::string Printable(std::string_view name) {
  std::string out;
  for (const char ch : name.substr(0, 64)) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
      out.push_back(static_cast<char>(c));
    } else {
      char esc[5];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    }
  }
  if (name.size() > 64) out += "...";
  return out;
}

}  // namespace

LoginThrottle& LoginThrottle::Get() {
  static LoginThrottle throttle;
  return throttle;
}

LoginThrottle::Clock::duration LoginThrottle::DelayAfter(uint32_t failures) {
  if (failures == 0) return Clock::duration::zero();
  const auto max = std::chrono::duration_cast<Clock::duration>(kLoginDelayMax);
  const uint32_t doublings = std::min<uint32_t>(failures - 1, 30);
  const auto delay = std::chrono::duration_cast<Clock::duration>(kLoginDelayBase) * (int64_t{1} << doublings);
  return std::min(delay, max);
}

LoginThrottle::Clock::time_point LoginThrottle::NextAttempt(std::string_view user, uint32_t address) {
  std::lock_guard lk(mu_);
  Clock::time_point next{};
  if (auto it = users_.find(std::string(user)); it != users_.end()) next = Deadline(it->second);
  if (auto it = addresses_.find(address); it != addresses_.end()) next = std::max(next, Deadline(it->second));
  return next;
}

template <class Map>
void LoginThrottle::Prune(Map& map, Clock::time_point now) {
  if (map.size() < kMaxThrottleEntries) return;
  // The stalest first: a flood of names or addresses cannot keep growing the table.
  Clock::time_point cut = now - kLoginFailureMemory;
  while (map.size() >= kMaxThrottleEntries) {
    for (auto it = map.begin(); it != map.end();) {
      if (it->second.last <= cut) it = map.erase(it);
      else ++it;
    }
    cut += (now - cut) / 2 + Clock::duration(1);  // still full: forget younger failures too
  }
}

void LoginThrottle::Failed(std::string_view user, uint32_t address) {
  const Clock::time_point now = Clock::now();
  uint32_t user_failures = 0, address_failures = 0;
  Clock::duration delay{};
  {
    std::lock_guard lk(mu_);
    auto bump = [&](Entry& e) {
      if (now - e.last > kLoginFailureMemory) e.failures = 0;
      ++e.failures;
      e.last = now;
      return e.failures;
    };
    if (!users_.contains(std::string(user))) Prune(users_, now);
    if (!addresses_.contains(address)) Prune(addresses_, now);
    user_failures = bump(users_[std::string(user)]);
    address_failures = bump(addresses_[address]);
    delay = DelayAfter(std::max(user_failures, address_failures));
  }
  Counters::Get().login_failures.fetch_add(1, std::memory_order_relaxed);
  char ip[INET_ADDRSTRLEN] = "?";
  in_addr a{};
  a.s_addr = address;
  inet_ntop(AF_INET, &a, ip, sizeof ip);
  failure_log.Log("parleyd: failed log-in as \"%s\" from %s (%u in a row for the account, %u from the address); "
                  "next attempt in %lld ms",
                  Printable(user).c_str(), ip, user_failures, address_failures,
                  static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(delay).count()));
}

void LoginThrottle::Succeeded(std::string_view user) {
  std::lock_guard lk(mu_);
  users_.erase(std::string(user));
}

}  // namespace parley
