// Push delivery against the real server: subscriptions, pushed events and
// history pages; exactly once and in order under concurrent senders and
// racing subscribers, durable before pushed, and what one subscriber can and
// cannot do to the others.
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <thread>

#include "StressTest.h"

namespace parley::test {
namespace {

std::string SubscribeReq(string_view user, string_view chat) { return BuildFrame(wire::EV_SUBSCRIBE, user, chat); }
std::string UnsubscribeReq(string_view user, string_view chat) { return BuildFrame(wire::EV_UNSUBSCRIBE, user, chat); }
std::string HistoryReq(string_view chat, int64_t after, uint64_t max) {
  return BuildFrame(wire::EV_HISTORY, chat, after, max);
}

// A pushed event or a history entry (`deleted` for entries only).
struct Item {
  uint64_t type = 0;
  int64_t id = 0;
  std::string chat, sender, body;
  bool deleted = false;
  bool operator==(const Item&) const = default;
};

// Parses `f` as a pushed event; nothing for anything else.
std::optional<Item> AsEvent(const std::optional<Frame>& f) {
  if (!f || !wire::IsPush(f->type)) return std::nullopt;
  wire::BodyReader r(f->body);
  Item e;
  e.type = f->type;
  const auto chat = r.String();
  const auto id = r.Int();
  const auto sender = f->type == wire::PUSH_MESSAGE ? r.String() : std::string_view();
  const auto body = f->type != wire::PUSH_DELETE ? r.String() : std::string_view();
  if (!chat || !id || !sender || !body || !r.AtEnd() || f->type > wire::PUSH_DELETE) return std::nullopt;
  e.chat = *chat, e.id = static_cast<int64_t>(*id), e.sender = *sender, e.body = *body;
  return e;
}

// Subscribes `p`: the last id reported; nothing after "no".
std::optional<int64_t> Subscribe(Peer& p, string_view user, string_view chat, Clock::time_point by) {
  if (p.Status(SubscribeReq(user, chat), by) != true) return std::nullopt;
  const auto f = p.ReadFrame(by);
  if (f && f->type == wire::EV_SUBSCRIBE && f->body.size() == 8) return static_cast<int64_t>(wire::LoadU64(f->body.data()));
  ADD_FAILURE() << "no last id after the subscribe reply";
  return std::nullopt;
}

// The whole chat after `after`, page by page; nothing after "no" or a malformed page.
std::optional<std::vector<Item>> HistoryAfter(Peer& p, string_view chat, int64_t after, Clock::time_point by,
                                              uint64_t page = 1000) {
  std::vector<Item> all;
  for (bool more = true; more;) {
    if (p.Status(HistoryReq(chat, after, page), by) != true) return std::nullopt;
    const auto f = p.ReadFrame(by);
    if (!f || f->type != wire::EV_HISTORY) return std::nullopt;
    wire::BodyReader r(f->body);
    const auto count = r.Int(), more_flag = r.Int();
    if (!count || !more_flag) return std::nullopt;
    for (uint64_t i = 0; i < *count; ++i) {
      const auto id = r.Int(), flags = r.Int();
      const auto sender = r.String(), body = r.String();
      if (!id || !flags || !sender || !body) return std::nullopt;
      all.push_back({wire::PUSH_MESSAGE, static_cast<int64_t>(*id), std::string(chat), std::string(*sender),
                     std::string(*body), *flags == wire::kHistoryDeleted});
      after = all.back().id;
    }
    if (!r.AtEnd() || (*count == 0 && *more_flag == 1)) return std::nullopt;
    more = *more_flag == 1;
  }
  return all;
}

// The events `p` gets until the message `last` arrives (or the connection ends).
std::vector<Item> EventsUntil(Peer& p, string_view last, Clock::time_point by) {
  std::vector<Item> got;
  while (auto e = AsEvent(p.ReadFrame(by))) {
    got.push_back(*e);
    if (e->body == last) break;
  }
  return got;
}

class Push : public StressTest, public ::testing::WithParamInterface<bool> {};

// Senders post concurrently while subscribers join at staggered moments: each
// subscriber gets exactly the messages after the last id its reply reported,
// in the chat's order, each once. With a data directory, a server killed in
// the middle of a burst still has every message it pushed.
TEST_P(Push, ConcurrentSendersAndRacingSubscribersGetEveryLaterMessageOnceInOrder) {
  const bool durable = GetParam();
  std::string dir = std::filesystem::temp_directory_path() / "parley-push-XXXXXX";
  std::vector<std::string> args;
  if (durable) {
    ASSERT_TRUE(mkdtemp(dir.data()));
    args = {"--data-dir", dir, "--fsync", "always"};
  }
  ASSERT_NO_FATAL_FAILURE(StartServer(args));
  constexpr size_t kSenders = 3, kSubscribers = 4, kEach = 300;
  Peer owner = Owner("own", "room");
  std::string setup;
  for (size_t i = 0; i < kSenders + kSubscribers; ++i)
    setup += Register("u" + std::to_string(i)) + JoinChatReq("u" + std::to_string(i), "room");
  ASSERT_TRUE(Exchange(owner, setup, OksFor(setup)));

  std::vector<std::vector<Item>> got(kSubscribers);
  std::vector<int64_t> from(kSubscribers, -2);
  std::vector<std::thread> threads;
  std::atomic<size_t> bursts{0}, subscribed{0};  // subscriber k joins once k quarters of the bursts are answered
  for (size_t k = 0; k < kSubscribers; ++k)
    threads.emplace_back([&, k] {
      Peer p = Connected();
      while (bursts < k * kSenders * kEach / 10 / kSubscribers && Clock::now() < deadline) std::this_thread::yield();
      if (auto last = Subscribe(p, "u" + std::to_string(kSenders + k), "room", deadline)) from[k] = *last;
      ++subscribed;
      got[k] = EventsUntil(p, "end", deadline);
    });
  for (size_t s = 0; s < kSenders; ++s)
    threads.emplace_back([&, s] {
      Peer p = Connected();
      for (size_t i = 0; i < kEach; i += 10) {
        std::string burst;
        for (size_t j = i; j < i + 10; ++j) burst += SendReq("u" + std::to_string(s), "room", std::to_string(s) + ":" + std::to_string(j));
        if (!Exchange(p, burst, OksFor(burst))) return;
        ++bursts;
      }
    });
  for (size_t t = kSubscribers; t < threads.size(); ++t) threads[t].join();
  while (subscribed < kSubscribers && Clock::now() < deadline) std::this_thread::yield();
  ASSERT_EQ(owner.Status(SendReq("own", "room", "end")), true);
  for (size_t k = 0; k < kSubscribers; ++k) threads[k].join();
  const auto all = HistoryAfter(owner, "room", -1, deadline, 7);  // small pages: paging is checked too
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), kSenders * kEach + 1);
  for (size_t k = 0; k < kSubscribers; ++k) {
    ASSERT_NE(from[k], -2) << "subscriber " << k << " was refused";
    std::vector<Item> want;
    for (const Item& m : *all)
      if (from[k] == -1 || m.id > from[k]) want.push_back(m);
    EXPECT_EQ(got[k], want) << "subscriber " << k << " from " << from[k];
  }
  if (!durable) return;

