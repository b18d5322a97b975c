#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <chrono>
#include <future>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "store/MessageStorage.h"
#include "store/RwLock.h"
#include "store/ResourceManager.h"

namespace parley {
namespace {

using namespace std::string_literals;

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

TEST(MessageStorage, AddListFetch) {
  MessageStorage s(7);
  const std::string zeros("a\0b\0"s);
  auto a = s.addTextMessage(1, "hi");
  auto b = s.addTextMessage(2, zeros);
  auto c = s.addTextMessage(1, "");
  ASSERT_TRUE(a && b && c);
  EXPECT_NE(*a, *b);
  EXPECT_GE(*a, 0);
  EXPECT_EQ(s.getMsgIds(), (std::vector<MessageId>{*a, *b, *c}));
  EXPECT_EQ(Body(s, *a), "hi");
  EXPECT_EQ(Body(s, *b), zeros);  // zero bytes kept, full size
  EXPECT_EQ(Body(s, *c), "");
  UserId sender = 99;
  s.visitMsg(*b, [&](UserId u, std::string_view) { sender = u; });
  EXPECT_EQ(sender, 2u);
}

TEST(MessageStorage, IdsOfOtherChatsAndUnknownIdsFindNothing) {
  MessageStorage s1(1), s2(2);
  auto a = s1.addTextMessage(1, "x");
  ASSERT_TRUE(a);
  for (MessageId id : {*a + 1, MessageId{-1}, MessageId{0}, MakeMessageId(2, PositionOf(*a)),
                       MessageId{0x7fffffffffffffff}}) {
    EXPECT_EQ(Body(s1, id), "<none>") << id;
  }
  EXPECT_EQ(Body(s2, *a), "<none>");
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

// ---- ResourceManager -------------------------------------------------------

class StoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<ResourceManager> rm = ResourceManager::CreateStandalone();
  MessageId Last(const std::string& chat) {
    auto ids = rm->GetChatMsgsID(chat);
    return ids.empty() ? -1 : ids.back();
  }
};

TEST(ResourceManagerSingleton, IsOneEmptyStore) {
  ResourceManager* a = ResourceManager::GetResourceMananger();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, ResourceManager::GetResourceMananger());
}

TEST_F(StoreTest, NamesAreExactCaseSensitiveBytes) {
  EXPECT_TRUE(rm->AddUser("alice"));
  EXPECT_FALSE(rm->AddUser("alice"));
  EXPECT_TRUE(rm->AddUser("Alice"));
  EXPECT_TRUE(rm->AddUser(""));
  EXPECT_FALSE(rm->AddUser(""));
  for (const char* other : {"alic", "alice ", "ALICE", " alice"}) EXPECT_FALSE(rm->UserExist(other)) << other;
  EXPECT_EQ(rm->UserCount(), 3u);
  EXPECT_TRUE(rm->CreateChat("alice", "Room"));
  EXPECT_TRUE(rm->CreateChat("alice", "room"));
  EXPECT_FALSE(rm->ChatExist("ROOM"));
}

TEST_F(StoreTest, ChatsAndMembership) {
  ASSERT_TRUE(rm->AddUser("a"));
  ASSERT_TRUE(rm->AddUser("b"));
  EXPECT_FALSE(rm->CreateChat("ghost", "r"));  // unknown user: nothing created
  EXPECT_FALSE(rm->ChatExist("r"));
  EXPECT_TRUE(rm->CreateChat("a", "r"));
  EXPECT_FALSE(rm->CreateChat("a", "r"));  // taken, even for its creator
  EXPECT_FALSE(rm->CreateChat("b", "r"));
  EXPECT_EQ(rm->GetChatMembers("r"), (std::vector<std::string>{"a"}));

  struct Case {
    const char* user;
    const char* chat;
    JoinResult want;
  } joins[] = {
      {"a", "r", JoinResult::kAlreadyMember},
      {"b", "r", JoinResult::kJoined},
      {"b", "r", JoinResult::kAlreadyMember},
      {"ghost", "r", JoinResult::kNoUser},
      {"a", "nowhere", JoinResult::kNoChat},
  };
  for (const auto& j : joins) EXPECT_EQ(rm->JoinChat(j.user, j.chat), j.want) << j.user << "/" << j.chat;
  EXPECT_EQ(rm->GetChatMembers("r"), (std::vector<std::string>{"a", "b"}));
}

TEST_F(StoreTest, OperationsReportWhetherTheyTookEffect) {
  for (const char* u : {"owner", "member", "outsider"}) ASSERT_TRUE(rm->AddUser(u));
  ASSERT_TRUE(rm->CreateChat("owner", "r"));
  ASSERT_TRUE(rm->CreateChat("outsider", "elsewhere"));
  ASSERT_EQ(rm->JoinChat("member", "r"), JoinResult::kJoined);

  ASSERT_TRUE(rm->SendTextMsg("owner", "r", "hello"));
  const MessageId mine = Last("r");
  ASSERT_TRUE(rm->SendTextMsg("member", "r", "theirs"));
  const MessageId theirs = Last("r");
  const MessageId foreign = [&] {
    rm->SendTextMsg("outsider", "elsewhere", "far");
    return Last("elsewhere");
  }();

  struct Case {
    const char* what;
    bool got;
    bool want;
  } cases[] = {
      {"send from a non-member", rm->SendTextMsg("outsider", "r", "x"), false},
      {"send from an unknown user", rm->SendTextMsg("ghost", "r", "x"), false},
      {"send to an unknown chat", rm->SendTextMsg("owner", "nope", "x"), false},
      {"edit someone else's message", rm->EditTextMsg("owner", "r", theirs, "x"), false},
      {"edit by a non-member", rm->EditTextMsg("outsider", "r", mine, "x"), false},
      {"edit an id of another chat", rm->EditTextMsg("owner", "r", foreign, "x"), false},
      {"edit an unknown id", rm->EditTextMsg("owner", "r", mine + 100, "x"), false},
      {"edit own message", rm->EditTextMsg("owner", "r", mine, "hello!"), true},
      {"delete someone else's message", rm->DeleteMessage("owner", "r", theirs), false},
      {"delete in an unknown chat", rm->DeleteMessage("owner", "nope", mine), false},
      {"forward into a chat the user is not in", rm->ForwardTextMsg("owner", "r", "elsewhere", mine), false},
      {"forward an unknown id", rm->ForwardTextMsg("member", "r", "r", mine + 100), false},
      {"forward from an unknown chat", rm->ForwardTextMsg("member", "nope", "r", mine), false},
      {"forward by an unknown user", rm->ForwardTextMsg("ghost", "r", "r", mine), false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_EQ(rm->GetChatMsgsID("r"), (std::vector<MessageId>{mine, theirs}));
  EXPECT_EQ(rm->GetChatMsg("r", mine)->getBody(), "hello!");
  EXPECT_EQ(rm->GetChatMsg("r", theirs)->getSender(), "member");
}

TEST_F(StoreTest, ForwardCopiesAsTheForwarderWithANewId) {
  for (const char* u : {"a", "f"}) ASSERT_TRUE(rm->AddUser(u));
  ASSERT_TRUE(rm->CreateChat("a", "src"));
  ASSERT_TRUE(rm->CreateChat("f", "dst"));
  ASSERT_TRUE(rm->SendTextMsg("a", "src", "payload\0!"s));
  const MessageId orig = Last("src");

  // Reading the source needs no membership; posting into the target does.
  ASSERT_TRUE(rm->ForwardTextMsg("f", "src", "dst", orig));
  const MessageId copy = Last("dst");
  EXPECT_NE(copy, orig);
  auto m = rm->GetChatMsg("dst", copy);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->getSender(), "f");
  EXPECT_EQ(m->getBody(), "payload\0!"s);
  EXPECT_EQ(rm->GetChatMsg("src", orig)->getSender(), "a");  // source unchanged

  // Into the same chat: appended there.
  ASSERT_EQ(rm->JoinChat("f", "src"), JoinResult::kJoined);
  ASSERT_TRUE(rm->ForwardTextMsg("f", "src", "src", orig));
  EXPECT_EQ(rm->GetChatMsgsID("src").size(), 2u);

  // The forwarder may delete its copy; a deleted source cannot be forwarded.
  EXPECT_TRUE(rm->DeleteMessage("f", "dst", copy));
  EXPECT_FALSE(rm->GetChatMsg("dst", copy));
  ASSERT_TRUE(rm->DeleteMessage("a", "src", orig));
  EXPECT_FALSE(rm->ForwardTextMsg("f", "src", "dst", orig));
}

TEST_F(StoreTest, ListingsOfUnknownAndEmptyChats) {
  ASSERT_TRUE(rm->AddUser("u"));
  ASSERT_TRUE(rm->CreateChat("u", "empty"));
  std::vector<MessageId> out;
  EXPECT_FALSE(rm->GetChatMsgsID("nope", out));
  EXPECT_TRUE(rm->GetChatMsgsID("empty", out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(rm->GetChatMsg("nope", 0));
}

// Several threads race on the same names, chats and messages. Exactly one
// insert wins each race, no message is lost or reordered within its sender,
// and no reader sees a torn body (every body is one repeated letter).
TEST(StoreConcurrency, RacesHaveOneWinnerAndLoseNothing) {
  auto rm = ResourceManager::CreateStandalone();
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  constexpr int kMessages = 300;
  std::atomic<int> user_wins{0}, chat_wins{0}, joins{0};
  std::atomic<bool> torn{false};

  auto racer = [&](int t) {
    for (int r = 0; r < kRounds; ++r) {
      const std::string n = "u" + std::to_string(r);
      if (rm->AddUser(n)) ++user_wins;
      if (rm->CreateChat(n, "c" + std::to_string(r))) ++chat_wins;
      const std::string me = "t" + std::to_string(t);
      rm->AddUser(me);
      if (rm->JoinChat(me, "c" + std::to_string(r)) == JoinResult::kJoined) ++joins;
    }
  };
  {
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) ts.emplace_back(racer, t);
    for (auto& t : ts) t.join();
  }
  EXPECT_EQ(user_wins, kRounds);
  EXPECT_EQ(chat_wins, kRounds);
  EXPECT_EQ(joins, kThreads * kRounds);  // each thread's user joins each chat once

  // Senders post, editors rewrite and delete their own, readers fetch.
  ASSERT_TRUE(rm->CreateChat("t0", "hub"));
  for (int t = 1; t < kThreads; ++t) rm->JoinChat("t" + std::to_string(t), "hub");
  auto writer = [&](int t) {
    const std::string me = "t" + std::to_string(t);
    for (int i = 0; i < kMessages; ++i) {
      const char letter = static_cast<char>('a' + (i % 26));
      ASSERT_TRUE(rm->SendTextMsg(me, "hub", me + ":" + std::to_string(i) + ":" + std::string(40, letter)));
    }
  };
  auto reader = [&] {
    for (int i = 0; i < 2000; ++i) {
      auto ids = rm->GetChatMsgsID("hub");
      if (ids.empty()) continue;
      rm->VisitChatMsg("hub", ids[static_cast<size_t>(i) % ids.size()], [&](const MessageView& m) {
        const std::string_view b = m.body;
        const auto tail = b.substr(b.rfind(':') + 1);
        if (tail.find_first_not_of(tail.front()) != std::string_view::npos) torn = true;
      });
    }
  };
  {
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) ts.emplace_back(writer, t);
    ts.emplace_back(reader);
    ts.emplace_back(reader);
    for (auto& t : ts) t.join();
  }
  EXPECT_FALSE(torn);
  auto ids = rm->GetChatMsgsID("hub");
  ASSERT_EQ(ids.size(), static_cast<size_t>(kThreads * kMessages));
  std::map<std::string, int> next;
  for (MessageId id : ids) {
    auto m = rm->GetChatMsg("hub", id);
    ASSERT_TRUE(m);
    const std::string& b = m->getBody();
    const std::string who = b.substr(0, b.find(':'));
    EXPECT_EQ(who, m->getSender());
    const int seq = std::stoi(b.substr(b.find(':') + 1));
    EXPECT_EQ(seq, next[who]++) << "out of order for " << who;
  }

  // Concurrent edits and deletes of one message by its sender, with readers:
  // every read is one whole body, and exactly one delete succeeds.
  ASSERT_TRUE(rm->SendTextMsg("t0", "hub", std::string(10, 'z')));
  const MessageId target = rm->GetChatMsgsID("hub").back();
  std::atomic<int> deletes{0};
  {
    std::vector<std::thread> ts;
    for (int t = 0; t < 2; ++t)
      ts.emplace_back([&, t] {
        for (int i = 0; i < 500; ++i)
          rm->EditTextMsg("t0", "hub", target, std::string(static_cast<size_t>(1 + (i * 7 + t) % 200), static_cast<char>('a' + i % 26)));
      });
    ts.emplace_back([&] {
      for (int i = 0; i < 2000; ++i)
        rm->VisitChatMsg("hub", target, [&](const MessageView& m) {
          if (!m.body.empty() && m.body.find_first_not_of(m.body.front()) != std::string_view::npos) torn = true;
        });
    });
    for (auto& t : ts) t.join();
    std::vector<std::thread> dels;
    for (int t = 0; t < 3; ++t)
      dels.emplace_back([&] {
        if (rm->DeleteMessage("t0", "hub", target)) ++deletes;
      });
    for (auto& t : dels) t.join();
  }
  EXPECT_FALSE(torn);
  EXPECT_EQ(deletes, 1);
}

}  // namespace
}  // namespace parley
