// The metrics endpoint of the real server: its figures move by exactly the
// requests sent while other load runs, the text follows the exposition
// format (our parser and an independent one), the HTTP side refuses what it
// should and is not held up by idle clients, and `parley stats` reads it.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "StressTest.h"
#include "metrics/Exposition.h"

namespace parley::test {
namespace {

namespace fs = std::filesystem;
using namespace parley::wire;
using metrics::Exposition;

class Metrics : public StressTest {
 protected:
  Metrics() { fs::remove_all(dir); }
  ~Metrics() override { fs::remove_all(dir); }

  std::string Url(const std::string& path = "/metrics") {
    return "http://127.0.0.1:" + std::to_string(server().metrics_port()) + path;
  }
  Exposition Scrape() {
    const metrics::HttpReply r = metrics::HttpRequest(Url());
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.content_type, "text/plain; version=0.0.4; charset=utf-8");
    std::string error;
    auto e = metrics::ParseExposition(r.body, error);
    EXPECT_TRUE(e) << error << "\n" << r.body;
    last_text = r.body;
    return e.value_or(Exposition{});
  }
  double Get(const Exposition& e, const char* name, const metrics::Labels& l = {}) { return e.Value(name, l).value_or(-1); }

  const fs::path dir = fs::temp_directory_path() / Unique("parley-metrics");
  std::string last_text;
};

TEST_F(Metrics, FiguresMoveByExactlyTheRequestsSent) {
  StartServer({"--metrics-port", "0", "--data-dir", dir.string()});
  const Exposition before = Scrape();
  EXPECT_EQ(Get(before, "parley_connections_open"), 0);

  // Background load of one kind (list of a chat that does not exist: "no"),
  // counted as it goes and stopped before the second scrape.
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> listed{0};
  Peer load = Connected();
  std::thread loader([&] {
    while (!stop && load.Status(GetChatReq("no-such-chat"), deadline) == false) ++listed;
  });

  const std::string u = Unique("u"), chat = Unique("c"), ghost = Unique("ghost");
  struct Case {
    std::string frame;
    const char* kind;
    const char* result;  // the reply's status, or undecodable (no reply)
  };
  const Case cases[] = {
      {Register(u), "register", "ok"},
      {Register(u), "register", "no"},
      {CreateChatReq(u, chat), "create", "ok"},
      {CreateChatReq(ghost, Unique("c2")), "create", "no"},
      {SendReq(u, chat, "one"), "send", "ok"},
      {SendReq(u, chat, "two"), "send", "ok"},
      {SendReq(ghost, chat, "x"), "send", "no"},
      {GetMsgReq(chat, 1 << 30), "fetch", "no"},
      {RawFrame(std::string("\x03\0\0\0\0\0\0\0\x09", 9)), "send", "undecodable"},  // a body cut short
      {RawFrame(std::string("\x63\0\0\0\0\0\0\0", 8)), "unknown", "undecodable"},    // no such kind
      {RawFrame("abc"), "unknown", "undecodable"},                                    // shorter than a kind
      {Prefix(0), "unknown", "undecodable"},                                          // a bad length
  };
  std::map<std::pair<std::string, std::string>, double> want;
  double bytes_sent = 0, replies = 0;
  Peer p = Connected();
  for (const Case& c : cases) {
    ASSERT_TRUE(p.Send(c.frame, deadline));
    bytes_sent += static_cast<double>(c.frame.size());
    ++want[{c.kind, c.result}];
    if (std::string_view(c.result) == "undecodable") continue;
    ++replies;
    auto f = p.ReadFrame(deadline);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->body.substr(8), std::string_view(c.result) == "ok" ? "ok" : "no") << c.kind;
  }
  ASSERT_EQ(p.Status(GetMsgReq(chat, 1 << 30), deadline), false);  // after every frame above: they are counted
  bytes_sent += static_cast<double>(GetMsgReq(chat, 1 << 30).size());
  ++replies;
  ++want[{"fetch", "no"}];
  stop = true;
  loader.join();
  want[{"list", "no"}] += static_cast<double>(listed);
  bytes_sent += static_cast<double>(listed * GetChatReq("no-such-chat").size());
  replies += static_cast<double>(listed);