  // Killed in the middle of a burst: every pushed message is in the history afterwards.
  Peer watcher = Connected();
  ASSERT_TRUE(Subscribe(watcher, "u0", "room", deadline));
  std::thread blast([&] {
    Peer p = Connected();
    for (int i = 0;; ++i)
      if (!p.Send(SendReq("u1", "room", "b" + std::to_string(i)), deadline)) return;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 200));
  server().Stop(SIGKILL);
  blast.join();
  const std::vector<Item> pushed = EventsUntil(watcher, "", deadline);
  ASSERT_NO_FATAL_FAILURE(StartServer(args));
  Peer after = Connected();
  const auto kept = HistoryAfter(after, "room", all->back().id, deadline);
  ASSERT_TRUE(kept);
  ASSERT_GE(kept->size(), pushed.size());
  EXPECT_EQ(pushed, std::vector<Item>(kept->begin(), kept->begin() + static_cast<long>(pushed.size())));
  std::filesystem::remove_all(dir);
}
INSTANTIATE_TEST_SUITE_P(Modes, Push, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "WithDataDir" : "InMemory"; });

class PushRules : public StressTest {};

// Who may subscribe; events of every kind, whole between the frames of
// pipelined replies; unsubscribing; history pages and their refusals.
TEST_F(PushRules, SubscribeEventsUnsubscribeAndHistoryPages) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  Peer owner = Owner("own", "room");
  const std::string setup = Register("out") + CreateChatReq("own", "other") + SendReq("own", "other", "x") +
                            SendReq("own", "room", "first");
  ASSERT_TRUE(Exchange(owner, setup, OksFor(setup)));
  const int64_t first = owner.List("room").value().at(0);
  Peer sub = Connected();
  for (auto [user, chat, ok] : {std::tuple{"out", "room", false}, {"ghost", "room", false}, {"own", "none", false},
                                {"own", "room", true}, {"own", "room", true}})
    EXPECT_EQ(Subscribe(sub, user, chat, deadline), ok ? std::optional<int64_t>(first) : std::nullopt) << user << " " << chat;

  // The subscriber's own pipelined requests: their replies keep their order
  // and shape, and each event arrives whole somewhere among them.
  const std::string mine = SendReq("own", "room", "two") + GetChatReq("room") + EditReq("own", "room", first, "ONE") +
                           DeleteReq("own", "room", first);
  ASSERT_TRUE(sub.Send(mine));
  std::vector<Item> events;
  std::vector<Frame> replies;
  for (size_t frames = 0; frames < 8; ++frames) {
    auto f = sub.ReadFrame(deadline);
    ASSERT_TRUE(f);
    if (wire::IsPush(f->type)) events.push_back(AsEvent(f).value());
    else replies.push_back(*f);
  }
  ASSERT_EQ(replies.size(), 5u);
  EXPECT_EQ(replies[0].raw + replies[1].raw + replies[3].raw + replies[4].raw, OksFor(mine));
  const std::vector<int64_t> ids = wire::BodyReader(replies[2].body).IdList().value();
  ASSERT_EQ(ids.size(), 2u);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], (Item{wire::PUSH_MESSAGE, ids[1], "room", "own", "two"}));
  EXPECT_EQ(events[1], (Item{wire::PUSH_EDIT, first, "room", "", "ONE"}));
  EXPECT_EQ(events[2], (Item{wire::PUSH_DELETE, first, "room", "", ""}));
  ASSERT_EQ(owner.Status(ForwardReq("own", "other", "room", owner.List("other").value().at(0))), true);
  EXPECT_EQ(AsEvent(sub.ReadFrame(deadline)), (Item{wire::PUSH_MESSAGE, owner.List("room").value().back(), "room", "own", "x"}));

  EXPECT_EQ(sub.Status(UnsubscribeReq("own", "room")), true);
  EXPECT_EQ(sub.Status(UnsubscribeReq("own", "room")), false);
  EXPECT_EQ(sub.Status(UnsubscribeReq("out", "room")), false);
  ASSERT_EQ(owner.Status(SendReq("own", "room", "unheard")), true);
  EXPECT_TRUE(sub.Quiet());

  // History: deleted messages keep their place; bad starting points are refused.
  const auto all = HistoryAfter(sub, "room", -1, deadline);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 4u);
  EXPECT_EQ((*all)[0], (Item{wire::PUSH_MESSAGE, first, "room", "", "", true}));
  EXPECT_EQ((*all)[1].body, "two");
  EXPECT_EQ(HistoryAfter(sub, "room", all->back().id, deadline).value().size(), 0u);
  for (int64_t bad : {owner.List("other").value().at(0), all->back().id + 1, int64_t{-2}})
    EXPECT_EQ(sub.Status(HistoryReq("room", bad, 10)), false) << bad;
  EXPECT_EQ(sub.Status(HistoryReq("none", -1, 10)), false);
}

