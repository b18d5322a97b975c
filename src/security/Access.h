// Who may do what, and how much one client address may add: the one place
// the account mode and the per-address quotas are enforced (Event::Run asks
// here before every request runs).
//
// Account mode `required` (--auth required):
// - plain register is refused: every account has a secret;
// - a connection that has not logged in may only register with a secret or log in;
// - a logged-in connection may only name its own user, and may read (fetch,
//   list, history, and forward from) only the chats its user is a member of.
// Mode `open` (the default) lets any connection act as any user.
//
// Quotas (both modes): at most N new accounts (--max-registrations-per-ip)
// and N new chats (--max-chats-per-ip) per client address per minute; a
// request over its address's quota is refused, and only successful ones count.
//
// Requests without a connection (tests, tools) are not restricted.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace parley {

class Event;
class ResourceManager;

class Access {
 public:
  struct Config {
    bool required = false;
    int registrations_per_minute = 0;  // 0: no limit
    int chats_per_minute = 0;          // 0: no limit
  };

  static Access& Get();
  // Start-up only, before any request runs.
  void Configure(const Config& config);

  // True when nothing is restricted (open mode, no quotas): the common case costs one check.
  bool Unrestricted() const { return unrestricted_; }
  // Whether `ev` may run now; a refusal is counted (the caller answers "no").
  // Reading a chat's members may meet a busy lock (see StoreWasBusy).
  bool Allows(const Event& ev, const ResourceManager& rm);
  // `ev` succeeded: its address's quota is charged.
  void Charge(const Event& ev);

 private:
  // Additions per address in the current window.
  class Quota {
   public:
    void SetLimit(int per_window) { limit_ = per_window; }
    bool limited() const { return limit_ > 0; }
    bool HasRoom(uint32_t address);
    void Charge(uint32_t address);

   private:
    using Clock = std::chrono::steady_clock;
    struct Window {
      Clock::time_point start{};
      int used = 0;
    };
    int limit_ = 0;
    std::mutex mu_;
    std::unordered_map<uint32_t, Window> windows_;  // guarded by mu_
  };
  Quota* QuotaFor(const Event& ev);

  bool unrestricted_ = true;
  bool required_ = false;
  Quota accounts_;
  Quota chats_;
};

}  // namespace parley