  // Bytes sent and latencies are counted just after a reply leaves: wait until they caught up.
  auto moved = [&](const Exposition& e, const char* name, const metrics::Labels& l = {}) {
    return Get(e, name, l) - Get(before, name, l);
  };
  Exposition after = Scrape();
  for (auto by = After(5s); Clock::now() < by && (moved(after, "parley_sent_bytes_total") < 22 * replies ||
                                                  moved(after, "parley_request_duration_seconds_count") < replies);
       std::this_thread::sleep_for(10ms))
    after = Scrape();
  EXPECT_GT(listed, 0u);
  using namespace std::string_view_literals;
  for (const char* kind : {"register", "create", "join", "send", "fetch", "list", "history", "unknown"}) {
    for (const char* result : {"ok", "no", "undecodable"}) {
      if (kind == "unknown"sv && result != "undecodable"sv) continue;
      const metrics::Labels l{{"kind", kind}, {"result", result}};
      EXPECT_EQ(moved(after, "parley_requests_total", l), (want[{kind, result}])) << kind << " " << result;
    }
    // Every answered request's latency is observed once.
    const metrics::Labels k{{"kind", kind}};
    const double observed = after.Value("parley_request_duration_seconds_count", k).value_or(0) -
                            before.Value("parley_request_duration_seconds_count", k).value_or(0);
    EXPECT_EQ(observed, (want[{kind, "ok"}] + want[{kind, "no"}])) << kind;
  }
  EXPECT_EQ(moved(after, "parley_received_bytes_total"), bytes_sent);
  EXPECT_EQ(moved(after, "parley_sent_bytes_total"), 22 * replies);
  EXPECT_EQ(moved(after, "parley_rejected_frames_total"), 4);
  EXPECT_EQ(moved(after, "parley_journal_appends_total"), 4);  // the account, the chat, two messages
  EXPECT_EQ(moved(after, "parley_connections_accepted_total"), 2);
  EXPECT_EQ(Get(after, "parley_connections_open"), 2);

  p.Close();
  load.Close();
  double open = -1;
  for (auto by = After(5s); Clock::now() < by && open != 0; std::this_thread::sleep_for(20ms))
    open = Get(Scrape(), "parley_connections_open");
  EXPECT_EQ(open, 0);
}

TEST_F(Metrics, TextFollowsTheExpositionFormat) {
  StartServer({"--metrics-port", "0", "--data-dir", dir.string(), "--fsync", "always", "--max-memory", "1gb"});
  Peer p = Owner(Unique("u"), Unique("c"));
  ASSERT_EQ(kill(server().pid(), SIGUSR1), 0);  // a snapshot: its figures appear
  ASSERT_TRUE(server().WaitStderr("journal segments removed", std::chrono::milliseconds(10s)));
  const Exposition e = Scrape();
  for (const char* family : {"parley_requests_total", "parley_request_duration_seconds", "parley_event_queue_depth",
                             "parley_journal_fsync_duration_seconds", "parley_journal_size_bytes",
                             "parley_snapshot_age_seconds", "parley_snapshot_duration_seconds", "parley_subscriptions",
                             "parley_push_drops_total", "parley_memory_used_bytes", "parley_tls_failures_total"})
    EXPECT_TRUE(e.Find(family)) << family;
  EXPECT_EQ(Get(e, "parley_memory_limit_bytes"), 1 << 30);
  EXPECT_GT(Get(e, "parley_journal_fsync_duration_seconds_count"), 0);
  EXPECT_EQ(e.Find("parley_event_queue_depth")->samples.size(), 3u);
  for (const metrics::Family& f : e.families) {
    EXPECT_TRUE(f.name.starts_with("parley_")) << f.name;
    EXPECT_FALSE(f.help.empty()) << f.name;
    EXPECT_EQ(f.type == "counter", f.name.ends_with("_total")) << f.name;
  }

  // An independent reader of the format: Debian's python3-prometheus-client.
  const fs::path text = dir / "scrape.txt";
  std::ofstream(text) << last_text;
  const RunResult py = RunProcess({"/usr/bin/python3", "-c",
                                   "import sys\nfrom prometheus_client.parser import text_string_to_metric_families as f\n"
                                   "print(len(list(f(open(sys.argv[1]).read()))))",
                                   text.string()});
  if (py.exit_status != 0 && py.err.find("No module named") != std::string::npos) {
    const char* ci = std::getenv("CI");
    ASSERT_FALSE(ci != nullptr && std::string_view(ci) == "true") << "python3-prometheus-client is missing";
    GTEST_SKIP() << "python3-prometheus-client not installed";
  }
  EXPECT_EQ(py.exit_status, 0) << py.err;
  EXPECT_EQ(std::atoi(py.out.c_str()), static_cast<int>(e.families.size()));
}

TEST_F(Metrics, HttpRefusesOtherPathsAndMethodsAndOutlastsIdleClients) {
  StartServer({"--metrics-port", "0"});
  const struct {
    const char* method;
    const char* path;
    long status;
  } cases[] = {{"GET", "/metrics", 200}, {"HEAD", "/metrics", 200}, {"GET", "/", 404},
               {"GET", "/metrics/x", 404}, {"POST", "/metrics", 405}, {"DELETE", "/metrics", 405}};
  for (const auto& c : cases) EXPECT_EQ(metrics::HttpRequest(Url(c.path), c.method).status, c.status) << c.method << " " << c.path;

  // Idle and half-sent requests do not hold up a scrape; at the connection
  // limit new ones are turned away until the idle ones time out.
  std::vector<Peer> idle(8);
  for (size_t i = 0; i < idle.size(); ++i) {
    ASSERT_TRUE(idle[i].Connect(server().metrics_port(), deadline));
    if (i % 2 == 0) {
      ASSERT_TRUE(idle[i].Send("GET /metr", deadline));
    }
    if (i == 3) {
      EXPECT_EQ(metrics::HttpRequest(Url()).status, 200);  // while some wait
    }
  }
  const auto full = Clock::now();
  EXPECT_NE(metrics::HttpRequest(Url(), "GET", 1s).status, 200);
  for (Peer& peer : idle) EXPECT_TRUE(peer.WaitEof(After(10s)));
  EXPECT_GE(Clock::now() - full, 3s);  // closed for idling, not at once
  EXPECT_EQ(metrics::HttpRequest(Url()).status, 200);
}

