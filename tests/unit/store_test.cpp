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
#include "store/RwLock.h"
#include "store/ResourceManager.h"

namespace parley {
namespace {


// ---- RwLock ----------------------------------------------------------------

// Readers that keep overlapping (clients listing one long chat again and
// again) must not keep a writer (a message sent to it) out for ever.
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

// ---- MessageStorage --------------------------------------------------------

std::string Body(const MessageStorage& s, MessageId id) {
  std::string out = "<none>";
  s.visitMsg(id, [&](UserId, std::string_view b) { out.assign(b); });
  return out;
}

TEST(MessageStorage, EditAndDeleteOnlyTheSendersActiveMessage) {
  MessageStorage s(3);
  auto a = *s.addTextMessage(1, "first");
  auto b = *s.addTextMessage(2, "second");
  auto empty = *s.addTextMessage(1, "");

  EXPECT_FALSE(s.editMsg(2, a, "not yours"));
  EXPECT_FALSE(s.removeMessage(2, a));
  EXPECT_EQ(Body(s, a), "first");

  EXPECT_TRUE(s.editMsg(1, a, "a much longer body than before"));  // new record, same id
  EXPECT_EQ(Body(s, a), "a much longer body than before");
  EXPECT_TRUE(s.editMsg(1, a, "short"));  // in place
  EXPECT_EQ(Body(s, a), "short");
  EXPECT_TRUE(s.editMsg(1, a, "grown again, past the shortened size"));
  EXPECT_EQ(Body(s, a), "grown again, past the shortened size");
  EXPECT_EQ(s.getMsgIds(), (std::vector<MessageId>{a, b, empty}));

  // A message with an empty body is deleted like any other.
  EXPECT_TRUE(s.removeMessage(1, empty));
  EXPECT_TRUE(s.removeMessage(1, a));
  EXPECT_EQ(s.getMsgIds(), (std::vector<MessageId>{b}));
  EXPECT_EQ(Body(s, a), "<none>");
  EXPECT_FALSE(s.removeMessage(1, a));  // twice: nothing left to delete
  EXPECT_FALSE(s.editMsg(1, a, "revive"));
  EXPECT_EQ(Body(s, b), "second");  // others keep their id and body
}

TEST(MessageStorage, GrowsAcrossChunksKeepingEveryMessage) {
  MessageStorage s(4);
  std::vector<MessageId> ids;
  const std::string body(3000, 'q');
  for (int i = 0; i < 1000; ++i) {  // ~3 MB: several arena chunks
    auto id = s.addTextMessage(static_cast<UserId>(i), body + std::to_string(i));
    ASSERT_TRUE(id);
    ids.push_back(*id);
  }
  EXPECT_EQ(s.getMsgIds(), ids);
  for (int i : {0, 1, 347, 348, 999}) EXPECT_EQ(Body(s, ids[static_cast<size_t>(i)]), body + std::to_string(i));
}

TEST(MessageStorage, ManySmallMessagesAcrossIndexBlocks) {
  MessageStorage s(5);
  constexpr int kCount = 20000;
  std::vector<MessageId> ids;
  for (int i = 0; i < kCount; ++i) ids.push_back(*s.addTextMessage(1, std::to_string(i)));
  for (int i : {0, 8191, 8192, 8193, 16384, kCount - 1}) {
    EXPECT_EQ(Body(s, ids[static_cast<size_t>(i)]), std::to_string(i)) << i;
  }
  ASSERT_TRUE(s.removeMessage(1, ids[8192]));
  auto listed = s.getMsgIds();
  ASSERT_EQ(listed.size(), static_cast<size_t>(kCount - 1));
  EXPECT_EQ(listed[8191], ids[8191]);
  EXPECT_EQ(listed[8192], ids[8193]);
}

// ---- ResourceManager under concurrent use -----------------------------------
// (Its rules, one request at a time, are tested through the protocol.)

// Threads race on one new name, one new chat and one join, round after
// round: exactly one insert wins each race, exactly one join adds the user
// (the others find it a member), and the member list holds it once.
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

// Concurrent edits of one message by its sender with readers: every read is
// one whole body; then of three concurrent deletes exactly one succeeds.
TEST(StoreRaces, EditsAreSeenWholeAndOneDeleteWins) {
  auto rm = ResourceManager::CreateStandalone();
  ASSERT_TRUE(rm->AddUser("t0"));
  ASSERT_TRUE(rm->CreateChat("t0", "hub"));
  ASSERT_TRUE(rm->SendTextMsg("t0", "hub", std::string(10, 'z')));
  const MessageId target = rm->GetChatMsgsID("hub").back();
  std::atomic<bool> torn{false};
  std::vector<std::thread> ts;
  for (int t = 0; t < 2; ++t)
    ts.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i)
        rm->EditTextMsg("t0", "hub", target, std::string(static_cast<size_t>(1 + (i * 7 + t) % 200), static_cast<char>('a' + i % 26)));
    });
  ts.emplace_back([&] {
    for (int i = 0; i < 2000; ++i)
      rm->VisitChatMsg("hub", target, [&](const MessageView& m) {
        if (m.body.empty() || m.body.find_first_not_of(m.body.front()) != std::string_view::npos) torn = true;
      });
  });
  for (auto& t : ts) t.join();
  EXPECT_FALSE(torn);
  std::atomic<int> deletes{0};
  ts.clear();
  for (int t = 0; t < 3; ++t) ts.emplace_back([&] { deletes += rm->DeleteMessage("t0", "hub", target); });
  for (auto& t : ts) t.join();
  EXPECT_EQ(deletes, 1);
  EXPECT_TRUE(rm->GetChatMsgsID("hub").empty());
}

}  // namespace
}  // namespace parley
