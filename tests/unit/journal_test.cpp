// The journal: what is appended comes back in order after a restart; a torn
// tail is cut and reported; any other damage stops the replay, naming the
// file and offset; a second owner and a failed write change nothing.
// Durability of the store: changes made by several threads, with snapshots
// taken meanwhile, rebuild the same store; a failing disk turns changes away
// before they are made, and they resume when it recovers, nothing lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "Log.h"
#include "journal/Crc32c.h"
#include "journal/Journal.h"
#include "journal/JournalWriter.h"
#include "journal/Recovery.h"
#include "store/ResourceManager.h"

namespace parley {
namespace {

namespace fs = std::filesystem;

struct TempDir {
  fs::path path = fs::temp_directory_path() / ("parley-journal-" + std::to_string(::getpid()) + "-" +
                                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
  TempDir() { fs::remove_all(path); }
  ~TempDir() { fs::remove_all(path); }
};

using Records = std::vector<std::pair<uint64_t, std::string>>;

// Opens `dir`, replays from `from` and returns what came back.
Journal::Replayed Reopen(const fs::path& dir, Records& got, uint64_t from = 1,
                         std::unique_ptr<Journal>* keep = nullptr) {
  std::string error;
  auto j = Journal::Open(dir, error, 256);
  EXPECT_TRUE(j) << error;
  if (!j) return {};
  got.clear();
  auto r = j->Replay(from, [&](uint64_t seq, std::string_view p) { got.emplace_back(seq, std::string(p)); });
  if (keep != nullptr) *keep = std::move(j);
  return r;
}

std::vector<fs::path> Segments(const fs::path& dir) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".log") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

// Writes records 1..n (payloads "r1", "r2", ...) in batches of 3 across small segments.
void Fill(const fs::path& dir, uint64_t n) {
  std::unique_ptr<Journal> j;
  Records got;
  ASSERT_TRUE(Reopen(dir, got, 1, &j).ok);
  for (uint64_t seq = 1; seq <= n; seq += 3) {
    std::vector<std::string> batch;
    for (uint64_t s = seq; s < seq + 3 && s <= n; ++s) batch.push_back("r" + std::to_string(s));
    ASSERT_EQ(j->Append(batch, seq), seq + batch.size() - 1);
  }
  ASSERT_TRUE(j->Sync());
}

TEST(Crc32c, KnownValues) {
  EXPECT_EQ(Crc32c(""), 0u);
  EXPECT_EQ(Crc32c("123456789"), 0xe3069283u);  // the standard check value
  EXPECT_EQ(Crc32c("6789", Crc32c("12345")), Crc32c("123456789"));
}

// Every length and split of a buffer against the definition, a bit at a
// time: the word-at-a-time paths and their 4-, 2- and 1-byte tails.
TEST(Crc32c, AgreesWithTheBitwiseDefinitionAtEveryLengthAndSplit) {
  auto bitwise = [](std::string_view s) {
    uint32_t c = ~0u;
    for (char b : s) {
      c ^= static_cast<unsigned char>(b);
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82f63b78u : c >> 1;
    }
    return ~c;
  };
  std::string data;
  for (int i = 0; i < 40; ++i) data.push_back(static_cast<char>(i * 37 + 11));
  for (size_t n = 0; n <= data.size(); ++n) {
    const std::string_view s(data.data(), n);
    ASSERT_EQ(Crc32c(s), bitwise(s)) << n << " bytes";
    for (size_t k = 0; k <= n; ++k) ASSERT_EQ(Crc32c(s.substr(k), Crc32c(s.substr(0, k))), bitwise(s)) << n << " split at " << k;
  }
}

TEST(Journal, WhatIsAppendedComesBackInOrderAcrossSegments) {
  TempDir d;
  Fill(d.path, 40);
  EXPECT_GT(Segments(d.path).size(), 2u);
  Records got;
  auto r = Reopen(d.path, got);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.last_seq, 40u);
  ASSERT_EQ(got.size(), 40u);
  for (uint64_t i = 0; i < 40; ++i) EXPECT_EQ(got[i], std::make_pair(i + 1, "r" + std::to_string(i + 1)));
  r = Reopen(d.path, got, 31);
  EXPECT_EQ(got.front().first, 31u);
  EXPECT_EQ(got.size(), 10u);
}

TEST(Journal, AWriterThatIsNotAtTheEndWritesNothing) {
  TempDir d;
  Fill(d.path, 5);
  std::unique_ptr<Journal> j;
  Records got;
  ASSERT_TRUE(Reopen(d.path, got, 1, &j).ok);
  EXPECT_FALSE(j->Append({"stale"}, 5));
  EXPECT_FALSE(j->Append({"gap"}, 7));
  std::string error;
  EXPECT_FALSE(Journal::Open(d.path, error)) << "a second owner of the directory";
  EXPECT_NE(error.find("in use"), std::string::npos) << error;
  j.reset();
  ASSERT_TRUE(Reopen(d.path, got).ok);
  EXPECT_EQ(got.size(), 5u);
}

// A crash cuts the last write short (or leaves zeros): the tail is cut, the
// bytes dropped are reported, and appending goes on from the last whole record.
TEST(Journal, ATornTailIsCutAndReported) {
  struct Case {
    const char* what;
    int cut;           // bytes cut off the end (negative: that many zeros added)
    uint64_t last;     // the last record that survives
    uint64_t dropped;  // what is left of the torn record ("r40" is 19 bytes)
  } cases[] = {{"mid-payload", 1, 39, 18}, {"mid-header", 17, 39, 2}, {"zeros after the end", -40, 40, 40},
               {"whole last record", 19, 39, 0}};
  for (const Case& c : cases) {
    TempDir d;
    Fill(d.path, 40);
    const fs::path last = Segments(d.path).back();
    if (c.cut > 0) fs::resize_file(last, fs::file_size(last) - static_cast<uintmax_t>(c.cut));
    else std::ofstream(last, std::ios::app) << std::string(static_cast<size_t>(-c.cut), '\0');
    Records got;
    std::unique_ptr<Journal> j;
    auto r = Reopen(d.path, got, 1, &j);
    ASSERT_TRUE(r.ok) << c.what << ": " << r.error;
    EXPECT_EQ(r.last_seq, c.last) << c.what;
    EXPECT_EQ(r.dropped_bytes, c.dropped) << c.what;
    ASSERT_EQ(j->Append({"after"}, c.last + 1), c.last + 1) << c.what;
    j.reset();
    ASSERT_TRUE(Reopen(d.path, got).ok) << c.what;
    EXPECT_EQ(got.back(), std::make_pair(c.last + 1, std::string("after"))) << c.what;
  }
}

// Damage anywhere but the tail stops the replay, naming the file and offset.
TEST(Journal, DamageBeforeTheTailStopsTheReplay) {
  struct Case {
    const char* what;
    int segment;  // which segment (0 = first)
    long offset;  // byte to change (-1: remove the segment)
    char value;
    const char* says;
  } cases[] = {{"a payload byte", 0, 30, 'X', "checksum"},       {"a length", 0, 25, 0x7f, ""},
               {"the magic", 1, 0, 'Q', "magic"},                 {"the version", 1, 8, 2, "version 2"},
               {"a missing segment", 1, -1, 0, "missing"},         {"the last segment's first record", -1, 30, 'X', "checksum"}};
  for (const Case& c : cases) {
    TempDir d;
    Fill(d.path, 40);
    const auto segs = Segments(d.path);
    const fs::path seg = c.segment < 0 ? segs.back() : segs[static_cast<size_t>(c.segment)];
    if (c.offset < 0) {
      fs::remove(seg);
    } else {
      std::fstream f(seg, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(c.offset);
      f.put(c.value);
    }
    Records got;
    auto r = Reopen(d.path, got);
    EXPECT_FALSE(r.ok) << c.what;
    EXPECT_NE(r.error.find(c.offset < 0 ? "journal-" : seg.filename().string()), std::string::npos) << r.error;
    EXPECT_NE(r.error.find(c.says), std::string::npos) << c.what << ": " << r.error;
  }
}

// A write that fails (here: the file size limit) leaves nothing behind, and
// appending works again once the limit is lifted.
TEST(Journal, AFailedWriteLeavesNothingBehind) {
  TempDir d;
  Fill(d.path, 3);
  std::unique_ptr<Journal> j;
  Records got;
  ASSERT_TRUE(Reopen(d.path, got, 1, &j).ok);
  signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit low = old;
  low.rlim_cur = fs::file_size(Segments(d.path).back()) + 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  const auto failed = j->Append({std::string(100, 'x')}, 4);
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_FALSE(failed);
  EXPECT_EQ(j->LastSequence(), 3u);
  EXPECT_EQ(j->Append({"fits"}, 4), 4u);
  j.reset();
  ASSERT_TRUE(Reopen(d.path, got).ok);
  EXPECT_EQ(got.back(), std::make_pair(uint64_t{4}, std::string("fits")));
}

// Everything a client could observe of a store, in one string.
std::string Dump(const ResourceManager& rm) {
  std::map<std::string, std::string> chats, users;
  rm.ForEachChatThenUser(
      [&](const Chat& c) {
        std::string& d = chats[c.getName()];
        d = std::to_string(c.getNumber()) + ":";
        for (UserId u : c.getMembers()) d += " m" + std::to_string(u);
        for (size_t pos = 0, next; (next = c.storage().exportMessages(pos, 64, [&](MessageId id, UserId s,
                                                                                  std::string_view b, bool del) {
               d += " " + std::to_string(id) + (del ? "x" : "/" + std::to_string(s) + "/" + std::string(b));
             })) != pos;)
          pos = next;
      },
      [&](const User& u) { users[std::string(u.getName())] = std::to_string(u.getId()) + " " + rm.SecretOf(u.getId()).value_or("-"); });
  std::string out;
  for (const auto& [n, d] : users) out += "user " + n + "=" + d + "\n";
  for (const auto& [n, d] : chats) out += "chat " + n + " " + d + "\n";
  return out;
}

// Random requests of every kind that changes the store, through its public operations.
void Churn(ResourceManager& rm, unsigned seed, int ops) {
  std::mt19937 rng(seed);
  auto pick = [&](const char* p, int n) { return p + std::to_string(rng() % static_cast<unsigned>(n)); };
  auto some_id = [&](const std::string& chat) {
    const auto ids = rm.GetChatMsgsID(chat);
    return ids.empty() ? MessageId{0} : ids[rng() % ids.size()];
  };
  for (int i = 0; i < ops; ++i) {
    const std::string u = pick("u", 8), c = pick("c", 4), body = "b" + std::to_string(seed) + "-" + std::to_string(i);
    switch (rng() % 9) {
      case 0: rm.AddUser(u); break;
      case 8:  // accounts with secrets, and their changes (hashes are opaque text to the store)
        if (!rm.AddUserWithSecret(u, "hash-" + body))
          if (const User* who = rm.FindUser(u); who != nullptr)
            if (const auto old_hash = rm.SecretOf(who->getId())) rm.ReplaceSecret(who->getId(), *old_hash, "hash-" + body);
        break;
      case 1: rm.CreateChat(u, c); break;
      case 2: rm.JoinChat(u, c); break;
      case 3: case 4: rm.SendTextMsg(u, c, body); break;
      case 5: rm.EditTextMsg(u, c, some_id(c), body + std::string(rng() % 40, 'e')); break;
      case 6: rm.DeleteMessage(u, c, some_id(c)); break;
      default: rm.ForwardTextMsg(u, c, pick("c", 4), some_id(c)); break;
    }
  }
}

// A store recovered from `dir`, with the writer that records its changes (not started).
struct Durable {
  std::unique_ptr<ResourceManager> rm = ResourceManager::CreateStandalone();
  std::unique_ptr<JournalWriter> writer;
  explicit Durable(const fs::path& dir, FsyncPolicy policy = FsyncPolicy::kNo) {
    std::string error;
    auto j = Journal::Open(dir, error);
    EXPECT_TRUE(j) << error;
    const Recovered r = Recover(*j, dir, *rm);
    EXPECT_TRUE(r.ok) << r.error;
    writer = std::make_unique<JournalWriter>(std::move(j), *rm, JournalWriter::Config{dir, policy, 64u << 20, 0});
    rm->SetChangeSink(writer.get());
  }
  ~Durable() {
    writer->Stop();
    rm->SetChangeSink(nullptr);
  }
};

template <class F>
bool Eventually(F&& f) {
  for (int i = 0; i < 500 && !f(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return f();
}

TEST(Durability, ChangesAndSnapshotsTakenMeanwhileRebuildTheSameStore) {
  TempDir d;
  std::string expected;
  const uint64_t snapshots = Counters::Get().snapshots.load();
  for (unsigned round = 0; round < 2; ++round) {  // the second round starts from the first one's files
    Durable s(d.path);
    ASSERT_EQ(Dump(*s.rm), expected);
    s.writer->Start();
    std::atomic<bool> done{false};
    std::thread a([&] { Churn(*s.rm, round * 2 + 1, 20000); });
    std::thread b([&] {
      Churn(*s.rm, round * 2 + 2, 20000);
      done = true;
    });
    while (!done) {
      s.writer->RequestSnapshot();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    a.join();
    b.join();
    s.writer->Stop();
    expected = Dump(*s.rm);
    EXPECT_GT(s.rm->GetChatMsgCount("c1"), 100u);
  }
  EXPECT_GE(Counters::Get().snapshots.load(), snapshots + 2);
  Durable again(d.path);
  EXPECT_EQ(Dump(*again.rm), expected);
}

TEST(Durability, AFailingDiskTurnsChangesAwayAndTheyResumeWhenItRecovers) {
  // With everysec the thread that submits a batch writes its group (as the
  // network thread does), and a failed write hands the group back for the
  // writer's retries, in front of a change made while it was being written:
  // each record must still be written exactly once.
  struct Case {
    const char* what;
    Journal::Op op;
    int err;
    FsyncPolicy policy = FsyncPolicy::kAlways;
  } cases[] = {{"a write fails", Journal::Op::kWrite, EIO},
               {"a sync fails", Journal::Op::kSync, EIO},
               {"the disk is full", Journal::Op::kAllocate, ENOSPC},
               {"a submitted write fails", Journal::Op::kWrite, EIO, FsyncPolicy::kEverySec}};
  for (const Case& c : cases) {
    TempDir d;
    std::atomic<int> fail_with{0};
    std::atomic<uint64_t> durable{0};
    {
      Durable s(d.path, c.policy);
      std::atomic<bool> meanwhile{false};
      s.writer->journal().SetFaultInjector([&](Journal::Op op) {
        if (op != c.op) return 0;
        const int err = fail_with.load();
        if (err != 0 && c.policy == FsyncPolicy::kEverySec && !meanwhile.exchange(true)) {
          EXPECT_TRUE(s.rm->AddUser("meanwhile")) << c.what;
        }
        return err;
      });
      s.writer->OnDurable([&](uint64_t seq) { durable = seq; });
      s.writer->Start();
      ASSERT_TRUE(s.rm->AddUser("before")) << c.what;
      s.writer->Submit();
      fail_with = c.err;
      // Made before the failure showed: held, and written once the disk recovers.
      const bool made = s.rm->AddUser("during");
      s.writer->Submit();
      ASSERT_TRUE(Eventually([&] { return !s.writer->Accepting(); })) << c.what;
      EXPECT_FALSE(s.rm->AddUser("refused")) << c.what;
      EXPECT_FALSE(s.rm->SendTextMsg("before", "none", "x")) << c.what;
      EXPECT_TRUE(s.rm->UserExist("before")) << c.what << ": reads go on";
      const uint64_t recorded = s.writer->LastRecorded();
      if (c.op != Journal::Op::kAllocate && made) {
        EXPECT_LT(durable.load(), recorded) << c.what << ": not durable yet";
      }
      fail_with = 0;
      ASSERT_TRUE(Eventually([&] { return s.writer->Accepting() && durable.load() >= recorded; })) << c.what;
      EXPECT_TRUE(s.rm->AddUser("after")) << c.what;
      s.writer->Submit();
      EXPECT_EQ(s.rm->UserExist("during"), made) << c.what;
    }
    Durable again(d.path);
    for (const char* u : {"before", "after"}) EXPECT_TRUE(again.rm->UserExist(u)) << c.what << ": " << u;
    EXPECT_EQ(again.rm->UserExist("meanwhile"), c.policy == FsyncPolicy::kEverySec) << c.what;
    EXPECT_FALSE(again.rm->UserExist("refused")) << c.what;
  }
}

}  // namespace
}  // namespace parley
