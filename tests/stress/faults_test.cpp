// Faults against the real server, and the limits that keep one client from
// hurting the others: each also shows on stderr and in the exit summary.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

#include "Limits.h"
#include "StressTest.h"

namespace parley::test {
namespace {

using namespace parley::wire;
class Faults : public StressTest {};
const std::string kRegistered = StatusFrame(EV_REGISTER, true);

// The value of "<what> N" in the server's exit summary line; -1 when absent.
long long SummaryCount(const std::string& err, const std::string& what) {
  const size_t at = err.rfind(what + " ");
  if (at == std::string::npos) return -1;
  const char* digits = err.c_str() + at + what.size() + 1;
  return std::isdigit(static_cast<unsigned char>(*digits)) ? std::atoll(digits) : -1;
}

// At most this many lines of one rate-limited kind may appear since `start`.
size_t RateLimitAllows(Clock::time_point start) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
  return static_cast<size_t>(kLogLinesPerSecond) * (static_cast<size_t>(seconds) + 2);
}

// Out of descriptors the server serves whom it has, says so, does not spin, and recovers.
TEST_F(Faults, DescriptorExhaustionIsSurvivedAndReported) {
  constexpr size_t kClients = 150, kLeaving = 120;
  ASSERT_TRUE(RaiseDescriptorLimit(kClients + 100));
  StartServer({}, 64);
  const auto started = Clock::now();
  Peer keeper = Connected();
  ASSERT_TRUE(Exchange(keeper, Register("fd-keeper"), kRegistered));

  std::vector<Peer> peers(kClients);
  for (size_t i = 0; i < kClients; ++i) ASSERT_TRUE(peers[i].StartConnect(port())) << "client " << i;
  ASSERT_TRUE(server().WaitStderr("accept: ", 10s * kSlowdown)) << server().Stderr();
  ASSERT_TRUE(Exchange(keeper, Register("fd-keeper2"), kRegistered, After(5s)));

  // A busy loop while it cannot accept would cost it the whole second.
  const long before = CpuTicks(server().pid());
  std::this_thread::sleep_for(1s);
  ASSERT_GE(before, 0);
  EXPECT_LT(CpuTicks(server().pid()) - before, sysconf(_SC_CLK_TCK) / 4) << "CPU ticks in one second while full";
  const size_t accepted_while_full = Count(server().Stdout(), "Accepted ");
  EXPECT_LT(accepted_while_full, 64u);

  for (size_t i = 0; i < kLeaving; ++i) peers[i].Close();
  for (size_t i = kLeaving; i < kClients; ++i) {
    ASSERT_TRUE(peers[i].FinishConnect(deadline)) << "client " << i << ": " << std::strerror(peers[i].LastError());
    ASSERT_TRUE(Exchange(peers[i], Register("fd-" + std::to_string(i)), kRegistered)) << "client " << i;
  }
  EXPECT_GT(Count(server().Stdout(), "Accepted "), accepted_while_full);
  ASSERT_TRUE(Exchange(keeper, Register("fd-keeper3"), kRegistered));

  // Full again, then everyone leaves at once.
  std::vector<Peer> more(kClients);
  for (Peer& p : more) ASSERT_TRUE(p.StartConnect(port()));
  std::this_thread::sleep_for(500ms);
  for (Peer& p : more) p.Close();
  for (size_t i = kLeaving; i < kClients; ++i) peers[i].Close();
  keeper.Close();
  Peer after = Connected();
  ASSERT_TRUE(Exchange(after, Register("fd-after"), kRegistered));

  const std::string err = StopServer();
  EXPECT_LE(Count(err, "accept: "), RateLimitAllows(started)) << "the accept failures are not rate-limited:\n" << err;
  EXPECT_GE(SummaryCount(err, "accept errors"), 1) << err;
}

// Sends `n` messages of `body` from `user` to `chat`, pipelined.
void Fill(Peer& p, const std::string& user, const std::string& chat, size_t n, const std::string& body,
          Clock::time_point deadline) {
  for (size_t done = 0, k; done < n; done += k) {
    k = std::min<size_t>(10000, n - done);
    std::string burst;
    for (size_t i = 0; i < k; ++i) burst += SendReq(user, chat, body);
    ASSERT_TRUE(p.Send(burst, deadline));
    ASSERT_FALSE(p.Expect(OksFor(burst), deadline));
  }
}

// A client that never reads is cut off at the output bound; others are answered meanwhile.
class Flood : public StressTest {
 protected:
  void Run(bool large_replies);
};
TEST_F(Flood, AClientThatNeverReadsSmallRepliesIsCutOffWhileOthersAreServed) { Run(false); }
TEST_F(Flood, AClientThatNeverReadsLargeRepliesIsCutOffWhileOthersAreServed) { Run(true); }

void Flood::Run(bool large_replies) {
  StartServer();
  Peer owner = Owner("fl-owner", "fl-chat");
  const size_t messages = large_replies ? 20000 : 1;
  Fill(owner, "fl-owner", "fl-chat", messages, std::string(large_replies ? 1 : 3000, 'f'), deadline);
  auto ids = owner.List("fl-chat", deadline);
  ASSERT_TRUE(ids && ids->size() == messages);
  const std::string request = large_replies ? GetChatReq("fl-chat") : GetMsgReq("fl-chat", ids->front());
  const long rss_before = VmKiB(server().pid(), "VmRSS");
  ASSERT_GT(rss_before, 0);

  // Another client keeps asking meanwhile, each answer due within 2 s.
  std::atomic<bool> flood_over{false};
  std::atomic<int> answered{0};
  std::thread observer([&] {
    Peer p = Connected();
    for (int n = 0; !flood_over || n < 5; ++n) {
      if (!Exchange(p, Register("fl-obs" + std::to_string(n)), kRegistered, After(2s))) return;
      ++answered;
      std::this_thread::sleep_for(20ms);
    }
  });

  // A small receive buffer, so the kernel holds little of its replies.
  Peer flooder;
  ASSERT_TRUE(flooder.Connect(port(), deadline, 4096));
  std::string chunk;
  for (int i = 0; i < 1000; ++i) chunk += request;
  bool cut_off = false;
  int sent_chunks = 0;
  for (const auto flood_deadline = After(30s); sent_chunks < 2000 && Clock::now() < flood_deadline; ++sent_chunks) {
    if (!flooder.Send(chunk, flood_deadline)) {
      cut_off = flooder.LastError() == EPIPE || flooder.LastError() == ECONNRESET;
      break;
    }
  }
  const long peak_kib = VmKiB(server().pid(), "VmHWM");
  flood_over = true;
  observer.join();

  EXPECT_TRUE(cut_off) << "the flooder was not disconnected (" << sent_chunks << " chunks sent, "
                       << std::strerror(flooder.LastError()) << ")";
  EXPECT_TRUE(server().WaitStderr("bytes of replies unread", 5s)) << server().Stderr();
  EXPECT_GE(answered.load(), 5);
  // 16 MiB of unsent replies, in a buffer that may double as it grows.
  EXPECT_LT(peak_kib - rss_before, 64 * 1024 * kMemoryFactor)
      << "resident memory grew from " << rss_before << " KiB to a peak of " << peak_kib << " KiB";

  ASSERT_TRUE(Exchange(owner, Register("fl-after"), kRegistered));  // fine afterwards
  const std::string err = StopServer();
  EXPECT_EQ(SummaryCount(err, "closed for unread output"), 1) << err;
  EXPECT_LE(Count(err, "bytes of replies unread"), 1u);
}

// A burst past the in-flight bound, ending mid-frame: reading pauses exactly
// at the bound, every whole request is answered in order, then EOF.
TEST_F(Faults, APipelinedBurstStopsExactlyAtTheInflightBoundAndIsFullyAnswered) {
  StartServer();
  constexpr int kBurst = 20000;
  static_assert(kBurst > 4 * static_cast<int>(kMaxInflight));
  // One burst usually trips the bound; a few make it certain.
  for (int round = 0; round < 5 && !server().WaitStderr("reading from it paused", 1ms); ++round) {
    Peer p = Connected();
    std::string burst, expect;
    for (int i = 0; i < kBurst; ++i) {
      const std::string name = "ip" + std::to_string(round) + "-" + std::to_string(i);
      burst += i % 2 ? Register(name) : GetChatReq(name);
      expect += StatusFrame(i % 2 ? EV_REGISTER : EV_GETCHAT, i % 2);
    }
    std::optional<std::string> why;
    std::thread reader([&] { why = p.Expect(expect, deadline); });
    const bool sent = p.Send(burst + Register("ip-never").substr(0, 10), deadline);
    p.ShutdownWrite();
    reader.join();
    ASSERT_TRUE(sent) << std::strerror(p.LastError());
    ASSERT_FALSE(why) << "round " << round << ": " << *why;
    EXPECT_TRUE(p.WaitEof(deadline));
  }
  EXPECT_TRUE(server().WaitStderr("reading from it paused", 1s)) << server().Stderr();
  const std::string err = StopServer();
  EXPECT_GE(SummaryCount(err, "read pauses"), 1) << err;
  EXPECT_EQ(SummaryCount(err, "most in flight"), static_cast<long long>(kMaxInflight)) << err;
}

// Bad length prefixes are rejected, logged at a bounded rate and counted; -1 is skipped silently.
TEST_F(Faults, OversizedFramesAreRejectedReportedAndCounted) {
  StartServer();
  const auto started = Clock::now();
  Peer p = Connected();
  ASSERT_TRUE(Exchange(p, Prefix(wire::kMaxPayload + 1) + Register("pb-a"), kRegistered));
  EXPECT_TRUE(server().WaitStdout("error read msg"));
  EXPECT_TRUE(server().WaitStderr("frame length 3201", 5s)) << server().Stderr();

  constexpr int kBad = 5000;
  std::string burst;
  for (int i = 0; i < kBad; ++i) burst += Prefix(i % 3 == 0 ? 0 : i % 3 == 1 ? -7 : wire::kMaxPayload + 1 + i) + Prefix(-1);
  ASSERT_TRUE(Exchange(p, burst + Register("pb-b"), kRegistered));
  const std::string err = StopServer();
  EXPECT_EQ(Count(server().Stdout(), "error read msg"), static_cast<size_t>(kBad + 1));
  EXPECT_LE(Count(err, "frame length "), RateLimitAllows(started)) << err;
  EXPECT_EQ(SummaryCount(err, "rejected frames"), kBad + 1) << err;
}

// Peers sending garbage or vanishing mid-frame: a good client gets exactly its own answers.
TEST_F(Faults, HostilePeersDoNotDisturbOthers) {
  StartServer();
  std::atomic<bool> hostiles_done{false};
  std::atomic<int> good_exchanges{0};
  std::thread good([&] {
    Peer p = Owner("hp-good", "hp-chat");
    for (int n = 0; !hostiles_done || n < 20; ++n) {
      const std::string body = "good " + std::to_string(n);
      if (!Exchange(p, Register("hp-good" + std::to_string(n)) + SendReq("hp-good", "hp-chat", body) + GetChatReq("hp-none"),
                    kRegistered + StatusFrame(EV_SENGMSG, true) + StatusFrame(EV_GETCHAT, false), After(10s)))
        return;
      ++good_exchanges;
    }
  });

  std::vector<Peer> idle;  // stopped mid-frame, connected until the end
  std::mutex idle_mu;
  auto hostile = [&](uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto pick = [&](uint64_t n) { return static_cast<size_t>(rng() % n); };
    auto random_bytes = [&](size_t n) {
      std::string s(n, '\0');
      for (char& c : s) c = static_cast<char>(rng());
      return s;
    };
    for (int i = 0; i < 80 && !::testing::Test::HasFailure(); ++i) {
      Peer p = Connected();
      if (!p.connected()) return;
      std::string bytes;
      switch (i % 3) {
        case 0:  // random bytes
          bytes = random_bytes(1 + pick(8192));
          break;
        case 1:  // frames of valid lengths around random payloads, type codes 0..15
          for (size_t k = 0, n = 1 + pick(20); k < n; ++k) bytes += BuildFrame(pick(16), RawBytes{random_bytes(pick(300))});
          break;
        default:  // a frame announcing more than it sends
          bytes = Prefix(static_cast<int32_t>(1 + pick(static_cast<uint64_t>(wire::kMaxPayload)))) + random_bytes(pick(64));
      }
      // The server may close on us; fine. Otherwise an orderly close, a reset, or idle to the end.
      if (!p.Send(bytes, deadline) || i % 3 != 2) continue;
      if (i % 2) {
        p.Abort();
      } else {
        std::lock_guard lk(idle_mu);
        idle.push_back(std::move(p));
      }
    }
  };
  std::thread h1(hostile, 1), h2(hostile, 2);
  h1.join();
  h2.join();
  hostiles_done = true;
  good.join();
  EXPECT_GE(good_exchanges.load(), 20);
  Peer late = Connected();
  ASSERT_TRUE(Exchange(late, Register("hp-late"), kRegistered));
  EXPECT_TRUE(server().WaitStdout("error read msg"));
  idle.clear();
}

// With stdout unread, output is dropped and counted; clients are served and SIGTERM works.
TEST_F(Faults, AStuckStandardOutputHoldsUpNobody) {
  StartServer({}, 0, /*read_stdout=*/false);
  Peer bad = Connected();
  std::string lengths;
  for (int i = 0; i < 200000; ++i) lengths += Prefix(5000);
  ASSERT_TRUE(bad.Send(lengths));
  ASSERT_TRUE(server().WaitStderr("standard output is not keeping up", 10s * kSlowdown)) << server().Stderr();
  Peer good = Connected();
  EXPECT_EQ(good.Status(Register("still-served")), true);
  const std::string err = StopServer();
  EXPECT_GE(SummaryCount(err, "standard output drops"), 1) << err;
}

// Listings past the output bound reach three readers whole, with a window of each in memory.
TEST_F(Faults, AChatTooLongToCopyIsListedWhole) {
  constexpr size_t kMessages = 2'200'000;  // 17.6 MB of ids
  StartServer();
  Peer owner = Owner("lister", "long");
  Fill(owner, "lister", "long", kMessages, "m", deadline);
  const long before_kib = VmKiB(server().pid(), "VmRSS");
  ASSERT_GT(before_kib, 0);

  std::vector<Peer> readers;
  for (int i = 0; i < 3; ++i) {
    readers.push_back(Connected());
    ASSERT_TRUE(readers.back().Send(GetChatReq("long")));
  }
  std::string head = StatusFrame(EV_GETCHAT, true) + Prefix(static_cast<int32_t>(16 + 8 * kMessages));
  PutU64(head, EV_GETCHAT);
  PutU64(head, kMessages);
  long peak_kib = before_kib;
  for (Peer& r : readers) {
    ASSERT_FALSE(r.Expect(head, deadline));
    for (size_t got = 0; got < kMessages;) {
      const size_t n = std::min<size_t>(kMessages - got, 100000);
      auto ids = r.Read(n * 8, deadline);
      ASSERT_TRUE(ids) << "after " << got << " ids";
      ASSERT_EQ(LoadU64(ids->data()) & 0xffffffffu, got) << "ids out of order";
      got += n;
      peak_kib = std::max(peak_kib, VmKiB(server().pid(), "VmRSS"));
    }
  }
  EXPECT_LT(peak_kib - before_kib, 16 * 1024 * kMemoryFactor)
      << "resident memory grew from " << before_kib << " KiB to " << peak_kib << " KiB while listing";
  EXPECT_EQ(owner.Status(SendReq("lister", "long", "after")), true);
}

// Past --max-memory growth is refused, reads answered, and a client that never reads closed.
TEST_F(Faults, TheMemoryLimitRefusesGrowthAndClosesTheLargestReader) {
  StartServer({"--max-memory", "24mb"});
  Peer owner = Owner("mem", "big");
  const std::string body(3000, 'b');
  // 16 MB of messages: under the limit.
  Fill(owner, "mem", "big", 5300, body, deadline);
  auto ids = owner.List("big", deadline);
  ASSERT_TRUE(ids && !ids->empty());

  // Its 8 MB of unread replies take the server past its limit.
  Peer hog;
  ASSERT_TRUE(hog.Connect(port(), deadline, 4096));
  std::string fetches;
  for (int i = 0; i < 4000; ++i) fetches += GetMsgReq("big", ids->front());
  hog.Send(fetches, After(20s));
  EXPECT_TRUE(server().WaitStderr("memory limit passed", 5s * kSlowdown)) << server().Stderr();
  size_t got = 0;  // what reached it before the server closed it
  const auto drain = After(20s);
  while (auto bytes = hog.Read(1, drain)) got += bytes->size();
  EXPECT_LT(Clock::now(), drain) << "the non-reading client was not closed";
  EXPECT_LT(got, 4000 * MessageFrame("mem", body).size());

  // Now grow the store past the limit: sends are refused, reads go on.
  bool refused = false;
  for (int i = 0; i < 4000 && !refused; ++i) refused = owner.Status(SendReq("mem", "big", body), deadline) == false;
  EXPECT_TRUE(refused) << "the store grew without bound";
  EXPECT_EQ(owner.Status(Register("mem-late")), false);
  auto fetched = owner.Fetch("big", ids->front(), deadline);
  ASSERT_TRUE(fetched);
  EXPECT_EQ(fetched->second, body);
  EXPECT_TRUE(owner.List("big", deadline));

  const std::string err = StopServer();
  EXPECT_GE(SummaryCount(err, "memory refusals"), 1) << err;
  EXPECT_GE(SummaryCount(err, "closed for memory"), 1) << err;
}

// An incomplete frame times out; an idle connection stays open.
TEST_F(Faults, IncompleteFramesTimeOutAndIdleConnectionsStay) {
  StartServer({"--frame-timeout", "1"});
  Peer idle = Connected();
  Peer slow = Connected();
  ASSERT_TRUE(slow.Send(Register("never-finished").substr(0, 10)));
  EXPECT_TRUE(slow.WaitEof(After(10s))) << "a frame left incomplete did not time out";
  EXPECT_TRUE(idle.Quiet(1500ms));
  EXPECT_EQ(idle.Status(Register("idle-but-alive")), true);
  const std::string err = StopServer();
  EXPECT_EQ(SummaryCount(err, "frame timeouts"), 1) << err;
  EXPECT_NE(err.find("stayed incomplete"), std::string::npos) << err;
}

// An input buffer that took 60 KB at once shrinks back around its 10-byte tail.
TEST_F(Faults, InputBuffersShrinkBackOnceDrained) {
  constexpr int kConns = 500;
  ASSERT_TRUE(RaiseDescriptorLimit(kConns + 100));
  StartServer({"--max-conns-per-ip", "0"});  // all from one address
  [[maybe_unused]] const long before_kib = VmKiB(server().pid(), "VmRSS");
  std::string skips;  // length -1: skipped without a reply
  for (int i = 0; i < 15000; ++i) skips += Prefix(-1);
  std::vector<Peer> tails;
  for (int i = 0; i < kConns; ++i) {
    tails.push_back(Connected());
    // Two bytes first, so the rest lands behind a partial frame.
    ASSERT_TRUE(tails.back().Send(skips.substr(0, 2)));
  }
  std::this_thread::sleep_for(100ms);
  for (Peer& t : tails) ASSERT_TRUE(t.Send(skips.substr(2) + Register("tail").substr(0, 10)));
  ASSERT_TRUE(tails.back().Send(Register("tail").substr(10)));  // the tail was kept: the frame completes
  ASSERT_FALSE(tails.back().Expect(StatusFrame(EV_REGISTER, true)));
  std::this_thread::sleep_for(200ms);
#if !defined(__SANITIZE_ADDRESS__)  // its quarantine keeps freed buffers resident
  const long grown_kib = VmKiB(server().pid(), "VmRSS") - before_kib;
  EXPECT_LT(grown_kib * 1024 / kConns, 8 * 1024 * kMemoryFactor) << "bytes per connection with a 10-byte tail";
#endif
}

// Connections made while the server is busy wait in its listen queue, not retrying.
TEST_F(Faults, ABurstOfConnectionsFitsTheListenQueue) {
  constexpr int kBurst = 400;
  int somaxconn = 0;
  std::ifstream("/proc/sys/net/core/somaxconn") >> somaxconn;
  if (somaxconn < kBurst) GTEST_SKIP() << "net.core.somaxconn is " << somaxconn;
  ASSERT_TRUE(RaiseDescriptorLimit(kBurst + 100));
  StartServer({"--max-conns-per-ip", "0"});  // all from one address
  ASSERT_EQ(kill(server().pid(), SIGSTOP), 0);  // busy: accepts nothing
  std::vector<Peer> peers(kBurst);
  for (Peer& p : peers) ASSERT_TRUE(p.StartConnect(port()));
  int made = 0;
  const auto soon = After(500ms);
  for (Peer& p : peers) made += p.FinishConnect(soon) ? 1 : 0;
  ASSERT_EQ(kill(server().pid(), SIGCONT), 0);
  EXPECT_EQ(made, kBurst) << "handshakes completed while the server was busy";
  for (size_t i = 0; i < peers.size(); i += 50) {
    ASSERT_TRUE(peers[i].FinishConnect());
    EXPECT_EQ(peers[i].Status(Register("q" + std::to_string(i))), true);
  }
}

}  // namespace
}  // namespace parley::test
