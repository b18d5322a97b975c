#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <future>

#include "events/EventQueue.h"
#include "events/QueueManager.h"
#include "net/Connection.h"

namespace parley {
namespace {

using namespace std::chrono_literals;

std::shared_ptr<Event> NewEvent() { return std::make_shared<Event>(); }

TEST(EventQueue, IsFirstInFirstOut) {
  EventQueue q;
  EXPECT_EQ(q.GetEvent(), nullptr);
  auto a = NewEvent(), b = NewEvent(), c = NewEvent();
  q.AddEvent(a);
  std::vector<std::shared_ptr<Event>> two{b, c};
  q.AddEvents(two);
  EXPECT_TRUE(two.empty());
  EXPECT_EQ(q.GetSize(), 3u);
  EXPECT_EQ(q.GetEvent(), a);
  std::vector<std::shared_ptr<Event>> rest;
  EXPECT_TRUE(q.GetEvents(rest));
  EXPECT_EQ(rest, (std::vector<std::shared_ptr<Event>>{b, c}));
  EXPECT_EQ(q.GetSize(), 0u);
  EXPECT_FALSE(q.GetEvents(rest));
}

TEST(EventQueue, WaitReturnsOncePerBurstOfAdditionsAndFalseOnceStopped) {
  EventQueue q;
  q.AddEvent(NewEvent());
  q.AddEvent(NewEvent());
  // Taken already, but the mark stays: the next Wait returns at once.
  std::vector<std::shared_ptr<Event>> taken;
  q.GetEvents(taken);
  EXPECT_TRUE(q.Wait());
  // Two additions gave one mark: this Wait blocks until another addition.
  auto waiter = std::async(std::launch::async, [&] { return q.Wait(); });
  EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout);
  q.AddEvent(NewEvent());
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(waiter.get());

  waiter = std::async(std::launch::async, [&] { return q.Wait(); });
  q.Stop();
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(waiter.get());
  EXPECT_FALSE(q.Wait());
}

// A manager with three queues holding the given numbers of waiting requests.
struct ThreeQueues {
  std::unique_ptr<QueueManager> qm = QueueManager::CreateStandalone();
  explicit ThreeQueues(std::array<size_t, 3> sizes) {
    for (size_t n : sizes) {
      auto q = std::make_shared<EventQueue>();
      for (size_t i = 0; i < n; ++i) q->AddEvent(NewEvent());
      qm->AddQueue(q);
    }
  }
  // Where the next request goes: the queue that grew.
  size_t Place(std::shared_ptr<Event> ev = NewEvent()) {
    std::array<size_t, 3> before{};
    for (size_t i = 0; i < 3; ++i) before[i] = qm->Queue(i)->GetSize();
    qm->AddEvent(std::move(ev));
    for (size_t i = 0; i < 3; ++i)
      if (qm->Queue(i)->GetSize() == before[i] + 1) return i;
    return 99;
  }
};

TEST(QueueManager, PicksTheLeastLoadedQueueFirstRegisteredWinningTies) {
  struct Case {
    std::array<size_t, 3> sizes;
    size_t want;
  } cases[] = {{{0, 0, 0}, 0}, {{2, 1, 1}, 1}, {{3, 2, 0}, 2}, {{1, 1, 1}, 0}, {{5, 0, 0}, 1}};
  for (const auto& c : cases) {
    ThreeQueues t(c.sizes);
    EXPECT_EQ(t.Place(), c.want) << c.sizes[0] << "," << c.sizes[1] << "," << c.sizes[2];
  }
}

// With the spread limited to the first n queues, the others get no new connection.
TEST(QueueManager, ALimitedSpreadUsesOnlyTheFirstQueues) {
  struct Case {
    size_t spread;
    std::array<size_t, 3> sizes;
    size_t want;
  } cases[] = {{1, {5, 0, 0}, 0}, {2, {5, 3, 0}, 1}, {2, {0, 3, 0}, 0}, {3, {5, 3, 0}, 2}};
  for (const auto& c : cases) {
    ThreeQueues t(c.sizes);
    t.qm->LimitSpread(c.spread);
    EXPECT_EQ(t.Place(), c.want) << "spread " << c.spread;
  }
}

TEST(QueueManager, StagingCountsStagedRequestsAsLoad) {
  ThreeQueues t({0, 0, 0});
  StagedEvents staged;
  for (int i = 0; i < 6; ++i) t.qm->Stage(NewEvent(), staged);
  ASSERT_EQ(staged.perQueue.size(), 3u);
  for (const auto& q : staged.perQueue) EXPECT_EQ(q.size(), 2u);
  EXPECT_EQ(t.qm->Queue(0)->GetSize(), 0u);  // nothing handed over yet
  t.qm->Submit(staged);
  EXPECT_TRUE(staged.empty());
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(t.qm->Queue(i)->GetSize(), 2u);
}

TEST(QueueManager, AConnectionWithRequestsInFlightKeepsItsQueue) {
  ThreeQueues t({0, 4, 4});
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  auto conn = std::make_shared<Connection>(fds[0], -1);
  auto request = [&] {
    auto ev = NewEvent();
    ev->SetConnection(conn);
    return ev;
  };
  EXPECT_EQ(t.Place(request()), 0u);  // least loaded
  // Queue 0 is now the busiest, but the connection has a request in flight.
  for (int i = 0; i < 5; ++i) t.qm->Queue(0)->AddEvent(NewEvent());
  EXPECT_EQ(t.Place(request()), 0u);
  EXPECT_EQ(conn->Inflight(), 2u);
  // Once its requests are done, it goes to the least-loaded queue again.
  conn->Deliver({}, 2);
  EXPECT_EQ(conn->Inflight(), 0u);
  EXPECT_EQ(t.Place(request()), 1u);
  close(fds[1]);
}

}  // namespace
}  // namespace parley