TEST_F(Metrics, StatsPrintsTheFiguresAndAnUnusableEndpointIsAnError) {
  StartServer({"--metrics-port", "0"});
  Peer p = Owner(Unique("u"), Unique("c"));
  ASSERT_EQ(p.Status(SendReq(Unique("u"), Unique("c"), "hi"), deadline), true);
  const std::string where = "127.0.0.1:" + std::to_string(server().metrics_port());
  const RunResult text = RunProcess({PARLEY_CLI_PATH, "stats", "--metrics", where});
  EXPECT_EQ(text.exit_status, 0) << text.err;
  EXPECT_NE(text.out.find("connections  1 open, 1 accepted"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("send"), std::string::npos) << text.out;
  const RunResult json = RunProcess({PARLEY_CLI_PATH, "--json", "stats", "--metrics=" + where});
  EXPECT_EQ(json.exit_status, 0) << json.err;
  EXPECT_NE(json.out.find("\"send\":{\"ok\":1,\"no\":0,\"undecodable\":0,\"p50_seconds\":"), std::string::npos) << json.out;

  // Nobody there; the server's protocol port (not HTTP); a path that is not the metrics.
  for (const std::string& bad : {"127.0.0.1:" + std::to_string(ClosedLoopbackPort()), where + "/x"})
    EXPECT_EQ(RunProcess({PARLEY_CLI_PATH, "stats", "--metrics", bad}).exit_status, 3) << bad;
  const RunResult bad_start = RunProcess({PARLEYD_PATH, "--port", "0", "--metrics-port", std::to_string(port())});
  EXPECT_EQ(bad_start.exit_status, 1);
  EXPECT_NE(bad_start.err.find("cannot bind the metrics port"), std::string::npos) << bad_start.err;
}

// The checker the tests above rely on catches what the format forbids.
TEST(ExpositionParser, RefusesWhatTheFormatForbids) {
  const struct {
    const char* text;
    const char* error;  // "" when it must parse
  } cases[] = {
      {"# TYPE a gauge\na{l=\"q\\\"\\\\\\n\"} 1 1700000000000\n", ""},
      {"a 1", "no line end"},
      {"1a 1\n", "invalid metric name"},
      {"a{1x=\"v\"} 1\n", "invalid label name"},
      {"a{x=\"\\q\"} 1\n", "bad escape"},
      {"a{x=\"v} 1\n", "unterminated"},
      {"a x\n", "bad value"},
      {"a 1\na 1\n", "twice"},
      {"a 1\nb 1\na 2\n", "continues after"},
      {"# TYPE a gauge\n# TYPE a gauge\n", "second TYPE"},
      {"a 1\n# TYPE a gauge\n", "after its samples"},
      {"# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 1\nh_sum 1\nh_count 1\n", "not cumulative"},
      {"# TYPE h histogram\nh_bucket{le=\"1\"} 1\nh_sum 1\nh_count 1\n", "no +Inf"},
      {"# TYPE h histogram\nh_bucket{le=\"+Inf\"} 2\nh_sum 1\nh_count 1\n", "differs"},
      {"# TYPE h histogram\nh_bucket{le=\"1\"} 1\nh_bucket{le=\"+Inf\"} 3\nh_sum 4\nh_count 3\n", ""},
  };
  for (const auto& c : cases) {
    std::string error;
    const bool ok = metrics::ParseExposition(c.text, error).has_value();
    if (*c.error == '\0') EXPECT_TRUE(ok) << c.text << error;
    else EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " gave: " << (ok ? "ok" : error);
  }
  std::string error;
  const auto e = metrics::ParseExposition(cases[0].text, error);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->families[0].samples[0].labels.at("l"), "q\"\\\n");
  // One observation at most 1, two more above: the median lies in (1, +Inf), reported as 1.
  const auto h = metrics::ParseExposition(std::end(cases)[-1].text, error);
  ASSERT_TRUE(h);
  EXPECT_DOUBLE_EQ(h->Quantile("h", 0.2).value_or(-1), 0.6);
  EXPECT_DOUBLE_EQ(h->Quantile("h", 0.5).value_or(-1), 1);
}

}  // namespace
}  // namespace parley::test
