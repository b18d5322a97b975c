// What keeps one client from hurting the others, at the store's level.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "MemoryBudget.h"
#include "net/Framing.h"
#include "store/MessageStorage.h"
#include "store/ResourceManager.h"

namespace parley {
namespace {

// A listing shows the chat as it began, whatever changes while it is read.
TEST(Listing, IsOneViewWhateverChangesWhileItIsRead) {
  struct Case {
    const char* what;
    std::vector<size_t> deleted_before;  // positions deleted before the listing
    std::vector<size_t> deleted_during;  // positions deleted after it began
    size_t added_during;
    size_t step;
  } cases[] = {
      {"quiet chat", {}, {}, 0, 7},
      {"deletions before", {0, 5, 99}, {}, 0, 10},
      {"deletions during, behind and ahead of the cursor", {3}, {1, 50, 98, 99}, 0, 16},
      {"additions during", {}, {}, 40, 9},
      {"everything at once, one position per step", {2, 4}, {0, 60, 61}, 25, 1},
  };
  for (const Case& c : cases) {
    MessageStorage s(3);
    std::vector<MessageId> ids;
    for (int i = 0; i < 100; ++i) ids.push_back(*s.addTextMessage(1, "m" + std::to_string(i)));
    for (size_t p : c.deleted_before) ASSERT_TRUE(s.removeMessage(1, ids[p]));
    const std::vector<MessageId> want = s.getMsgIds();
    auto listing = s.startListing();
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->size(), want.size()) << c.what;
    std::vector<MessageId> got;
    listing->Next(got, 50);  // half read out, then the chat changes
    for (size_t p : c.deleted_during) ASSERT_TRUE(s.removeMessage(1, ids[p]));
    for (size_t i = 0; i < c.added_during; ++i) s.addTextMessage(2, "late");
    while (!listing->done()) listing->Next(got, c.step);
    EXPECT_EQ(got, want) << c.what;
    // A listing begun now sees the changes.
    EXPECT_EQ(s.getMsgIds().size(), want.size() - c.deleted_during.size() + c.added_during) << c.what;
  }
}

// The same, reading without the lock while another thread changes the chat.
TEST(Listing, IsOneViewWhileAnotherThreadChangesTheChat) {
  MessageStorage s(4);
  std::vector<MessageId> ids;
  for (int i = 0; i < 50000; ++i) ids.push_back(*s.addTextMessage(1, "m"));
  for (size_t p = 0; p < ids.size(); p += 3) ASSERT_TRUE(s.removeMessage(1, ids[p]));
  const std::vector<MessageId> want = s.getMsgIds();
  auto listing = s.startListing();
  std::thread writer([&] {
    for (size_t p = 1; p < ids.size(); p += 3) {
      s.removeMessage(1, ids[p]);
      s.addTextMessage(2, "new");
    }
  });
  std::vector<MessageId> got;
  while (!listing->done()) listing->Next(got, 64);
  writer.join();
  EXPECT_EQ(got, want);
}

// On a thread that may not wait, a busy lock makes an operation change
// nothing and say so; a thread that waits then succeeds.
TEST(NoWait, ABusyLockChangesNothingAndIsReported) {
  auto rm = ResourceManager::CreateStandalone();
  ASSERT_TRUE(rm->AddUser("u"));
  ASSERT_TRUE(rm->CreateChat("u", "c"));
  ASSERT_TRUE(rm->SendTextMsg("u", "c", "first"));
  const MessageId first = rm->GetChatMsgsID("c").front();

  // Another thread holds the chat's message lock (a fetch in progress).
  std::promise<void> holding, release;
  std::thread holder([&] {
    rm->VisitChatMsg("c", first, [&](const MessageView&) {
      holding.set_value();
      release.get_future().wait();
    });
  });
  holding.get_future().wait();
  {
    NoWaitScope no_wait;
    EXPECT_FALSE(rm->SendTextMsg("u", "c", "second"));
    EXPECT_TRUE(StoreWasBusy());
    EXPECT_FALSE(rm->DeleteMessage("u", "c", first));
    EXPECT_TRUE(StoreWasBusy());
  }
  {
    NoWaitScope no_wait;
    EXPECT_TRUE(rm->AddUser("v"));  // other locks are free
    EXPECT_FALSE(StoreWasBusy());
  }
  release.set_value();
  holder.join();
  EXPECT_EQ(rm->GetChatMsgsID("c"), std::vector<MessageId>{first}) << "a busy operation changed the chat";
  EXPECT_TRUE(rm->SendTextMsg("u", "c", "second"));
  EXPECT_EQ(rm->GetChatMsgsID("c").size(), 2u);
}

// Refusals use up no numbers, so the counters can never wrap onto a user or chat.
TEST(StoreLimits, NumbersNeverPassTheirLimit) {
  auto rm = ResourceManager::CreateStandalone(/*max_users=*/3, /*max_chats=*/3);
  for (const char* u : {"a", "b", "c"}) ASSERT_TRUE(rm->AddUser(u));
  for (int i = 0; i < 10000; ++i) ASSERT_FALSE(rm->AddUser("late" + std::to_string(i)));
  EXPECT_EQ(rm->UserCount(), 3u);
  // Chat numbers start at 1: two chats fit below 3.
  EXPECT_TRUE(rm->CreateChat("a", "r1"));
  EXPECT_TRUE(rm->CreateChat("b", "r2"));
  for (int i = 0; i < 10000; ++i) ASSERT_FALSE(rm->CreateChat("c", "late" + std::to_string(i)));
  // The first user and chat are still what they were.
  ASSERT_TRUE(rm->SendTextMsg("a", "r1", "hello"));
  EXPECT_FALSE(rm->SendTextMsg("c", "r1", "not a member"));
  EXPECT_EQ(rm->GetChatMembers("r1"), std::vector<std::string>{"a"});
}

// Past the memory limit growth is refused and reads go on; under it, growth resumes.
TEST(StoreLimits, TheMemoryLimitStopsGrowthNotReads) {
  auto rm = ResourceManager::CreateStandalone();
  ASSERT_TRUE(rm->AddUser("u"));
  ASSERT_TRUE(rm->AddUser("v"));
  ASSERT_TRUE(rm->CreateChat("u", "c"));
  ASSERT_TRUE(rm->SendTextMsg("u", "c", "before"));
  const MessageId id = rm->GetChatMsgsID("c").front();
  MemoryBudget& budget = MemoryBudget::Get();
  budget.SetLimit(1);  // already past it
  EXPECT_FALSE(rm->AddUser("w"));
  EXPECT_FALSE(rm->CreateChat("u", "d"));
  EXPECT_EQ(rm->JoinChat("v", "c"), JoinResult::kNoChat);
  EXPECT_FALSE(rm->SendTextMsg("u", "c", "after"));
  EXPECT_FALSE(rm->EditTextMsg("u", "c", id, "a longer body"));
  EXPECT_FALSE(rm->ForwardTextMsg("u", "c", "c", id));
  EXPECT_TRUE(rm->GetChatMsg("c", id).has_value());
  EXPECT_EQ(rm->JoinChat("u", "c"), JoinResult::kAlreadyMember);
  EXPECT_TRUE(rm->DeleteMessage("u", "c", id));  // frees, never grows
  budget.SetLimit(0);
  EXPECT_TRUE(rm->AddUser("w"));
  EXPECT_TRUE(rm->SendTextMsg("u", "c", "after"));
}

TEST(StoreLimits, ByteSizesParse) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t bytes;
  } cases[] = {
      {"1048576", true, 1u << 20}, {"512mb", true, 512ull << 20}, {"4GB", true, 4ull << 30},
      {"64k", true, 64u << 10},    {"10b", true, 10},             {"", false, 0},
      {"-1", false, 0},            {"12xb", false, 0},            {"99999999999tb", false, 0},
  };
  for (const Case& c : cases) {
    uint64_t got = 0;
    EXPECT_EQ(ParseByteSize(c.text, got), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(got, c.bytes) << c.text;
    }
  }
}

// Cutting stops at once when the sink wants no more frames, leaving the rest.
TEST(Framing, StopsExactlyWhenTheSinkIsFull) {
  struct Sink : FrameSink {
    size_t frames = 0, limit = 0;
    void OnFrame(const char*, size_t) override { ++frames; }
    void OnBadLength(int32_t) override {}
    bool Stopped() const override { return frames >= limit; }
  };
  std::string stream;
  for (int i = 0; i < 10; ++i) stream += std::string("\x02\0\0\0ab", 6);
  for (size_t limit : {0u, 1u, 7u, 10u}) {
    Sink sink;
    sink.limit = limit;
    EXPECT_EQ(CutFrames(stream.data(), stream.size(), sink), limit * 6) << limit;
    EXPECT_EQ(sink.frames, limit);
  }
}

}  // namespace
}  // namespace parley
