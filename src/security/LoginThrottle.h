// Slows down guessing secrets: failed log-ins delay the next attempt, per
// account and per client address, exponentially.
//
// After f failures in a row (on an account, or from an address), the next
// attempt may start kLoginDelayBase * 2^(f-1) after the last failure, at most
// kLoginDelayMax later. The later of the two deadlines (account, address)
// counts. A success clears the account's count; an address's count is only
// forgotten kLoginFailureMemory after its last failure, so a guesser cannot
// clear it by logging in to an account of its own. Attempts wait their turn
// (the connection is not read meanwhile), they are not refused, so the
// account's owner still gets in with the right secret.
//
// Memory is bounded: at most kMaxThrottleEntries accounts and as many
// addresses are remembered; past that, the stalest are forgotten first.
// Any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace parley {

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  static LoginThrottle& Get();

  // When an attempt to log in as `user` from `address` may be checked.
  Clock::time_point NextAttempt(std::string_view user, uint32_t address);
  // An attempt failed: counts it, logs it (rate-limited) and pushes the next
  // attempt's time back.
  void Failed(std::string_view user, uint32_t address);
  // An attempt succeeded: the account's failures are forgotten.
  void Succeeded(std::string_view user);

  // The delay after `failures` failures in a row.
  static Clock::duration DelayAfter(uint32_t failures);

 private:
  struct Entry {
    uint32_t failures = 0;
    Clock::time_point last{};
  };
  template <class Map>
  static void Prune(Map& map, Clock::time_point now);
  static Clock::time_point Deadline(const Entry& e) { return e.last + DelayAfter(e.failures); }

  std::mutex mu_;
  std::unordered_map<std::string, Entry> users_;   // guarded by mu_
  std::unordered_map<uint32_t, Entry> addresses_;  // guarded by mu_
};

}  // namespace parley
