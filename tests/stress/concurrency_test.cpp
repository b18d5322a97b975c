// The server's concurrency, against the real server over loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdlib>
#include <cstring>
#include <map>

#include "StressTest.h"

namespace parley::test {
namespace {

using namespace parley::wire;
class Concurrency : public StressTest {};

TEST_F(Concurrency, MoreThan1024SimultaneousConnectionsAreAllServed) {
  constexpr size_t kClients = 1100;
  ASSERT_TRUE(RaiseDescriptorLimit(kClients + 100))
      << "this test needs a descriptor limit (ulimit -Hn) of at least " << kClients + 100;
  StartServer({"--max-conns-per-ip", "0"});  // all from one address

  // In batches well under the listen backlog.
  std::vector<Peer> peers(kClients);
  for (size_t i = 0; i < kClients; i += 40) {
    const size_t end = std::min(kClients, i + 40);
    for (size_t j = i; j < end; ++j) ASSERT_TRUE(peers[j].StartConnect(port())) << "client " << j;
    for (size_t j = i; j < end; ++j) ASSERT_TRUE(peers[j].FinishConnect(deadline)) << "client " << j;
  }
  // Some were accepted on descriptors past 1024.
  while (Count(server().Stdout(), "Accepted ") < kClients && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  const std::string out = server().Stdout();
  ASSERT_EQ(Count(out, "Accepted "), kClients);
  int highest = 0;
  for (size_t at = out.find("Accepted "); at != std::string::npos; at = out.find("Accepted ", at + 1))
    highest = std::max(highest, std::atoi(out.c_str() + at + 9));
  EXPECT_GT(highest, 1024);

  // Each registers, joins and posts while all are open; then each reads its answers.
  const std::string setup = Register("mc-owner") + CreateChatReq("mc-owner", "mc-room");
  ASSERT_TRUE(Exchange(peers[0], setup, OksFor(setup)));
  auto requests = [](size_t i) {
    const std::string name = "mc-" + std::to_string(i);
    return Register(name) + JoinChatReq(name, "mc-room") + SendReq(name, "mc-room", "hi " + name);
  };
  for (size_t i = 1; i < kClients; ++i) ASSERT_TRUE(peers[i].Send(requests(i), deadline)) << "client " << i;
  for (size_t i = kClients - 1; i >= 1; --i) {
    auto why = peers[i].Expect(OksFor(requests(i)), deadline);
    ASSERT_FALSE(why) << "client " << i << ": " << *why;
  }
  auto ids = peers[0].List("mc-room", deadline);
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids->size(), kClients - 1);
}

// Replies to closed clients never reach the new ones given their descriptors.
TEST_F(Concurrency, RepliesForClosedConnectionsNeverReachNewOnes) {
  StartServer();
  {
    Peer owner = Owner("rr-owner", "rr-big");
    std::string sends;
    for (int i = 0; i < 100; ++i) sends += SendReq("rr-owner", "rr-big", "message " + std::to_string(i));
    ASSERT_TRUE(Exchange(owner, sends, OksFor(sends)));
  }

  std::atomic<bool> closers_done{false};
  std::thread closer([&] {
    for (int round = 0; round < 40; ++round) {
      std::string burst;
      for (int i = 0; i < 1000; ++i) {
        switch (i % 4) {
          case 0: burst += GetChatReq("rr-big"); break;  // long list replies
          case 1: burst += Register("rr-c" + std::to_string(round) + "-" + std::to_string(i)); break;
          case 2: burst += GetMsgReq("rr-big", -1); break;
          default: burst += JoinChatReq("rr-owner", "rr-big"); break;
        }
      }
      Peer p;
      if (!p.Connect(port(), deadline) || !p.Send(burst, deadline)) {
        ADD_FAILURE() << "closer round " << round << ": " << std::strerror(p.LastError());
        break;
      }
      if (round % 2) p.Abort();  // a reset
      else p.Close();            // an orderly close
    }
    closers_done = true;
  });

  std::atomic<int> sessions{0}, next_name{0};
  auto check = [&] {
    while (!closers_done || sessions < 20) {
      if (Clock::now() > deadline || ::testing::Test::HasFailure()) return;
      const std::string n = std::to_string(next_name++);
      const std::string user = "rr-u" + n, chat = "rr-k" + n, body = "rr-body-" + n;
      Peer p = Owner(user, chat);
      if (!Exchange(p, SendReq(user, chat, body), StatusFrame(EV_SENGMSG, true))) return;
      auto ids = p.List(chat, deadline);
      const bool own = ids && ids->size() == 1 &&
                       Exchange(p, GetMsgReq(chat, ids->front()), StatusFrame(EV_GETMSG, true) + MessageFrame(user, body));
      if (!own || !p.Quiet(20ms)) {
        ADD_FAILURE() << "session " << n << ": a reply that was not its own, or bytes nobody asked for";
        return;
      }
      ++sessions;
    }
  };
  std::thread checker1(check), checker2(check);
  closer.join();
  checker1.join();
  checker2.join();
  EXPECT_GE(sessions.load(), 20);
}

// Sends make(k) from every peer k at once: the number of "ok" answers (every peer must get a status).
template <class MakeRequest>
size_t OksAllAtOnce(std::vector<Peer>& peers, MakeRequest make, Clock::time_point deadline) {
  std::vector<std::optional<bool>> status(peers.size());
  std::barrier start(static_cast<std::ptrdiff_t>(peers.size()));
  std::vector<std::thread> threads;
  for (size_t k = 0; k < peers.size(); ++k) {
    threads.emplace_back([&, k, req = make(k)] {
      start.arrive_and_wait();
      status[k] = peers[k].Status(req, deadline);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::count(status.begin(), status.end(), std::nullopt), 0) << "peers without a status answer";
  return static_cast<size_t>(std::count(status.begin(), status.end(), std::optional<bool>(true)));
}

TEST_F(Concurrency, RacesForOneNameHaveExactlyOneWinner) {
  StartServer();
  constexpr size_t kPeers = 16;
  std::vector<Peer> peers;
  auto user = [](size_t k) { return "race-u" + std::to_string(k); };
  for (size_t k = 0; k < kPeers; ++k) {
    peers.push_back(Connected());
    ASSERT_EQ(peers[k].Status(Register(user(k)), deadline), true);
  }
  for (int r = 0; r < 25; ++r) {
    SCOPED_TRACE("round " + std::to_string(r));
    const std::string name = "race-name" + std::to_string(r), chat = "race-chat" + std::to_string(r);
    EXPECT_EQ(OksAllAtOnce(peers, [&](size_t) { return Register(name); }, deadline), 1u) << "registrations of one name";
    EXPECT_EQ(OksAllAtOnce(peers, [&](size_t k) { return CreateChatReq(user(k), chat); }, deadline), 1u)
        << "creations of one chat";
    // Joins of one user from everywhere: one adds it, the others find it a member.
    EXPECT_EQ(OksAllAtOnce(peers, [&](size_t) { return JoinChatReq(name, chat); }, deadline), kPeers);
    EXPECT_EQ(OksAllAtOnce(peers, [&](size_t k) { return JoinChatReq(user(k), chat); }, deadline), kPeers);
    EXPECT_EQ(OksAllAtOnce(peers, [&](size_t k) { return SendReq(user(k), chat, "from " + user(k)); }, deadline), kPeers);
    auto ids = peers[0].List(chat, deadline);
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->size(), kPeers);
    ASSERT_FALSE(HasFailure());
  }
}

TEST_F(Concurrency, ManySendersToOneChatLoseNothingAndKeepTheirOrder) {
  StartServer();
  constexpr int kSenders = 8, kMessages = 400;
  Peer reader = Owner("ms-owner", "ms-room");
  std::vector<Peer> senders;
  for (int k = 0; k < kSenders; ++k) {
    const std::string name = "ms-s" + std::to_string(k), join = Register(name) + JoinChatReq(name, "ms-room");
    senders.push_back(Connected());
    ASSERT_TRUE(Exchange(senders.back(), join, OksFor(join)));
  }

  std::barrier start(kSenders);
  std::vector<std::thread> threads;
  for (int k = 0; k < kSenders; ++k) {
    threads.emplace_back([&, k] {
      const std::string name = "ms-s" + std::to_string(k);
      std::string burst;
      for (int i = 0; i < kMessages; ++i)
        burst += SendReq(name, "ms-room", name + "#" + std::to_string(i) + std::string(static_cast<size_t>(i % 64), '.'));
      start.arrive_and_wait();
      Exchange(senders[static_cast<size_t>(k)], burst, OksFor(burst));
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_FALSE(HasFailure());

  // Each listed once, each sender's in the order sent.
  auto ids = reader.List("ms-room", deadline);
  ASSERT_TRUE(ids);
  ASSERT_EQ(ids->size(), static_cast<size_t>(kSenders * kMessages));
  std::map<std::string, int> next;  // sender -> next expected number
  for (size_t i = 0; i < ids->size(); ++i) {
    auto m = reader.Fetch("ms-room", (*ids)[i], deadline);
    ASSERT_TRUE(m) << "message " << i;
    const std::string want = m->first + "#" + std::to_string(next[m->first]++);
    ASSERT_EQ(m->second.substr(0, want.size()), want) << "message " << i << " out of order";
  }
  ASSERT_EQ(next.size(), static_cast<size_t>(kSenders));
  for (const auto& [s, n] : next) EXPECT_EQ(n, kMessages) << s;
}

// A message edited while others fetch and forward it: each fetch and copy holds one whole body.
TEST_F(Concurrency, MessagesAreSeenWholeWhileTheyAreEdited) {
  StartServer();
  const std::string bodies[] = {std::string(100, 'a'), std::string(3000, 'b'), std::string(1, 'c')};
  constexpr int kRounds = 20, kPerRound = 100;
  Peer owner = Owner("ed-owner", "ed-chat");
  const std::string setup = CreateChatReq("ed-owner", "ed-copies") + SendReq("ed-owner", "ed-chat", bodies[0]);
  ASSERT_TRUE(Exchange(owner, setup, OksFor(setup)));
  auto ids = owner.List("ed-chat", deadline);
  ASSERT_TRUE(ids && ids->size() == 1);
  const int64_t id = ids->front();
  auto is_whole = [&](const std::string& frame) {
    return std::any_of(std::begin(bodies), std::end(bodies), [&](auto& b) { return frame == MessageFrame("ed-owner", b); });
  };

  // Sends its batch `rounds` times, checking every reply.
  std::barrier start(5);  // editor, forwarder, three readers
  auto worker = [&](int rounds, auto request, uint64_t type) {
    Peer p = Connected();
    std::string batch;
    for (int i = 0; i < kPerRound; ++i) batch += request(i);
    start.arrive_and_wait();
    for (int r = 0; r < rounds && p.Send(batch, deadline); ++r) {
      for (int i = 0; i < kPerRound; ++i) {
        if (auto why = p.Expect(StatusFrame(type, true), deadline)) {
          ADD_FAILURE() << "refused or malformed: " << *why;
          return;
        }
        std::optional<Frame> f;
        if (type == EV_GETMSG && !((f = p.ReadFrame(deadline)) && is_whole(f->raw))) {
          ADD_FAILURE() << "a fetch returned a torn or foreign message";
          return;
        }
      }
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(worker, kRounds, [&](int i) { return EditReq("ed-owner", "ed-chat", id, bodies[i % 3]); }, EV_EDITMSG);
  threads.emplace_back(worker, kRounds / 4, [&](int) { return ForwardReq("ed-owner", "ed-chat", "ed-copies", id); },
                       EV_FORWARDMSG);
  for (int t = 0; t < 3; ++t) threads.emplace_back(worker, kRounds, [&](int) { return GetMsgReq("ed-chat", id); }, EV_GETMSG);
  for (auto& t : threads) t.join();
  ASSERT_FALSE(HasFailure());

  auto copies = owner.List("ed-copies", deadline);
  ASSERT_TRUE(copies);
  ASSERT_EQ(copies->size(), static_cast<size_t>(kRounds / 4 * kPerRound));
  for (int64_t c : *copies) {
    auto m = owner.Fetch("ed-copies", c, deadline);
    ASSERT_TRUE(m && is_whole(MessageFrame(m->first, m->second))) << "copy " << c << " is torn";
  }

  ASSERT_TRUE(Exchange(owner, DeleteReq("ed-owner", "ed-chat", id) + DeleteReq("ed-owner", "ed-chat", id) + GetMsgReq("ed-chat", id),
                       StatusFrame(EV_DELETEMSG, true) + StatusFrame(EV_DELETEMSG, false) + StatusFrame(EV_GETMSG, false)));
}

// A client that shuts down its writing side gets every reply (megabytes), then EOF.
TEST_F(Concurrency, HalfClosedClientsGetEveryReplyThenEndOfStream) {
  StartServer();
  const std::string body(3000, 'b');
  Peer p = Owner("hc-a", "hc-chat");
  std::string req, expect;
  for (int i = 0; i < 10; ++i) req += SendReq("hc-a", "hc-chat", body + std::to_string(i));
  ASSERT_TRUE(Exchange(p, req, OksFor(req)));
  auto ids = p.List("hc-chat", deadline);
  ASSERT_TRUE(ids && ids->size() == 10);
  req.clear();
  for (int i = 0; i < 2000; ++i) {
    const size_t k = static_cast<size_t>(i) % 10;
    req += GetMsgReq("hc-chat", (*ids)[k]);
    expect += StatusFrame(EV_GETMSG, true) + MessageFrame("hc-a", body + std::to_string(k));
  }
  ASSERT_TRUE(p.Send(req + GetChatReq("hc-chat"), deadline));
  p.ShutdownWrite();
  auto why = p.Expect(expect + StatusFrame(EV_GETCHAT, true) + ListFrame(*ids), deadline);
  ASSERT_FALSE(why) << *why;
  EXPECT_TRUE(p.WaitEof(deadline));
}

}  // namespace
}  // namespace parley::test