// A subscriber that stops reading is closed past its backlog bound; the
// others get every event and the sender every reply meanwhile.
TEST_F(PushRules, ASubscriberThatDoesNotReadIsClosedAndTheOthersKeepUp) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  Peer owner = Owner("own", "room");
  Peer stuck, reader = Connected();
  ASSERT_TRUE(stuck.Connect(port(), deadline, 4096));
  ASSERT_TRUE(Subscribe(stuck, "own", "room", deadline));
  ASSERT_TRUE(Subscribe(reader, "own", "room", deadline));
  constexpr int kMessages = 6000;  // 18 MB of events: past the 8 MiB bound and what sockets buffer
  std::vector<Item> got;
  std::thread read([&] { got = EventsUntil(reader, std::to_string(kMessages - 1) + std::string(3000, 'x'), deadline); });
  for (int i = 0; i < kMessages; i += 50) {
    std::string burst;
    for (int j = i; j < i + 50; ++j) burst += SendReq("own", "room", std::to_string(j) + std::string(3000, 'x'));
    ASSERT_TRUE(Exchange(owner, burst, OksFor(burst)));
  }
  read.join();
  EXPECT_EQ(got.size(), size_t{kMessages});
  while (stuck.ReadFrame(deadline)) {
  }
  EXPECT_FALSE(stuck.Fetch("room", got.at(0).id)) << "the stuck subscriber is still connected";
  EXPECT_TRUE(server().WaitStderr("of events and replies unread"));
  EXPECT_NE(StopServer().find("subscriber overflows 1"), std::string::npos);
}

// Connections that subscribe and close, 10,000 times: nothing of them stays
// behind (one event afterwards is handed to the one live subscriber only,
// and the server's memory does not grow with the churn).
TEST_F(PushRules, ClosingConnectionsEndsTheirSubscriptionsWithoutALeak) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  Peer owner = Owner("own", "room");
  ASSERT_EQ(owner.Status(CreateChatReq("own", "hall")), true);
  const std::string twice = SubscribeReq("own", "room") + SubscribeReq("own", "hall");
  long rss_warm = 0;
  for (int cycle = 0; cycle < 10000 && !HasFailure(); ++cycle) {
    if (cycle == 1000) rss_warm = VmKiB(server().pid(), "VmRSS");
    Peer p = Connected();
    ASSERT_TRUE(p.Send(twice));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(p.ReadFrame(deadline)) << "cycle " << cycle;
    if (cycle % 2) p.Abort();  // some go with a reset, some with an orderly close
  }
  if (kMemoryFactor == 1) {
    EXPECT_LT(VmKiB(server().pid(), "VmRSS") - rss_warm, 1024) << "KiB grown over 9,000 cycles";
  }
  Peer live = Connected();
  ASSERT_TRUE(Subscribe(live, "own", "room", deadline));
  ASSERT_EQ(owner.Status(SendReq("own", "room", "hello")), true);
  EXPECT_EQ(AsEvent(live.ReadFrame(deadline)).value().body, "hello");
  EXPECT_NE(StopServer().find("events pushed 1;"), std::string::npos);
}

}  // namespace
}  // namespace parley::test
