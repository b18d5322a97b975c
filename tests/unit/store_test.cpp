#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <future>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/MessageStorage.h"
#include "store/NameTable.h"
#include "store/RwLock.h"
#include "store/ResourceManager.h"

namespace parley {
namespace {

// Readers that keep overlapping must not keep a writer out for ever.
TEST(RwLock, AWaitingWriterIsNotStarvedByOverlappingReaders) {
  RwLock lock;
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i)
    readers.emplace_back([&] {
      while (!stop) {
        std::shared_lock lk(lock);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto writer = std::async(std::launch::async, [&] { std::unique_lock lk(lock); });
  const bool got_in = writer.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  stop = true;
  for (auto& t : readers) t.join();
  writer.wait();
  EXPECT_TRUE(got_in) << "the writer waited while readers kept coming";
}

std::string Body(const MessageStorage& s, MessageId id) {
  std::string out = "<none>";
  s.visitMsg(id, [&](UserId, std::string_view b) { out.assign(b); });
  return out;
}

// Names whose hashes collide (all, or in their low bits only) probe past each
// other, across growth, and a name is found only under its own hash.
TEST(NameTable, FindsEveryNameThroughCollisionsAndGrowth) {
  struct Named {
    std::string name;
    const std::string& getName() const { return name; }
  };
  struct Case {
    const char* what;
    size_t (*hash)(size_t i);
  };
  const Case cases[] = {
      {"distinct hashes", [](size_t i) { return size_t{i * 0x9E3779B97F4A7C15u}; }},
      {"one hash for all", [](size_t) { return size_t{42}; }},
      {"equal low bits", [](size_t i) { return (i << 40) | 7; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NameTable<Named> table;
    const size_t n = 700;
    for (size_t i = 0; i < n; ++i) {
      const std::string name = "user" + std::to_string(i);
      ASSERT_EQ(table.Find(name, c.hash(i)), nullptr);
      table.Insert(c.hash(i), std::make_unique<Named>(Named{name}));
    }
    EXPECT_EQ(table.size(), n);
    for (size_t i = 0; i < n; ++i) {
      const std::string name = "user" + std::to_string(i);
      const Named* found = table.Find(name, c.hash(i));
      ASSERT_NE(found, nullptr) << name;
      EXPECT_EQ(found->name, name);
      EXPECT_EQ(table.Find(name, c.hash(i) + 1), nullptr);  // right name, wrong hash
    }
    EXPECT_EQ(table.Find("user" + std::to_string(n), c.hash(n)), nullptr);
    size_t seen = 0;
    table.ForEach([&](const Named*) { ++seen; });
    EXPECT_EQ(seen, n);
  }
}


// A body grown, shrunk and grown again keeps its id, its sender and its
// place, whatever the widths of the record's size and sender fields (a body
// shrunk in place past 128 bytes, a sender number past 2^7, 2^14, 2^21); a
// deleted message is gone. (Who may: Protocol.EveryKindFollowsItsRules.)
TEST(MessageStorage, EditsKeepTheIdAndDeletionsTheRest) {
  for (const UserId sender : {UserId{1}, UserId{200}, UserId{70000}, UserId{(1u << 26) - 1}}) {
    SCOPED_TRACE(sender);
    MessageStorage s(3);
    auto a = *s.addTextMessage(sender, std::string(300, 'a'));
    auto b = *s.addTextMessage(sender + 1, "second");
    for (const std::string& body : {std::string("short"), std::string(20000 % 3000, 'g'), std::string(),
                                    std::string("grown again, past the shortened size")}) {
      EXPECT_TRUE(s.editMsg(sender, a, body));
      EXPECT_EQ(Body(s, a), body);
      EXPECT_FALSE(s.editMsg(sender + 1, a, "not theirs"));
    }
    EXPECT_EQ(s.getMsgIds(), (std::vector<MessageId>{a, b}));
    EXPECT_FALSE(s.removeMessage(sender + 1, a));
    EXPECT_TRUE(s.removeMessage(sender, a));
    EXPECT_EQ(s.getMsgIds(), (std::vector<MessageId>{b}));
    EXPECT_EQ(Body(s, a), "<none>");
    EXPECT_EQ(Body(s, b), "second");
  }
}

// A message whose body outgrows its record moves to the end of the arena,
// far (over 64 KiB) from the rest of its group; it is found there, edited
// there, moved again, and brought back in order by a compaction.
TEST(MessageStorage, MessagesMovedFarAwayAreFound) {
  MessageStorage s(5);
  std::vector<MessageId> ids;
  std::vector<std::string> bodies;
  auto add = [&](const std::string& body) {
    ids.push_back(*s.addTextMessage(1, body));
    bodies.push_back(body);
  };
  for (int i = 0; i < 40; ++i) add("m" + std::to_string(i));
  for (int i = 0; i < 3000; ++i) add(std::string(400, 'f'));
  for (const size_t pos : {size_t{1}, size_t{17}, size_t{1}, size_t{3001}}) {
    bodies[pos] += std::string(100, 'x');  // longer: a new record at the end
    ASSERT_TRUE(s.editMsg(1, ids[pos], bodies[pos]));
    add("after " + std::to_string(pos));
  }
  bodies[17] = "shrunk in place";
  ASSERT_TRUE(s.editMsg(1, ids[17], bodies[17]));
  auto check = [&] {
    for (size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(Body(s, ids[i]), bodies[i]) << i;
    EXPECT_EQ(s.getMsgIds(), ids);
  };
  check();
  // Deleting most of the bodies (over 1 MiB) compacts the arena.
  const size_t before = s.bytes();
  for (size_t i = 100; i < 3000; ++i) ASSERT_TRUE(s.removeMessage(1, ids[i]));
  EXPECT_LT(s.bytes(), before);
  ids.erase(ids.begin() + 100, ids.begin() + 3000);
  bodies.erase(bodies.begin() + 100, bodies.begin() + 3000);
  check();
}

// Across arena chunks (large bodies) and index blocks (many messages) bodies
// and order are kept, also past a deletion at a boundary.
TEST(MessageStorage, GrowsAcrossChunksAndIndexBlocks) {
  struct Case {
    size_t count, pad;
    std::vector<size_t> probes;  // the last one is deleted
  } cases[] = {{1000, 3000, {0, 1, 999, 347, 348}}, {20000, 0, {0, 8191, 8193, 16384, 19999, 8192}}};
  for (const Case& c : cases) {
    MessageStorage s(4);
    const std::string pad(c.pad, 'q');
    std::vector<MessageId> ids;
    for (size_t i = 0; i < c.count; ++i) ids.push_back(*s.addTextMessage(static_cast<UserId>(i % 3), pad + std::to_string(i)));
    EXPECT_EQ(s.getMsgIds(), ids);
    for (size_t i : c.probes) EXPECT_EQ(Body(s, ids[i]), pad + std::to_string(i)) << i;
    const size_t gone = c.probes.back();
    ASSERT_TRUE(s.removeMessage(static_cast<UserId>(gone % 3), ids[gone]));
    ids.erase(ids.begin() + static_cast<std::ptrdiff_t>(gone));
    EXPECT_EQ(s.getMsgIds(), ids) << c.count;
  }
}

// The dead space edits and deletions leave is reclaimed; live messages stay intact.
TEST(MessageStorage, DeadSpaceIsReclaimed) {
  MessageStorage s(1);
  const MessageId keep = *s.addTextMessage(1, "keep me");
  const MessageId edited = *s.addTextMessage(1, "x");
  const std::string big(3000, 'b');
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(s.editMsg(1, edited, i % 2 ? "small" : big));
  std::vector<MessageId> doomed;
  for (int i = 0; i < 2000; ++i) doomed.push_back(*s.addTextMessage(2, big));
  for (MessageId id : doomed) ASSERT_TRUE(s.removeMessage(2, id));
  // 15 MB of edits and 6 MB of deleted bodies went through.
  EXPECT_LT(s.bytes(), 4u << 20);
  EXPECT_EQ(Body(s, keep), "keep me");
  EXPECT_EQ(Body(s, edited), "small");
  EXPECT_EQ(s.getMsgIds(), (std::vector<MessageId>{keep, edited}));
}

// ResourceManager under concurrent use (its rules are tested through the protocol).

// What one store's lookups found is never taken for another's: a later
// store, made where the first one was, knows only its own users, chats and
// members (names long and short, some past what the memos keep).
TEST(StoreLookups, AStoreNeverSeesAnotherStoresFinds) {
  for (const std::string& suffix : {std::string(), std::string(40, 'z')}) {
    const std::string user = "ann" + suffix, other = "bob" + suffix, chat = "room" + suffix;
    {
      auto first = ResourceManager::CreateStandalone();
      ASSERT_TRUE(first->AddUser(user));
      ASSERT_TRUE(first->CreateChat(user, chat));
      ASSERT_TRUE(first->SendTextMsg(user, chat, "hello"));  // found, and remembered
      ASSERT_TRUE(first->SendTextMsg(user, chat, "again"));
    }
    auto second = ResourceManager::CreateStandalone();
    EXPECT_FALSE(second->UserExist(user));
    EXPECT_FALSE(second->ChatExist(chat));
    EXPECT_FALSE(second->SendTextMsg(user, chat, "stale"));
    ASSERT_TRUE(second->AddUser(other));
    ASSERT_TRUE(second->AddUser(user));
    ASSERT_TRUE(second->CreateChat(other, chat));
    EXPECT_FALSE(second->SendTextMsg(user, chat, "not a member here"));
    EXPECT_EQ(second->JoinChat(user, chat), JoinResult::kJoined);
    EXPECT_TRUE(second->SendTextMsg(user, chat, "now a member"));
    EXPECT_EQ(second->GetChatMsgCount(chat), 1u);
  }
}

// Users made on several threads at once, with names short, long and longer
// than a quarter of an arena chunk, keep their names and numbers; looking
// ahead at names (PrefetchUser) while other threads grow the tables is safe.
TEST(StoreLookups, UsersKeepTheirNamesAcrossThreadsAndChunks) {
  auto store = ResourceManager::CreateStandalone();
  const size_t lengths[] = {1, 15, 16, 200, 4095, 5000};
  auto name_of = [&](int t, int i) {
    std::string n = std::to_string(t) + ":" + std::to_string(i) + ":";
    n.resize(std::max(n.size(), lengths[static_cast<size_t>(i) % std::size(lengths)]), 'x');
    return n;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        store->PrefetchUser(name_of((t + 1) % 3, i));
        ASSERT_TRUE(store->AddUser(name_of(t, i)));
      }
    });
  for (auto& th : threads) th.join();
  ASSERT_EQ(store->UserCount(), 6000u);
  for (int t = 0; t < 3; ++t)
    for (int i = 0; i < 2000; ++i) {
      const std::string n = name_of(t, i);
      const User* u = store->FindUser(n);
      ASSERT_NE(u, nullptr) << n;
      ASSERT_EQ(u->getName(), n);
      ASSERT_EQ(store->UserName(u->getId()), n);
    }
}

// Races for one new name, chat or membership have exactly one winner.
TEST(StoreRaces, CheckAndInsertHasExactlyOneWinner) {
  auto store = ResourceManager::CreateStandalone();
  constexpr int kThreads = 8;
  ASSERT_TRUE(store->AddUser("owner"));
  for (int r = 0; r < 50; ++r) {
    const std::string user = "user" + std::to_string(r), chat = "chat" + std::to_string(r);
    std::atomic<int> added{0}, created{0}, joined{0}, already{0};
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        start.arrive_and_wait();
        added += store->AddUser(user);
        start.arrive_and_wait();
        created += store->CreateChat("owner", chat);
        start.arrive_and_wait();
        const JoinResult j = store->JoinChat(user, chat);
        joined += j == JoinResult::kJoined;
        already += j == JoinResult::kAlreadyMember;
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(added, 1) << user;
    EXPECT_EQ(created, 1) << chat;
    EXPECT_EQ(joined, 1) << chat;
    EXPECT_EQ(already, kThreads - 1) << chat;
    EXPECT_EQ(store->GetChatMembers(chat), (std::vector<std::string>{"owner", user}));
  }
}

// One of concurrent deletes wins. (Edits racing reads: Concurrency.MessagesAreSeenWhole...)
TEST(StoreRaces, OneOfConcurrentDeletesWins) {
  auto rm = ResourceManager::CreateStandalone();
  ASSERT_TRUE(rm->AddUser("t0"));
  ASSERT_TRUE(rm->CreateChat("t0", "hub"));
  ASSERT_TRUE(rm->SendTextMsg("t0", "hub", "doomed"));
  const MessageId target = rm->GetChatMsgsID("hub").back();
  std::atomic<int> deletes{0};
  std::barrier start(3);
  std::vector<std::thread> ts;
  for (int t = 0; t < 3; ++t)
    ts.emplace_back([&] {
      start.arrive_and_wait();
      deletes += rm->DeleteMessage("t0", "hub", target);
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(deletes, 1);
  EXPECT_TRUE(rm->GetChatMsgsID("hub").empty());
}

}  // namespace
}  // namespace parley
