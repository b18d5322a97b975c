// Stress tests of the server's concurrency, against the real server over
// loopback: many connections at once, replies of closed connections never
// reaching new ones, races for one name, many senders to one chat, and the
// half-closed connection. Each case is bounded in count and time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "StressSupport.h"
#include "protocol/Wire.h"
#include "store/ResourceManager.h"

namespace parley::stress {
namespace {

using test::CreateChatReq;
using test::GetChatReq;
using test::GetMsgReq;
using test::JoinChatReq;
using test::Register;
using test::SendReq;
namespace w = parley::wire;

class Concurrency : public StressTest {};

// The status a reply frame carries: true "ok", false "no", nothing otherwise.
std::optional<bool> StatusOf(const std::optional<test::Frame>& f, uint64_t type) {
  if (!f || f->raw.size() != 22 || f->type != type) return std::nullopt;
  if (f->raw == Status(type, true)) return true;
  if (f->raw == Status(type, false)) return false;
  return std::nullopt;
}

// Reads a list reply's data frame and returns its ids; checks the frame's bytes.
std::optional<std::vector<int64_t>> ReadIds(Peer& p, Clock::time_point deadline) {
  auto f = p.ReadFrame(deadline);
  if (!f || f->type != w::EV_GETCHAT) return std::nullopt;
  w::BodyReader r(f->body);
  auto ids = r.IdList();
  if (!ids || !r.AtEnd() || f->raw != ListFrame(*ids)) return std::nullopt;
  return ids;
}

// ---------------------------------------------------------------------------

TEST_F(Concurrency, MoreThan1024SimultaneousConnectionsAreAllServed) {
  constexpr size_t kClients = 1100;
  ASSERT_TRUE(RaiseDescriptorLimit(kClients + 100))
      << "this test needs a descriptor limit (ulimit -Hn) of at least " << kClients + 100;
  StartServer();
  const auto deadline = After(60s);

  // Connect in batches well under the listen backlog, so that no handshake
  // is dropped and retried seconds later.
  std::vector<Peer> peers(kClients);
  for (size_t i = 0; i < kClients; i += 40) {
    const size_t end = std::min(kClients, i + 40);
    for (size_t j = i; j < end; ++j) ASSERT_TRUE(peers[j].StartConnect(port())) << "client " << j;
    for (size_t j = i; j < end; ++j) ASSERT_TRUE(peers[j].FinishConnect(deadline)) << "client " << j;
  }
  // Every one was accepted, some on descriptors past 1024.
  while (Count(server().Stdout(), "Accepted ") < kClients && Clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  const std::string out = server().Stdout();
  ASSERT_EQ(Count(out, "Accepted "), kClients);
  int highest = 0;
  for (const std::string& line : LinesWith(out, "Accepted ")) highest = std::max(highest, std::atoi(line.c_str() + 9));
  EXPECT_GT(highest, 1024);

  // All of them hold their connection open while each registers, joins one
  // chat and posts to it; then every one reads its three answers.
  ASSERT_TRUE(Exchange(peers[0], Register("mc-owner") + CreateChatReq("mc-owner", "mc-room"),
                       Status(w::EV_REGISTER, true) + Status(w::EV_CREATECHAT, true), deadline));
  for (size_t i = 1; i < kClients; ++i) {
    const std::string name = "mc-" + std::to_string(i);
    ASSERT_TRUE(peers[i].Send(Register(name) + JoinChatReq(name, "mc-room") + SendReq(name, "mc-room", "hi " + name),
                              deadline))
        << "client " << i;
  }
  const std::string answers = Status(w::EV_REGISTER, true) + Status(w::EV_JOINCHAT, true) + Status(w::EV_SENGMSG, true);
  for (size_t i = kClients - 1; i >= 1; --i) {
    auto why = peers[i].Expect(answers, deadline);
    ASSERT_FALSE(why) << "client " << i << ": " << *why;
  }
  ASSERT_TRUE(peers[0].Send(GetChatReq("mc-room"), deadline));
  ASSERT_FALSE(peers[0].Expect(Status(w::EV_GETCHAT, true), deadline));
  auto ids = ReadIds(peers[0], deadline);
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids->size(), kClients - 1);
}

// ---------------------------------------------------------------------------

// Clients that send a thousand requests and close at once, over and over,
// while new clients connect (and are given the descriptor numbers just
// freed): a new client sees exactly its own replies, byte for byte.
TEST_F(Concurrency, RepliesForClosedConnectionsNeverReachNewOnes) {
  StartServer();
  const auto deadline = After(60s);
  {
    Peer owner = Connected(deadline);
    std::string setup = Register("rr-owner") + CreateChatReq("rr-owner", "rr-big");
    std::string expect = Status(w::EV_REGISTER, true) + Status(w::EV_CREATECHAT, true);
    for (int i = 0; i < 100; ++i) {
      setup += SendReq("rr-owner", "rr-big", "message " + std::to_string(i));
      expect += Status(w::EV_SENGMSG, true);
    }
    ASSERT_TRUE(Exchange(owner, setup, expect, deadline));
  }

  constexpr int kCloserRounds = 40;
  std::atomic<bool> closers_done{false};
  std::thread closer([&] {
    for (int round = 0; round < kCloserRounds; ++round) {
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

  std::atomic<int> sessions{0};
  std::atomic<int> next_name{0};
  auto check = [&] {
    while (!closers_done || sessions < 20) {
      if (Clock::now() > deadline || ::testing::Test::HasFailure()) return;
      const std::string n = std::to_string(next_name++);
      const std::string user = "rr-u" + n, chat = "rr-k" + n, body = "rr-body-" + n;
      Peer p = Connected(deadline);
      if (!p.connected()) return;
      if (!Exchange(p, Register(user), Status(w::EV_REGISTER, true), deadline)) return;
      if (!Exchange(p, CreateChatReq(user, chat), Status(w::EV_CREATECHAT, true), deadline)) return;
      if (!Exchange(p, SendReq(user, chat, body), Status(w::EV_SENGMSG, true), deadline)) return;
      if (!Exchange(p, GetChatReq(chat), Status(w::EV_GETCHAT, true), deadline)) return;
      auto ids = ReadIds(p, deadline);
      if (!ids || ids->size() != 1) {
        ADD_FAILURE() << "session " << n << ": not a one-message list";
        return;
      }
      if (!Exchange(p, GetMsgReq(chat, ids->front()), Status(w::EV_GETMSG, true) + MessageFrame(user, body), deadline))
        return;
      if (!p.Quiet(20ms)) {
        ADD_FAILURE() << "session " << n << ": bytes nobody asked for";
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

// ---------------------------------------------------------------------------

// Sends request(k) from every peer at the same moment and returns each status.
template <class MakeRequest>
std::vector<std::optional<bool>> AllAtOnce(std::vector<Peer>& peers, uint64_t type, MakeRequest make,
                                           Clock::time_point deadline) {
  std::vector<std::optional<bool>> status(peers.size());
  std::barrier start(static_cast<std::ptrdiff_t>(peers.size()));
  std::vector<std::thread> threads;
  for (size_t k = 0; k < peers.size(); ++k) {
    threads.emplace_back([&, k, req = make(k)] {
      start.arrive_and_wait();
      if (peers[k].Send(req, deadline)) status[k] = StatusOf(peers[k].ReadFrame(deadline), type);
    });
  }
  for (auto& t : threads) t.join();
  return status;
}

size_t Oks(const std::vector<std::optional<bool>>& status) {
  return static_cast<size_t>(std::count(status.begin(), status.end(), std::optional<bool>(true)));
}
size_t Answered(const std::vector<std::optional<bool>>& status) {
  return static_cast<size_t>(std::count_if(status.begin(), status.end(), [](auto s) { return s.has_value(); }));
}

TEST_F(Concurrency, RacesForOneNameHaveExactlyOneWinner) {
  StartServer();
  constexpr size_t kPeers = 16;
  constexpr int kRounds = 25;
  const auto deadline = After(60s);
  std::vector<Peer> peers;
  for (size_t k = 0; k < kPeers; ++k) {
    peers.push_back(Connected(deadline));
    ASSERT_TRUE(Exchange(peers[k], Register("race-u" + std::to_string(k)), Status(w::EV_REGISTER, true), deadline));
  }
  for (int r = 0; r < kRounds; ++r) {
    SCOPED_TRACE("round " + std::to_string(r));
    const std::string rs = std::to_string(r);

    auto reg = AllAtOnce(peers, w::EV_REGISTER, [&](size_t) { return Register("race-name" + rs); }, deadline);
    ASSERT_EQ(Answered(reg), kPeers);
    EXPECT_EQ(Oks(reg), 1u) << "registrations of one new name";

    auto create = AllAtOnce(
        peers, w::EV_CREATECHAT, [&](size_t k) { return CreateChatReq("race-u" + std::to_string(k), "race-chat" + rs); },
        deadline);
    ASSERT_EQ(Answered(create), kPeers);
    EXPECT_EQ(Oks(create), 1u) << "creations of one new chat";

    // The winner of the registration joins from every connection at once:
    // one of those joins adds it, the others find it a member; all are "ok".
    auto join_one = AllAtOnce(
        peers, w::EV_JOINCHAT, [&](size_t) { return JoinChatReq("race-name" + rs, "race-chat" + rs); }, deadline);
    ASSERT_EQ(Answered(join_one), kPeers);
    EXPECT_EQ(Oks(join_one), kPeers) << "joins of one user";

    // Everybody joins at once, then everybody posts: every join took effect.
    auto join_all = AllAtOnce(
        peers, w::EV_JOINCHAT, [&](size_t k) { return JoinChatReq("race-u" + std::to_string(k), "race-chat" + rs); },
        deadline);
    EXPECT_EQ(Oks(join_all), kPeers) << "joins of every user";
    auto post = AllAtOnce(
        peers, w::EV_SENGMSG,
        [&](size_t k) { return SendReq("race-u" + std::to_string(k), "race-chat" + rs, "from " + std::to_string(k)); },
        deadline);
    EXPECT_EQ(Oks(post), kPeers) << "posts after joining";
    ASSERT_TRUE(Exchange(peers[0], GetChatReq("race-chat" + rs), Status(w::EV_GETCHAT, true), deadline));
    auto ids = ReadIds(peers[0], deadline);
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->size(), kPeers);
  }
}

// The same races against the store itself, where the outcome of a join is
// visible: exactly one join adds the user, and the member list holds it once.
TEST(StoreRaces, ConcurrentCheckAndInsertHasExactlyOneWinner) {
  auto store = ResourceManager::CreateStandalone();
  constexpr int kThreads = 8;
  constexpr int kRounds = 50;
  ASSERT_TRUE(store->AddUser("owner"));
  for (int r = 0; r < kRounds; ++r) {
    const std::string user = "user" + std::to_string(r), chat = "chat" + std::to_string(r);
    std::atomic<int> added{0}, created{0}, joined{0}, already{0};
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        start.arrive_and_wait();
        if (store->AddUser(user)) ++added;
        start.arrive_and_wait();
        if (store->CreateChat("owner", chat)) ++created;
        start.arrive_and_wait();
        switch (store->JoinChat(user, chat)) {
          case JoinResult::kJoined: ++joined; break;
          case JoinResult::kAlreadyMember: ++already; break;
          default: break;
        }
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

// ---------------------------------------------------------------------------

TEST_F(Concurrency, ManySendersToOneChatLoseNothingAndKeepTheirOrder) {
  StartServer();
  constexpr int kSenders = 8;
  constexpr int kMessages = 400;
  const auto deadline = After(60s);
  Peer reader = Connected(deadline);
  ASSERT_TRUE(Exchange(reader, Register("ms-owner") + CreateChatReq("ms-owner", "ms-room"),
                       Status(w::EV_REGISTER, true) + Status(w::EV_CREATECHAT, true), deadline));
  std::vector<Peer> senders;
  for (int k = 0; k < kSenders; ++k) {
    const std::string name = "ms-s" + std::to_string(k);
    senders.push_back(Connected(deadline));
    ASSERT_TRUE(Exchange(senders.back(), Register(name) + JoinChatReq(name, "ms-room"),
                         Status(w::EV_REGISTER, true) + Status(w::EV_JOINCHAT, true), deadline));
  }

  // Every sender writes all its messages in one go, at the same moment.
  std::barrier start(kSenders);
  std::vector<std::thread> threads;
  for (int k = 0; k < kSenders; ++k) {
    threads.emplace_back([&, k] {
      const std::string name = "ms-s" + std::to_string(k);
      std::string burst, expect;
      for (int i = 0; i < kMessages; ++i) {
        burst += SendReq(name, "ms-room", name + "#" + std::to_string(i) + std::string(static_cast<size_t>(i % 64), '.'));
        expect += Status(w::EV_SENGMSG, true);
      }
      start.arrive_and_wait();
      Exchange(senders[static_cast<size_t>(k)], burst, expect, deadline);
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_FALSE(HasFailure());

  // Every message is listed once, and each sender's come in the order sent.
  ASSERT_TRUE(Exchange(reader, GetChatReq("ms-room"), Status(w::EV_GETCHAT, true), deadline));
  auto ids = ReadIds(reader, deadline);
  ASSERT_TRUE(ids);
  ASSERT_EQ(ids->size(), static_cast<size_t>(kSenders * kMessages));
  std::string fetches;
  for (int64_t id : *ids) fetches += GetMsgReq("ms-room", id);
  ASSERT_TRUE(reader.Send(fetches, deadline));
  std::map<std::string, int> next;  // sender -> next expected number
  for (size_t i = 0; i < ids->size(); ++i) {
    ASSERT_EQ(StatusOf(reader.ReadFrame(deadline), w::EV_GETMSG), true) << "message " << i;
    auto f = reader.ReadFrame(deadline);
    ASSERT_TRUE(f && f->type == w::EV_GETMSG) << "message " << i;
    w::BodyReader r(f->body);
    auto sender = r.String();
    auto body = r.String();
    ASSERT_TRUE(sender && body && r.AtEnd()) << "message " << i;
    const std::string s(*sender);
    const std::string want = s + "#" + std::to_string(next[s]);
    ASSERT_EQ(body->substr(0, want.size()), want) << "message " << i << " out of order";
    ++next[s];
  }
  ASSERT_EQ(next.size(), static_cast<size_t>(kSenders));
  for (const auto& [s, n] : next) EXPECT_EQ(n, kMessages) << s;
}

// ---------------------------------------------------------------------------

// One message edited over and over between bodies of different lengths while
// others fetch it and forward it: every fetch and every forwarded copy holds
// one whole body, never a mix of two.
TEST_F(Concurrency, MessagesAreSeenWholeWhileTheyAreEdited) {
  StartServer();
  const auto deadline = After(60s);
  const std::string bodies[] = {std::string(100, 'a'), std::string(3000, 'b'), std::string(1, 'c')};
  constexpr int kRounds = 20;
  constexpr int kPerRound = 100;

  Peer owner = Connected(deadline);
  ASSERT_TRUE(Exchange(owner,
                       Register("ed-owner") + CreateChatReq("ed-owner", "ed-chat") +
                           CreateChatReq("ed-owner", "ed-copies") + SendReq("ed-owner", "ed-chat", bodies[0]) +
                           GetChatReq("ed-chat"),
                       Status(w::EV_REGISTER, true) + Status(w::EV_CREATECHAT, true) +
                           Status(w::EV_CREATECHAT, true) + Status(w::EV_SENGMSG, true) + Status(w::EV_GETCHAT, true),
                       deadline));
  auto ids = ReadIds(owner, deadline);
  ASSERT_TRUE(ids && ids->size() == 1);
  const int64_t id = ids->front();

  auto is_whole = [&](const std::string& frame) {
    for (const auto& b : bodies)
      if (frame == MessageFrame("ed-owner", b)) return true;
    return false;
  };

  std::barrier start(5);  // editor, forwarder, three readers
  std::thread editor([&] {
    Peer p = Connected(deadline);
    start.arrive_and_wait();
    for (int r = 0; r < kRounds; ++r) {
      std::string req, expect;
      for (int i = 0; i < kPerRound; ++i) {
        req += test::EditReq("ed-owner", "ed-chat", id, bodies[static_cast<size_t>(r * kPerRound + i) % 3]);
        expect += Status(w::EV_EDITMSG, true);
      }
      if (!Exchange(p, req, expect, deadline)) return;
    }
  });
  std::thread forwarder([&] {
    Peer p = Connected(deadline);
    std::string req, expect;
    for (int i = 0; i < kPerRound; ++i) {
      req += test::ForwardReq("ed-owner", "ed-chat", "ed-copies", id);
      expect += Status(w::EV_FORWARDMSG, true);
    }
    start.arrive_and_wait();
    for (int r = 0; r < kRounds / 4; ++r)
      if (!Exchange(p, req, expect, deadline)) return;
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      Peer p = Connected(deadline);
      std::string req;
      for (int i = 0; i < kPerRound; ++i) req += GetMsgReq("ed-chat", id);
      start.arrive_and_wait();
      for (int r = 0; r < kRounds; ++r) {
        if (!p.Send(req, deadline)) return;
        for (int i = 0; i < kPerRound; ++i) {
          if (StatusOf(p.ReadFrame(deadline), w::EV_GETMSG) != true) {
            ADD_FAILURE() << "a fetch was refused or malformed";
            return;
          }
          auto f = p.ReadFrame(deadline);
          if (!f || !is_whole(f->raw)) {
            ADD_FAILURE() << "a fetch returned a torn or foreign message";
            return;
          }
        }
      }
    });
  }
  editor.join();
  forwarder.join();
  for (auto& t : readers) t.join();
  ASSERT_FALSE(HasFailure());

  // Every forwarded copy is one whole body too.
  ASSERT_TRUE(Exchange(owner, GetChatReq("ed-copies"), Status(w::EV_GETCHAT, true), deadline));
  auto copies = ReadIds(owner, deadline);
  ASSERT_TRUE(copies);
  ASSERT_EQ(copies->size(), static_cast<size_t>(kRounds / 4 * kPerRound));
  std::string fetches;
  for (int64_t c : *copies) fetches += GetMsgReq("ed-copies", c);
  ASSERT_TRUE(owner.Send(fetches, deadline));
  for (size_t i = 0; i < copies->size(); ++i) {
    ASSERT_EQ(StatusOf(owner.ReadFrame(deadline), w::EV_GETMSG), true) << "copy " << i;
    auto f = owner.ReadFrame(deadline);
    ASSERT_TRUE(f && is_whole(f->raw)) << "copy " << i << " is torn";
  }

  // Deleted, it is gone for everyone; deleting again is refused.
  ASSERT_TRUE(Exchange(owner, test::DeleteReq("ed-owner", "ed-chat", id) + test::DeleteReq("ed-owner", "ed-chat", id) +
                                  GetMsgReq("ed-chat", id),
                       Status(w::EV_DELETEMSG, true) + Status(w::EV_DELETEMSG, false) + Status(w::EV_GETMSG, false),
                       deadline));
}

// ---------------------------------------------------------------------------

// A client that writes its requests and shuts down its writing side gets
// every reply, then the end of the stream.
TEST_F(Concurrency, HalfClosedClientsGetEveryReplyThenEndOfStream) {
  StartServer();
  const auto deadline = After(60s);

  // A few requests, the last one incomplete: it is dropped, the rest answered.
  {
    Peer p = Connected(deadline);
    const std::string partial = Register("hc-never").substr(0, 10);
    ASSERT_TRUE(p.Send(Register("hc-a") + CreateChatReq("hc-a", "hc-chat") + SendReq("hc-a", "hc-chat", "x") + partial,
                       deadline));
    p.ShutdownWrite();
    auto why = p.Expect(Status(w::EV_REGISTER, true) + Status(w::EV_CREATECHAT, true) + Status(w::EV_SENGMSG, true),
                        deadline);
    ASSERT_FALSE(why) << *why;
    EXPECT_TRUE(p.WaitEof(deadline));
  }

  // A burst past the in-flight bound, so reading pauses and resumes after
  // the client has already ended its input.
  {
    Peer p = Connected(deadline);
    std::string burst, expect;
    for (int i = 0; i < 20000; ++i) {
      burst += Register("hc-burst" + std::to_string(i));
      expect += Status(w::EV_REGISTER, true);
    }
    ASSERT_TRUE(p.Send(burst, deadline));
    p.ShutdownWrite();
    auto why = p.Expect(expect, deadline);
    ASSERT_FALSE(why) << *why;
    EXPECT_TRUE(p.WaitEof(deadline));
  }

  // Megabytes of replies, far more than the socket buffers hold: the server
  // keeps the connection open after the end of input until all are sent.
  const std::string body(3000, 'b');
  std::vector<int64_t> ids;
  {
    Peer p = Connected(deadline);
    std::string req, expect;
    for (int i = 0; i < 10; ++i) {
      req += SendReq("hc-a", "hc-chat", body + std::to_string(i));
      expect += Status(w::EV_SENGMSG, true);
    }
    ASSERT_TRUE(Exchange(p, req + GetChatReq("hc-chat"), expect + Status(w::EV_GETCHAT, true), deadline));
    auto listed = ReadIds(p, deadline);
    ASSERT_TRUE(listed && listed->size() == 11);
    ids = *listed;
  }
  Peer p = Connected(deadline);
  std::string req, expect;
  for (int i = 0; i < 2000; ++i) {
    const size_t k = 1 + static_cast<size_t>(i) % 10;
    req += GetMsgReq("hc-chat", ids[k]);
    expect += Status(w::EV_GETMSG, true) + MessageFrame("hc-a", body + std::to_string(k - 1));
  }
  req += GetChatReq("hc-chat");
  expect += Status(w::EV_GETCHAT, true) + ListFrame(ids);
  ASSERT_TRUE(p.Send(req, deadline));
  p.ShutdownWrite();
  auto why = p.Expect(expect, deadline);
  ASSERT_FALSE(why) << *why;
  EXPECT_TRUE(p.WaitEof(deadline));
}

}  // namespace
}  // namespace parley::stress
