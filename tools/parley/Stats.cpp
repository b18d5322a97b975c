#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "Text.h"
#include "metrics/Exposition.h"

namespace parley::cli {

namespace {

using metrics::Exposition;

std::string Fixed(double v, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

std::string Bytes(double v) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t u = 0;
  while (v >= 1024 && u + 1 < std::size(units)) v /= 1024, ++u;
  return (u == 0 ? Fixed(v, 0) : Fixed(v, 1)) + " " + units[u];
}

std::string Seconds(std::optional<double> s) {
  if (!s) return "-";
  if (*s < 1e-3) return Fixed(*s * 1e6, 0) + " us";
  if (*s < 1) return Fixed(*s * 1e3, *s < 1e-2 ? 2 : 1) + " ms";
  return Fixed(*s, 2) + " s";
}

std::string Duration(double s) {
  long long t = std::llround(s);
  std::string out;
  if (t >= 86400) out += std::to_string(t / 86400) + "d ";
  if (t >= 3600) out += std::to_string(t / 3600 % 24) + "h ";
  if (t >= 60) out += std::to_string(t / 60 % 60) + "m ";
  return out + std::to_string(t % 60) + "s";
}

std::string Number(std::optional<double> v) {
  if (!v) return "null";
  if (*v == std::floor(*v) && std::fabs(*v) < 1e15) return Fixed(*v, 0);
  char text[40];
  std::snprintf(text, sizeof text, "%.15g", *v);
  return text;
}

// The figures `parley stats` shows, read from one scrape.
struct Figures {
  const Exposition& e;
  double Get(const char* name, const metrics::Labels& labels = {}) const { return e.Value(name, labels).value_or(0); }

