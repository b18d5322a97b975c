// Crash recovery: a server on a data directory, killed at random moments under
// load (some during a snapshot) and restarted there, keeps every acknowledged
// change with the same ids, and nothing half-done. A failure keeps the
// directory; PARLEY_CRASH_SEED=N repeats a run's requests and kill times.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "StressTest.h"

namespace parley::test {
namespace {

using namespace parley::wire;
using Pair = std::pair<std::string, std::string>;  // user, chat
class Crash : public StressTest {};

// One mutating request, and its reply: nothing when none came.
struct Op {
  uint64_t type;
  std::string user, chat, to, body;  // chat: the source of a forward
  int64_t id = -1;
  std::optional<bool> reply;
};
std::string Show(const Op& o) {
  static const char* const kNames[] = {"register", "create", "join", "send", "edit", "delete", "forward"};
  return std::string(kNames[o.type]) + " " + o.user + " " + o.chat + " " + o.to + (o.id < 0 ? "" : " #" + std::to_string(o.id)) +
         " '" + o.body + "' -> " + (o.reply ? (*o.reply ? "ok" : "no") : "unanswered");
}
std::string Request(const Op& o) {
  switch (o.type) {
    case EV_REGISTER: return Register(o.user);
    case EV_CREATECHAT: return CreateChatReq(o.user, o.chat);
    case EV_JOINCHAT: return JoinChatReq(o.user, o.chat);
    case EV_SENGMSG: return SendReq(o.user, o.chat, o.body);
    case EV_EDITMSG: return EditReq(o.user, o.chat, o.id, o.body);
    case EV_DELETEMSG: return DeleteReq(o.user, o.chat, o.id);
    default: return ForwardReq(o.user, o.chat, o.to, o.id);
  }
}

struct Msg {
  std::string chat, sender;
  std::set<std::string> bodies;  // what its body may be
  bool active = true, maybe_deleted = false;
};
// The store as acknowledged; definite at the start of each cycle.
struct Model {
  std::set<std::string> users, chats;
  std::set<Pair> members;
  std::map<int64_t, Msg> msgs;
};
// What one cycle's unanswered requests left open, and what it must have made.
struct Open {
  std::set<std::string> registered, maybe_users, must_chats;
  std::map<std::string, std::set<std::string>> creators;  // by unanswered creates
  std::set<Pair> touched, maybe_members;
  std::vector<std::pair<Msg, bool>> fresh;  // sends and forwards, acknowledged or not; active: not yet seen
};

// Connection k's request `n` of `cycle`: its users and messages are its own, so
// only chats are shared.
Op MakeOp(std::mt19937_64& rng, const Model& m, const std::vector<int64_t>& own, size_t k, size_t cycle, size_t n) {
  auto pick = [&](uint64_t few, uint64_t all) { return std::to_string(rng() % 4 ? rng() % few : rng() % all); };
  Op o{EV_REGISTER, "u" + std::to_string(k) + "." + pick(3, 3 + cycle), "c" + pick(3, 3 + cycle / 3), "",
       "m" + std::to_string(k) + "." + std::to_string(cycle) + "." + std::to_string(n), -1, {}};
  const uint64_t kind = rng() % 13;
  if (kind >= 8 && !own.empty()) {  // edit, delete or forward one of its messages
    o.id = own[rng() % own.size()];
    const Msg& msg = m.msgs.at(o.id);
    o.to = std::exchange(o.chat, msg.chat);
    if (rng() % 4) o.user = msg.sender;
    o.type = kind < 10 ? EV_EDITMSG : kind < 11 ? EV_DELETEMSG : EV_FORWARDMSG;
    if (o.type != EV_FORWARDMSG) o.to.clear();
  } else {
    o.type = kind < 1 ? EV_REGISTER : kind < 2 ? EV_CREATECHAT : kind < 4 ? EV_JOINCHAT : EV_SENGMSG;
  }
  if (o.type != EV_SENGMSG && o.type != EV_EDITMSG) o.body.clear();
  return o;
}

// Replays connection requests on the model: answered ones must get the reply the model predicts.
void Replay(Model& m, const std::set<std::string>& start_chats, const Op& o, Open& open) {
  const bool ok = o.reply.value_or(false), unanswered = !o.reply, user = m.users.count(o.user) > 0;
  const Pair pair{o.user, o.chat};
  auto expect = [&](bool want) { EXPECT_TRUE(!o.reply || *o.reply == want) << Show(o) << " where the model says otherwise"; };
  auto msg = m.msgs.find(o.id);
  const bool own = msg != m.msgs.end() && msg->second.active && msg->second.chat == o.chat;
  switch (o.type) {
    case EV_REGISTER:
      expect(!user);
      open.registered.insert(o.user);
      if (ok) m.users.insert(o.user);
      if (unanswered && !user) open.maybe_users.insert(o.user);
      break;
    case EV_CREATECHAT:
    case EV_JOINCHAT:
      open.touched.insert(pair);
      if (!user || (o.type == EV_CREATECHAT && start_chats.count(o.chat))) expect(false);
      else if (o.type == EV_JOINCHAT && start_chats.count(o.chat)) expect(true);
      if (ok && o.type == EV_CREATECHAT) {
        EXPECT_TRUE(m.chats.insert(o.chat).second) << "created twice: " << Show(o);
      }
      if (ok) m.members.insert(pair);
      if (ok || (o.type == EV_CREATECHAT && user && o.reply == false)) open.must_chats.insert(o.chat);  // it existed
      if (unanswered) open.maybe_members.insert(pair);
      if (unanswered && o.type == EV_CREATECHAT) open.creators[o.chat].insert(o.user);
      break;
    case EV_SENGMSG:
      expect(m.members.count(pair));
      if (o.reply.value_or(true)) open.fresh.push_back({{o.chat, o.user, {o.body}}, ok});
      break;
    case EV_EDITMSG:
      expect(own && msg->second.sender == o.user && m.members.count(pair));
      if (ok) msg->second.bodies = {o.body};
      if (unanswered && own) msg->second.bodies.insert(o.body);
      break;
    case EV_DELETEMSG:
      expect(own && msg->second.sender == o.user);
      if (ok) msg->second.active = false;
      if (unanswered && own) msg->second.maybe_deleted = true;
      break;
    default:
      expect(user && own && m.members.count({o.user, o.to}));
      if (o.reply.value_or(true) && own) open.fresh.push_back({{o.to, o.user, msg->second.bodies}, ok});
  }
}

using Fetched = std::optional<std::pair<std::string, std::string>>;
// The sender and body of each of `ids` in `chat`, fetched pipelined (nothing for a refusal); short on an error.
std::vector<Fetched> FetchAll(Peer& v, const std::string& chat, const std::vector<int64_t>& ids) {
  std::string burst;
  for (int64_t id : ids) burst += GetMsgReq(chat, id);
  std::vector<Fetched> out;
  for (bool sent = v.Send(burst); sent && out.size() < ids.size();) {
    const auto status = v.ReadFrame();
    if (!status) break;
    const auto f = status->raw == StatusFrame(EV_GETMSG, true) ? v.ReadFrame() : std::nullopt;
    BodyReader r(f ? std::string_view(f->body) : "");
    const auto sender = r.String(), body = r.String();
    out.push_back(sender && body ? Fetched({std::string(*sender), std::string(*body)}) : std::nullopt);
  }
  return out;
}

// Settles what the crash left open from the restarted server, checking it against the model.
void Verify(Peer& v, Model& m, Open& open, size_t chats, const std::string& probe) {
  for (const std::string& u : open.registered) {  // register again: "no" when it exists
    const auto r = v.Status(Register(u));
    EXPECT_TRUE(r && (open.maybe_users.count(u) || !*r == (m.users.count(u) > 0)))
        << "user " << u << (!r ? ": no answer" : *r ? " was missing" : " exists") << " after the crash";
    m.users.insert(u);
  }
  int n = 0;
  for (const Pair& p : open.touched) {  // send: "ok" when a member
    const std::string body = probe + std::to_string(n++);
    const auto r = v.Status(SendReq(p.first, p.second, body));
    EXPECT_TRUE(r && (open.maybe_members.count(p) || *r == (m.members.count(p) > 0)))
        << p.first << (!r ? ": no answer" : *r ? " is" : " is not") << " a member of " << p.second << " after the crash";
    if (r && *r) open.fresh.push_back({{p.second, p.first, {body}}, true});
    if (r && *r) m.members.insert(p);
    if (!r || !*r) m.members.erase(p);
  }
  std::set<std::string> chats_now;
  std::set<int64_t> listed;
  for (size_t c = 0; c < chats; ++c) {
    const std::string chat = "c" + std::to_string(c);
    const auto ids = v.List(chat);
    const bool must = m.chats.count(chat) || open.must_chats.count(chat);
    EXPECT_TRUE(ids ? must || open.creators.count(chat) : !must)
        << "chat " << chat << (ids ? " exists" : " is missing") << " after the crash";
    if (!ids) continue;
    chats_now.insert(chat);
    const auto& by = open.creators[chat];
    EXPECT_TRUE(m.chats.count(chat) || open.must_chats.count(chat) ||
                std::any_of(by.begin(), by.end(), [&](const std::string& u) { return m.members.count({u, chat}); }))
        << "chat " << chat << " made half-way: none of its creators is a member";
    const std::vector<Fetched> all = FetchAll(v, chat, *ids);
    ASSERT_EQ(all.size(), ids->size()) << "fetching the messages of " << chat;
    for (size_t i = 0; i < ids->size(); ++i) {
      const int64_t id = (*ids)[i];
      const Fetched& got = all[i];
      ASSERT_TRUE(got && listed.insert(id).second) << "message #" << id << " of " << chat << " listed twice, or not found";
      Msg seen{chat, got->first, {got->second}};
      if (auto it = m.msgs.find(id); it != m.msgs.end()) {  // known: the same message, body old or new
        const Msg& was = it->second;
        ASSERT_TRUE(was.chat == chat && was.sender == seen.sender && was.bodies.count(got->second) &&
                    (was.active || was.maybe_deleted))
            << "message #" << id << " of " << was.chat << " by " << was.sender << " is now '" << got->second
            << "' by " << seen.sender << " in " << chat << (was.active ? ", not '" + *was.bodies.begin() + "'" : ", though deleted");
      } else {  // new: a whole send or forward, acknowledged ones first
        auto match = [&](bool acked) {
          for (auto& f : open.fresh)
            if (f.second == acked && f.first.active && f.first.chat == chat && f.first.sender == seen.sender &&
                f.first.bodies.count(got->second))
              return !(f.first.active = false);  // seen
          return false;
        };
        ASSERT_TRUE(match(true) || match(false)) << "message #" << id << " in " << chat << " by " << seen.sender
                                                 << " '" << got->second << "' was never sent so";
      }
      m.msgs[id] = seen;
    }
  }
  for (auto& [id, msg] : m.msgs) {
    ASSERT_TRUE(listed.count(id) || !msg.active || msg.maybe_deleted)
        << "acknowledged message #" << id << " of " << msg.chat << " by " << msg.sender << " lost";
    msg.active = listed.count(id) > 0;
    msg.maybe_deleted = false;
  }
  for (const auto& [f, acked] : open.fresh)
    ASSERT_TRUE(!acked || !f.active) << "acknowledged message '" << *f.bodies.begin() << "' to " << f.chat << " lost";
  m.chats = chats_now;
}

TEST_F(Crash, KilledAtRandomUnderLoadItKeepsEveryAcknowledgedChangeWhole) {
  constexpr size_t kCycles = 20, kConns = 4;
  constexpr size_t kCap = 1200 / kSlowdown;  // requests per connection and cycle
  const char* given = std::getenv("PARLEY_CRASH_SEED");
  const uint64_t seed = given ? std::strtoull(given, nullptr, 10) : std::random_device{}();
  std::string dir = (std::filesystem::temp_directory_path() / "parley-crash-XXXXXX").string();
  ASSERT_TRUE(mkdtemp(dir.data()));
  SCOPED_TRACE("seed " + std::to_string(seed) + ", data directory " + dir);
  const std::vector<std::string> args{"--data-dir", dir, "--fsync", "always", "--snapshot-every", "64kb"};
  ASSERT_NO_FATAL_FAILURE(StartServer(args));
  std::mt19937_64 rng(seed);
  Model m;
  int snapshots = 0;  // finished before a kill
  for (size_t cycle = 0; cycle < kCycles && !HasFailure(); ++cycle) {
    std::vector<std::vector<Op>> logs(kConns);
    std::atomic<bool> stop{false};
    std::vector<std::thread> load;
    for (size_t k = 0; k < kConns; ++k)
      load.emplace_back([&, k, r = std::mt19937_64(rng())]() mutable {
        std::vector<int64_t> own;
        for (const auto& [id, msg] : m.msgs)
          if (msg.sender.rfind("u" + std::to_string(k) + ".", 0) == 0) own.push_back(id);
        Peer p;
        for (auto& log = logs[k]; !stop && log.size() < kCap && (p.connected() || p.Connect(port(), deadline));) {
          const size_t first = log.size();  // a few pipelined requests, then their replies
          std::string burst;
          for (size_t i = 0, n = 1 + r() % 4; i < n; ++i)
            burst += Request(log.emplace_back(MakeOp(r, m, own, k, cycle, log.size())));
          if (!p.Send(burst, deadline)) return;
          for (size_t i = first; i < log.size(); ++i) {
            const auto f = p.ReadFrame(deadline);
            if (!f) return;
            log[i].reply = f->raw == StatusFrame(log[i].type, true);
            if (!*log[i].reply && f->raw != StatusFrame(log[i].type, false)) return ADD_FAILURE() << "reply to " << Show(log[i]);
          }
        }
      });
    const auto kill_at = Clock::now() + std::chrono::milliseconds(50 + rng() % 250);
    if (cycle % 2) {  // a snapshot just begun, under way or done when the kill comes
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 250));
      ::kill(server().pid(), SIGUSR1);
    }
    std::this_thread::sleep_until(kill_at);
    snapshots += server().Stderr().find("journal segments removed") != std::string::npos;
    server().Stop(SIGKILL);
    stop = true;
    for (std::thread& t : load) t.join();
    ASSERT_NO_FATAL_FAILURE(StartServer(args)) << "restart after cycle " << cycle;
    Open open;
    const std::set<std::string> start_chats = m.chats;
    for (const auto& log : logs)
      for (const Op& o : log) Replay(m, start_chats, o, open);
    Peer v = Connected();
    Verify(v, m, open, 3 + cycle / 3, "p" + std::to_string(cycle) + ".");
  }
  EXPECT_GT(snapshots, 0);
  if (!HasFailure()) std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace parley::test
