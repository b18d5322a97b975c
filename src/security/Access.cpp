#include "security/Access.h"

#include "Limits.h"
#include "Log.h"
#include "net/Connection.h"
#include "protocol/Events.h"
#include "store/ResourceManager.h"

namespace parley {

Access& Access::Get() {
  static Access access;
  return access;
}

void Access::Configure(const Config& config) {
  required_ = config.required;
  accounts_.SetLimit(config.registrations_per_minute);
  chats_.SetLimit(config.chats_per_minute);
  unrestricted_ = !required_ && !accounts_.limited() && !chats_.limited();
}

Access::Quota* Access::QuotaFor(const Event& ev) {
  switch (ev.Creates()) {
    case Event::Adds::kAccount: return accounts_.limited() ? &accounts_ : nullptr;
    case Event::Adds::kChat: return chats_.limited() ? &chats_ : nullptr;
    case Event::Adds::kNothing: break;
  }
  return nullptr;
}

bool Access::Allows(const Event& ev, const ResourceManager& rm) {
  const Connection* conn = ev.GetConnection().get();
  if (conn == nullptr) return true;
  if (required_) {
    const uint64_t type = ev.GetType();
    const User* me = conn->user();
    bool ok;
    if (type == wire::EV_REGISTER) {
      ok = false;
    } else if (me == nullptr) {
      ok = type == wire::EV_REGISTER_SECRET || type == wire::EV_LOGIN;
    } else {
      const std::string_view actor = ev.Actor();
      const std::string_view chat = ev.ReadsChat();
      ok = (actor.empty() || me->isSame(actor)) && (chat.empty() || rm.MemberChat(me->getName(), chat));
    }
    if (!ok) {
      if (!StoreWasBusy()) Counters::Get().access_refusals.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
  }
  if (Quota* q = QuotaFor(ev); q != nullptr && !q->HasRoom(conn->peer())) {
    Counters::Get().quota_refusals.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  return true;
}

void Access::Charge(const Event& ev) {
  const Connection* conn = ev.GetConnection().get();
  if (Quota* q = QuotaFor(ev); q != nullptr && conn != nullptr) q->Charge(conn->peer());
}

bool Access::Quota::HasRoom(uint32_t address) {
  std::lock_guard lk(mu_);
  auto it = windows_.find(address);
  return it == windows_.end() || Clock::now() - it->second.start >= kQuotaWindow || it->second.used < limit_;
}

void Access::Quota::Charge(uint32_t address) {
  const Clock::time_point now = Clock::now();
  std::lock_guard lk(mu_);
  if (windows_.size() >= kMaxQuotaEntries && !windows_.contains(address))
    std::erase_if(windows_, [&](const auto& kv) { return now - kv.second.start >= kQuotaWindow; });
  if (windows_.size() >= kMaxQuotaEntries && !windows_.contains(address)) return;  // all fresh: cannot track one more
  Window& w = windows_[address];
  if (now - w.start >= kQuotaWindow) w = Window{now, 0};
  ++w.used;
}

}  // namespace parley