  // Request kinds with any request, in the server's order.
  std::vector<std::string> Kinds() const {
    std::vector<std::string> kinds;
    if (const metrics::Family* f = e.Find("parley_requests_total"))
      for (const metrics::Sample& s : f->samples) {
        const std::string& k = s.labels.at("kind");
        if (s.value > 0 && std::find(kinds.begin(), kinds.end(), k) == kinds.end()) kinds.push_back(k);
      }
    return kinds;
  }
  std::optional<double> Latency(const std::string& kind, double q) const {
    return e.Quantile("parley_request_duration_seconds", q, {{"kind", kind}});
  }
  std::vector<double> Queues() const {
    std::vector<double> depths;
    if (const metrics::Family* f = e.Find("parley_event_queue_depth"))
      for (const metrics::Sample& s : f->samples) depths.push_back(s.value);
    return depths;
  }
};

// The families shown in their own section; every other one-value family is listed under "counters".
const std::set<std::string> kShown = {
    "parley_process_start_time_seconds", "parley_uptime_seconds", "parley_connections_open",
    "parley_connections_accepted_total", "parley_connections_closed_total", "parley_requests_total",
    "parley_request_duration_seconds", "parley_received_bytes_total", "parley_sent_bytes_total",
    "parley_event_queue_depth", "parley_memory_used_bytes", "parley_memory_limit_bytes",
    "parley_journal_appends_total", "parley_journal_writes_total", "parley_journal_fsync_duration_seconds",
    "parley_journal_size_bytes", "parley_snapshots_total", "parley_snapshot_age_seconds",
    "parley_snapshot_duration_seconds", "parley_subscriptions", "parley_push_events_total", "parley_push_drops_total"};

std::vector<std::pair<std::string, double>> Others(const Exposition& e) {
  std::vector<std::pair<std::string, double>> out;
  for (const metrics::Family& f : e.families)
    if (!kShown.contains(f.name) && f.samples.size() == 1 && f.samples[0].labels.empty())
      out.emplace_back(f.name.starts_with("parley_") ? f.name.substr(7) : f.name, f.samples[0].value);
  return out;
}

void PrintText(const Exposition& e, const std::string& where) {
  const Figures f{e};
  std::printf("parleyd (metrics at %s): up %s\n\n", where.c_str(), Duration(f.Get("parley_uptime_seconds")).c_str());
  std::printf("connections  %s open, %s accepted, %s closed\n", Number(f.Get("parley_connections_open")).c_str(),
              Number(f.Get("parley_connections_accepted_total")).c_str(),
              Number(f.Get("parley_connections_closed_total")).c_str());
  std::printf("traffic      %s received, %s sent\n", Bytes(f.Get("parley_received_bytes_total")).c_str(),
              Bytes(f.Get("parley_sent_bytes_total")).c_str());
  std::string queues;
  for (double d : f.Queues()) {
    if (!queues.empty()) queues += ' ';
    queues += Number(d);
  }
  std::printf("queues       %s waiting\n", queues.empty() ? "-" : queues.c_str());
  const double used = f.Get("parley_memory_used_bytes"), limit = f.Get("parley_memory_limit_bytes");
  if (limit > 0)
    std::printf("memory       %s used of %s (%s%%)\n", Bytes(used).c_str(), Bytes(limit).c_str(),
                Fixed(100 * used / limit, 1).c_str());
  else
    std::printf("memory       %s used (no limit)\n", Bytes(used).c_str());

  std::printf("\nrequests     %-16s %10s %8s %11s %9s %9s %9s\n", "kind", "ok", "no", "undecodable", "p50", "p90",
              "p99");
  for (const std::string& k : f.Kinds()) {
    auto count = [&](const char* result) {
      return Number(f.Get("parley_requests_total", {{"kind", k}, {"result", result}}));
    };
    std::printf("             %-16s %10s %8s %11s %9s %9s %9s\n", k.c_str(), count("ok").c_str(), count("no").c_str(),
                count("undecodable").c_str(), Seconds(f.Latency(k, 0.5)).c_str(), Seconds(f.Latency(k, 0.9)).c_str(),
                Seconds(f.Latency(k, 0.99)).c_str());
  }
  if (f.Kinds().empty()) std::printf("             none yet\n");

  std::printf("\njournal      %s appends in %s writes", Number(f.Get("parley_journal_appends_total")).c_str(),
              Number(f.Get("parley_journal_writes_total")).c_str());
  if (auto size = e.Value("parley_journal_size_bytes")) std::printf(", %s on disk", Bytes(*size).c_str());
  std::printf("; fsync p50 %s, p99 %s\n", Seconds(e.Quantile("parley_journal_fsync_duration_seconds", 0.5)).c_str(),
              Seconds(e.Quantile("parley_journal_fsync_duration_seconds", 0.99)).c_str());
  std::printf("snapshots    %s taken", Number(f.Get("parley_snapshots_total")).c_str());
  if (auto age = e.Value("parley_snapshot_age_seconds")) std::printf(", newest %s ago", Duration(*age).c_str());
  if (auto took = e.Value("parley_snapshot_duration_seconds")) std::printf(", last took %s", Seconds(took).c_str());
  std::printf("\npush         %s subscriptions, %s events pushed, %s subscribers dropped\n",
              Number(f.Get("parley_subscriptions")).c_str(), Number(f.Get("parley_push_events_total")).c_str(),
              Number(f.Get("parley_push_drops_total")).c_str());

  std::string others;
  for (const auto& [name, value] : Others(e)) {
    if (value == 0) continue;
    if (!others.empty()) others += "\n             ";
    others += name;
    others += ' ';
    others += Number(value);
  }
  std::printf("\ncounters     %s\n", others.empty() ? "all zero" : others.c_str());
}

// A JSON object or array, built by appending only.
class Json {
 public:
  explicit Json(char open = '{') : close_(open == '{' ? '}' : ']') { out_ += open; }
  Json& Add(std::string_view name, const std::string& value) {
    Comma();
    out_ += JsonString(name);
    out_ += ':';
    out_ += value;
    return *this;
  }
  Json& Add(std::string_view name, std::optional<double> v) { return Add(name, Number(v)); }
  Json& Item(const std::string& value) {
    Comma();
    out_ += value;
    return *this;
  }
  std::string str() const { return out_ + close_; }

