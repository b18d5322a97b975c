// parley-bench's pure parts: percentiles, reply checks, options, the mixed workload.
#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <string>
#include <vector>

#include "Fanout.h"
#include "Frames.h"
#include "Latency.h"
#include "Options.h"
#include "Workload.h"

namespace parley::bench {
namespace {

using namespace parley::wire;

TEST(Latency, NearestRankPercentilesAndTheSummary) {
  struct Case {
    uint64_t n;
    double p;
    uint64_t want;  // samples are 1..n, so the value is the rank
  };
  const Case cases[] = {
      {1, 50, 1},       {1, 99.9, 1},     {2, 50, 1},        {2, 51, 2},       {10, 50, 5},
      {10, 99, 10},     {100, 99, 99},    {100, 99.9, 100},  {1000, 99.9, 999}, {1000, 99, 990},
      {1000, 100, 1000}, {1001, 50, 501}, {100000, 99.9, 99900}, {3, 0, 1},
  };
  for (const Case& c : cases) {
    std::vector<uint64_t> v(c.n);
    std::iota(v.begin(), v.end(), 1);
    EXPECT_EQ(Percentile(v, c.p), c.want) << "n=" << c.n << " p=" << c.p;
  }
  EXPECT_EQ(Percentile({}, 50), 0u);

  // Summarize sorts, and converts to milliseconds.
  std::vector<uint64_t> ns{3'000'000, 1'000'000, 2'000'000, 4'000'000};
  LatencySummary s = Summarize(ns);
  EXPECT_EQ(s.count, 4u);
  EXPECT_DOUBLE_EQ(s.min_ms, 1.0);
  EXPECT_DOUBLE_EQ(s.max_ms, 4.0);
  EXPECT_DOUBLE_EQ(s.p50_ms, 2.0);
  EXPECT_DOUBLE_EQ(s.p99_ms, 4.0);
  EXPECT_DOUBLE_EQ(s.avg_ms, 2.5);
  std::vector<uint64_t> none;
  EXPECT_EQ(Summarize(none).count, 0u);
}

// A fixture as the set-up phase would leave it.
Fixture MakeFixture() {
  Fixture fx;
  fx.prefix = "pbtest_";
  fx.users = {"pbtest_c0", "pbtest_c1"};
  fx.send_chat = "pbtest_send";
  fx.list_chat = "pbtest_list";
  fx.body = MessageBody(64);
  for (int64_t i = 0; i < static_cast<int64_t>(kListChatSize); ++i) fx.list_ids.push_back(1000 + i);
  FinishFixture(fx);
  return fx;
}

// The body (after the type code) of a frame built by the tests' encoders.
std::string Body(const std::string& frame) { return frame.substr(kLengthSize + kWordSize); }

struct CheckCase {
  const char* what;
  Op op;
  uint64_t type;
  std::string body;
  Check want;
};

// What counts as a correct status reply, and as a correct data frame after one.
TEST(ReplyCheck, StatusAndDataFrames) {
  const std::string ok = Body(test::StatusFrame(0, true)), no = Body(test::StatusFrame(0, false));
  const CheckCase cases[] = {
      {"send ok", Op::kSend, EV_SENGMSG, ok, Check::kDone},
      {"register ok", Op::kRegister, EV_REGISTER, ok, Check::kDone},
      {"fetch ok wants data", Op::kFetch, EV_GETMSG, ok, Check::kNeedData},
      {"list ok wants data", Op::kList, EV_GETCHAT, ok, Check::kNeedData},
      {"no is wrong", Op::kSend, EV_SENGMSG, no, Check::kWrong},
      {"fetch no has no data", Op::kFetch, EV_GETMSG, no, Check::kWrong},
      {"other text is wrong", Op::kRegister, EV_REGISTER, Body(test::BuildFrame(0, "okay")), Check::kWrong},
      {"type not echoed", Op::kSend, EV_REGISTER, ok, Check::kBroken},
      {"truncated status", Op::kSend, EV_SENGMSG, ok.substr(0, 9), Check::kBroken},
      {"trailing bytes", Op::kSend, EV_SENGMSG, ok + "x", Check::kBroken},
      {"empty body", Op::kList, EV_GETCHAT, "", Check::kBroken},
  };
  for (const CheckCase& c : cases) EXPECT_EQ(CheckStatus(c.op, ReplyFrame{c.type, c.body}), c.want) << c.what;

  Fixture fx = MakeFixture();
  const std::string good_fetch = Body(test::MessageFrame("pbtest_c0", fx.body));
  std::vector<int64_t> reordered = fx.list_ids;
  std::swap(reordered[0], reordered[1]);
  const CheckCase data_cases[] = {
      {"fetch exact", Op::kFetch, EV_GETMSG, good_fetch, Check::kDone},
      {"fetch other sender", Op::kFetch, EV_GETMSG, Body(test::MessageFrame("pbtest_c1", fx.body)), Check::kWrong},
      {"fetch body one byte short", Op::kFetch, EV_GETMSG, Body(test::MessageFrame("pbtest_c0", fx.body.substr(1))),
       Check::kWrong},
      {"fetch data of wrong type", Op::kFetch, EV_GETCHAT, good_fetch, Check::kBroken},
      {"list exact", Op::kList, EV_GETCHAT, Body(test::ListFrame(fx.list_ids)), Check::kDone},
      {"list of 99", Op::kList, EV_GETCHAT, Body(test::ListFrame({fx.list_ids.begin(), fx.list_ids.end() - 1})),
       Check::kWrong},
      {"list out of order", Op::kList, EV_GETCHAT, Body(test::ListFrame(reordered)), Check::kWrong},
      {"send has no data frame", Op::kSend, EV_SENGMSG, good_fetch, Check::kBroken},
  };
  for (const CheckCase& c : data_cases) EXPECT_EQ(CheckData(c.op, ReplyFrame{c.type, c.body}, fx), c.want) << c.what;
}

TEST(Requests, FramesAreWellFormedAndFitTheLimit) {
  Fixture fx = MakeFixture();
  for (Op op : {Op::kSend, Op::kFetch, Op::kList, Op::kRegister}) {
    std::string out;
    AppendRequest(out, op, fx, 1, 7);
    FrameSplit s = SplitFrame(out);
    ASSERT_TRUE(s.complete && s.ok);
    EXPECT_EQ(s.consumed, out.size());
    EXPECT_EQ(s.frame.type, TypeCode(op));
  }
  // The largest allowed body still gives a frame within the limit; one more byte does not.
  size_t max_body = MaxBodyBytes(fx.users[1].size(), fx.send_chat.size());
  fx.body = MessageBody(max_body);
  std::string out;
  AppendRequest(out, Op::kSend, fx, 1, 0);
  EXPECT_EQ(LoadI32(out.data()), kMaxPayload);
}

// What a fanout subscriber (or the publisher) accepts from Parley, item by item, up to the first bad one.
TEST(PushCheck, SubscriberAndPublisherStreams) {
  using test::BuildFrame, test::StatusFrame;
  using K = StreamItem::Kind;
  const std::string sub = StatusFrame(EV_SUBSCRIBE, true) + BuildFrame(EV_SUBSCRIBE, int64_t{5});
  auto ev = [](int64_t id, const char* sender = "p", uint64_t type = PUSH_MESSAGE) {
    return BuildFrame(type, "c", id, sender, "hi");
  };
  const struct { bool publisher; std::string bytes; std::vector<K> want; } cases[] = {
      {false, StatusFrame(EV_JOINCHAT, true) + sub + ev(6) + ev(9), {K::kReply, K::kSubscribed, K::kEvent, K::kEvent}},
      {false, sub + ev(8) + ev(7), {K::kSubscribed, K::kEvent, K::kBad}},  // ids must grow past the last id
      {false, sub + ev(6, "q"), {K::kSubscribed, K::kBad}},
      {false, sub + ev(6, "p", PUSH_EDIT), {K::kSubscribed, K::kBad}},
      {false, StatusFrame(EV_SUBSCRIBE, true) + ev(6), {K::kBad}},  // "ok" without the last id
      {false, StatusFrame(EV_SUBSCRIBE, false), {K::kBad}},
      {true, StatusFrame(EV_SENGMSG, true) + StatusFrame(EV_SENGMSG, false), {K::kReply, K::kBad}},
  };
  for (const auto& c : cases) {
    auto stream = ParleyPushStream("p", "c", c.publisher);
    std::copy(c.bytes.begin(), c.bytes.end(), stream->Space().begin());
    stream->Commit(c.bytes.size());
    std::vector<K> got;
    for (StreamItem i{}; got.empty() || got.back() != K::kBad;) {
      if ((i = stream->Next()).kind == K::kNeedMore) break;
      got.push_back(i.kind);
    }
    EXPECT_EQ(got, c.want) << c.bytes.size();
  }
}

TEST(Mixed, FollowsTheAdvertisedShares) {
  MixedPicker mix(12345);
  std::array<int, 4> counts{};
  constexpr int kDraws = 100000;
  for (int i = 0; i < kDraws; ++i) ++counts[static_cast<size_t>(mix.Next())];
  EXPECT_NEAR(counts[static_cast<size_t>(Op::kFetch)] / double(kDraws), 0.60, 0.01);
  EXPECT_NEAR(counts[static_cast<size_t>(Op::kList)] / double(kDraws), 0.25, 0.01);
  EXPECT_NEAR(counts[static_cast<size_t>(Op::kSend)] / double(kDraws), 0.15, 0.01);
  EXPECT_EQ(counts[static_cast<size_t>(Op::kRegister)], 0);
}

ParseResult Parse(std::vector<std::string_view> args) { return ParseOptions(args); }

TEST(Options, ParsesEveryOption) {
  ParseResult r = Parse({"--host", "localhost", "--port=9000", "-c", "8", "-n", "500", "-P", "16", "-d", "10",
                         "-t", "fanout,mixed,send", "--csv", "-q", "--threads", "2", "--subscribers", "7", "--chats",
                         "3", "--rate", "50", "--warmup", "0", "--duration", "2", "--server-pid", "42"});
  ASSERT_TRUE(r.options) << r.error;
  const Options& o = *r.options;
  EXPECT_EQ(o.host, "localhost");
  EXPECT_EQ(o.port, 9000);
  EXPECT_EQ(o.clients, 8);
  EXPECT_EQ(o.requests, 500);
  EXPECT_EQ(o.pipeline, 16);
  EXPECT_EQ(o.body_bytes, 10u);
  EXPECT_EQ(o.tests, (std::vector<TestKind>{TestKind::kSend, TestKind::kMixed, TestKind::kFanout}));  // fixed order
  EXPECT_EQ(std::tie(o.subscribers, o.chats, o.rate, o.warmup_s, o.duration_s, o.server_pid),
            std::make_tuple(7, 3, int64_t{50}, 0, 2, 42L));
  EXPECT_EQ(Parse({}).options->tests.size(), 5u);  // the push tests run only when named
  EXPECT_TRUE(o.csv && o.quiet);
  EXPECT_EQ(o.threads, 2);
  ParseResult capped = Parse({"-c", "3", "--threads", "8"});  // never more threads than clients
  ASSERT_TRUE(capped.options) << capped.error;
  EXPECT_EQ(capped.options->threads, 3);
  ParseResult tls = Parse({"--tls", "--cacert", "ca.pem"});
  ASSERT_TRUE(tls.options) << tls.error;
  EXPECT_TRUE(tls.options->tls && tls.options->cacert == "ca.pem" && !tls.options->insecure);
}

TEST(Options, RejectsBadCommandLines) {
  const std::vector<std::vector<std::string_view>> bad = {
      {"-c", "0"},      {"-c", "x"},         {"-n", "-5"},    {"-n", "10k"},     {"--port", "70000"},
      {"-P", "0"},      {"-t", "ping"},      {"-t", ","},     {"--threads", "0"}, {"-d", "5000"},
      {"--bogus"},      {"-c"},              {"--subscribers", "0"}, {"--rate", "-1"}, {"--duration", "0"},
      {"--chats", "0"},  {"--cacert", "ca.pem"}, {"--insecure"}, {"--tls", "--insecure", "--cacert", "ca.pem"},
      {"--tls", "-t", "fanout"}, {"--tls", "--listers", "1"}, {"--port="}, {"--csv=1"}, {"-c=8"},
  };
  for (const auto& args : bad) {
    ParseResult r = Parse(args);
    EXPECT_FALSE(r.options) << args[0];
    EXPECT_FALSE(r.error.empty());
  }
  EXPECT_TRUE(Parse({"--help"}).help);
  EXPECT_TRUE(Parse({"-q", "--version"}).version);
  EXPECT_EQ(Parse({"-q", "--rate"}).error, "--rate needs a value");
}

}  // namespace
}  // namespace parley::bench
