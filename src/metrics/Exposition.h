// Reading the metrics endpoint: an HTTP request through libcurl, and a
// strict parser of the Prometheus text format (version 0.0.4). `parley
// stats` and the tests read the server's figures through here.
//
// The parser refuses what the format does not allow: malformed lines,
// invalid metric or label names, badly escaped label values, a family's
// TYPE or HELP given twice or TYPE after its samples, a family whose samples
// are split by another's, the same series twice, and histograms whose
// buckets are not cumulative, lack +Inf, or whose +Inf differs from _count.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parley::metrics {

struct HttpReply {
  long status = 0;           // 0: no reply (see error)
  std::string content_type;  // as sent
  std::string body;
  std::string error;
};
// `method` (GET, POST, ...) on `url`, waiting at most `timeout`.
HttpReply HttpRequest(const std::string& url, const char* method = "GET",
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));

using Labels = std::map<std::string, std::string>;

struct Sample {
  std::string name;  // with its suffix (_bucket, _sum, _count)
  Labels labels;
  double value = 0;
};

struct Family {
  std::string name;
  std::string type;  // counter, gauge, histogram, summary or untyped
  std::string help;
  std::vector<Sample> samples;
};

struct Exposition {
  std::vector<Family> families;

  const Family* Find(std::string_view name) const;
  // The value of sample `name` whose labels include `labels`, summed over
  // every such sample; nothing when there is none.
  std::optional<double> Value(std::string_view name, const Labels& labels = {}) const;
  // Estimates quantile `q` (0..1) of histogram `name` over its samples whose
  // labels include `labels`, interpolating inside the bucket; nothing without observations.
  std::optional<double> Quantile(std::string_view name, double q, const Labels& labels = {}) const;
};

// Parses `text`; on failure nothing, with the line and the rule in `error`.
std::optional<Exposition> ParseExposition(std::string_view text, std::string& error);

}  // namespace parley::metrics