 private:
  void Comma() {
    if (out_.size() > 1) out_ += ',';
  }
  std::string out_;
  char close_;
};

void PrintJson(const Exposition& e) {
  const Figures f{e};
  Json requests;
  for (const std::string& k : f.Kinds()) {
    Json r;
    for (const char* result : {"ok", "no", "undecodable"})
      r.Add(result, f.Get("parley_requests_total", {{"kind", k}, {"result", result}}));
    for (const auto& [name, q] : {std::pair{"p50_seconds", 0.5}, {"p90_seconds", 0.9}, {"p99_seconds", 0.99}})
      r.Add(name, f.Latency(k, q));
    requests.Add(k, r.str());
  }
  Json queues('[');
  for (double d : f.Queues()) queues.Item(Number(d));
  Json others;
  for (const auto& [name, value] : Others(e)) others.Add(name, value);
  const char* fsync = "parley_journal_fsync_duration_seconds";
  Json out;
  out.Add("uptime_seconds", f.Get("parley_uptime_seconds"))
      .Add("start_time_seconds", f.Get("parley_process_start_time_seconds"))
      .Add("connections", Json()
                              .Add("open", f.Get("parley_connections_open"))
                              .Add("accepted", f.Get("parley_connections_accepted_total"))
                              .Add("closed", f.Get("parley_connections_closed_total"))
                              .str())
      .Add("requests", requests.str())
      .Add("bytes", Json()
                        .Add("received", f.Get("parley_received_bytes_total"))
                        .Add("sent", f.Get("parley_sent_bytes_total"))
                        .str())
      .Add("queues", queues.str())
      .Add("memory", Json()
                         .Add("used_bytes", f.Get("parley_memory_used_bytes"))
                         .Add("limit_bytes", f.Get("parley_memory_limit_bytes"))
                         .str())
      .Add("journal", Json()
                          .Add("appends", f.Get("parley_journal_appends_total"))
                          .Add("writes", f.Get("parley_journal_writes_total"))
                          .Add("size_bytes", e.Value("parley_journal_size_bytes"))
                          .Add("fsync_p50_seconds", e.Quantile(fsync, 0.5))
                          .Add("fsync_p99_seconds", e.Quantile(fsync, 0.99))
                          .str())
      .Add("snapshots", Json()
                            .Add("taken", f.Get("parley_snapshots_total"))
                            .Add("age_seconds", e.Value("parley_snapshot_age_seconds"))
                            .Add("last_duration_seconds", e.Value("parley_snapshot_duration_seconds"))
                            .str())
      .Add("push", Json()
                       .Add("subscriptions", f.Get("parley_subscriptions"))
                       .Add("events", f.Get("parley_push_events_total"))
                       .Add("drops", f.Get("parley_push_drops_total"))
                       .str())
      .Add("counters", others.str());
  std::puts(out.str().c_str());
}

}  // namespace

int RunStats(Session& session, const std::vector<std::string>& args) {
  std::string where = kDefaultMetricsAddress;
  bool json = session.options().json;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--json") {
      json = true;
    } else if (args[i] == "--metrics" && i + 1 < args.size()) {
      where = args[++i];
    } else if (args[i].starts_with("--metrics=")) {
      where = args[i].substr(10);
    } else {
      return Fail(kExitUsage, "usage: parley stats [--metrics HOST:PORT] [--json]");
    }
  }
  if (where.empty()) return Fail(kExitUsage, "--metrics needs HOST:PORT");
  const metrics::HttpReply reply = metrics::HttpRequest("http://" + where + "/metrics");
  if (reply.status != 200)
    return Fail(kExitUnreachable, "cannot read metrics from " + where + ": " +
                                      (reply.status == 0 ? reply.error : "HTTP status " + std::to_string(reply.status)));
  std::string error;
  const std::optional<Exposition> e = metrics::ParseExposition(reply.body, error);
  if (!e) return Fail(kExitUnreachable, where + " did not answer with metrics: " + error);
  if (json) PrintJson(*e);
  else PrintText(*e, where);
  return kExitOk;
}

}  // namespace parley::cli
