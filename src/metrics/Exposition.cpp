#include "metrics/Exposition.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <set>

namespace parley::metrics {

// ---- HTTP ------------------------------------------------------------------

HttpReply HttpRequest(const std::string& url, const char* method, std::chrono::milliseconds timeout) {
  HttpReply reply;
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(ready ? curl_easy_init() : nullptr, &curl_easy_cleanup);
  if (!curl) {
    reply.error = "cannot start libcurl";
    return reply;
  }
  CURL* c = curl.get();
  auto append = +[](char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
  };
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  if (std::string_view(method) == "POST") curl_easy_setopt(c, CURLOPT_POSTFIELDS, "");
  else if (std::string_view(method) == "HEAD") curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
  else if (std::string_view(method) != "GET") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, append);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  const CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    reply.error = curl_easy_strerror(rc);
    return reply;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
  const char* type = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr) reply.content_type = type;
  return reply;
}

// ---- Queries ---------------------------------------------------------------

namespace {

bool Includes(const Labels& have, const Labels& want) {
  return std::all_of(want.begin(), want.end(), [&](const auto& kv) {
    auto it = have.find(kv.first);
    return it != have.end() && it->second == kv.second;
  });
}

}  // namespace

const Family* Exposition::Find(std::string_view name) const {
  for (const Family& f : families)
    if (f.name == name) return &f;
  return nullptr;
}

std::optional<double> Exposition::Value(std::string_view name, const Labels& labels) const {
  std::optional<double> sum;
  for (const Family& f : families)
    for (const Sample& s : f.samples)
      if (s.name == name && Includes(s.labels, labels)) sum = sum.value_or(0) + s.value;
  return sum;
}

std::optional<double> Exposition::Quantile(std::string_view name, double q, const Labels& labels) const {
  const Family* f = Find(name);
  if (f == nullptr || f->type != "histogram") return std::nullopt;
  std::map<double, double> cumulative;  // by upper bound, summed over the matching series
  const std::string bucket = f->name + "_bucket";
  for (const Sample& s : f->samples)
    if (s.name == bucket && Includes(s.labels, labels)) cumulative[std::strtod(s.labels.at("le").c_str(), nullptr)] += s.value;
  if (cumulative.empty() || cumulative.rbegin()->second <= 0) return std::nullopt;
  const double rank = q * cumulative.rbegin()->second;
  double lower = 0, below = 0;
  for (const auto& [le, count] : cumulative) {
    if (count >= rank) {
      if (std::isinf(le)) return lower;  // past the last finite bound: that bound is all we know
      return count == below ? le : lower + (le - lower) * (rank - below) / (count - below);
    }
    lower = le;
    below = count;
  }
  return lower;
}

// ---- Parsing ---------------------------------------------------------------

namespace {

bool NameChar(char c, bool first, bool colon) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon && c == ':') ||
         (!first && c >= '0' && c <= '9');
}

bool ValidName(std::string_view s, bool colon) {
  if (s.empty()) return false;
  for (size_t i = 0; i < s.size(); ++i)
    if (!NameChar(s[i], i == 0, colon)) return false;
  return true;
}

bool ParseValue(std::string_view s, double& out) {
  if (s.empty()) return false;
  const std::string text(s);
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size();
}

class Parser {
 public:
  std::optional<Exposition> Run(std::string_view text, std::string& error) {
    if (!text.empty() && text.back() != '\n') return Fail(error, "the last line has no line end");
    size_t at = 0;
    while (at < text.size()) {
      const size_t nl = text.find('\n', at);
      line_ = text.substr(at, nl - at);
      ++number_;
      at = nl + 1;
      if (!Line()) return Fail(error, why_);
    }
    if (!CloseFamily()) return Fail(error, why_);
    return std::move(out_);
  }

 private:
  std::optional<Exposition> Fail(std::string& error, const std::string& why) {
    error = "line " + std::to_string(number_) + ": " + why;
    return std::nullopt;
  }
  bool Bad(std::string why) {
    why_ = std::move(why);
    return false;
  }

  bool Line() {
    if (line_.empty()) return true;
    if (line_[0] == '#') return Comment();
    return SampleLine();
  }

  // The family `name` from here on: the current one, or a new one.
  Family* Enter(const std::string& name) {
    if (!out_.families.empty() && out_.families.back().name == name) return &out_.families.back();
    if (!CloseFamily()) return nullptr;
    if (!seen_.insert(name).second) {
      Bad("family " + name + " continues after another family's lines");
      return nullptr;
    }
    out_.families.push_back({name, "untyped", "", {}});
    return &out_.families.back();
  }

  bool Comment() {
    std::string_view rest = line_.substr(1);
    auto word = [&rest]() {
      rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
      const size_t end = std::min(rest.find_first_of(" \t"), rest.size());
      std::string_view w = rest.substr(0, end);
      rest.remove_prefix(end);
      return w;
    };
    const std::string_view kind = word();
    if (kind != "HELP" && kind != "TYPE") return true;  // a comment
    const std::string name(word());
    if (!ValidName(name, true)) return Bad("invalid metric name '" + name + "'");
    if (!rest.empty()) rest.remove_prefix(1);
    Family* f = Enter(name);
    if (f == nullptr) return false;
    if (kind == "HELP") {
      if (help_seen_) return Bad("a second HELP for " + name);
      help_seen_ = true;
      for (size_t i = 0; i < rest.size(); ++i)
        if (rest[i] == '\\' && (i + 1 == rest.size() || (rest[i + 1] != '\\' && rest[i + 1] != 'n')))
          return Bad("bad escape in the HELP of " + name);
        else if (rest[i] == '\\') ++i;
      f->help = std::string(rest);
      return true;
    }
    const std::string type(word());
    if (type_seen_) return Bad("a second TYPE for " + name);
    if (!f->samples.empty()) return Bad("the TYPE of " + name + " after its samples");
    static const std::set<std::string> kTypes = {"counter", "gauge", "histogram", "summary", "untyped"};
    if (!kTypes.contains(type) || !word().empty()) return Bad("bad TYPE line for " + name);
    type_seen_ = true;
    f->type = type;
    return true;
  }

  // The family a sample named `name` belongs to.
  std::string FamilyOf(const std::string& name) const {
    if (!out_.families.empty()) {
      const Family& f = out_.families.back();
      std::vector<std::string> names{f.name};
      if (f.type == "histogram") names = {f.name + "_bucket", f.name + "_sum", f.name + "_count"};
      if (f.type == "summary") names.insert(names.end(), {f.name + "_sum", f.name + "_count"});
      if (std::find(names.begin(), names.end(), name) != names.end()) return f.name;
    }
    return name;
  }

  bool SampleLine() {
    Sample s;
    size_t i = 0;
    while (i < line_.size() && NameChar(line_[i], i == 0, true)) ++i;
    s.name = std::string(line_.substr(0, i));
    if (!ValidName(s.name, true)) return Bad("invalid metric name at '" + std::string(line_.substr(0, 40)) + "'");
    if (i < line_.size() && line_[i] == '{' && !ReadLabels(i, s)) return false;
    std::string_view rest = line_.substr(i);
    if (rest.empty() || (rest[0] != ' ' && rest[0] != '\t')) return Bad("no value after " + s.name);
    rest.remove_prefix(rest.find_first_not_of(" \t"));
    const size_t end = std::min(rest.find_first_of(" \t"), rest.size());
    if (!ParseValue(rest.substr(0, end), s.value)) return Bad("bad value for " + s.name);
    rest.remove_prefix(end);
    if (const size_t ts = rest.find_first_not_of(" \t"); ts != std::string_view::npos) {
      double stamp = 0;
      if (!ParseValue(rest.substr(ts), stamp) || stamp != std::floor(stamp)) return Bad("bad timestamp for " + s.name);
    }
    Family* f = Enter(FamilyOf(s.name));
    if (f == nullptr) return false;
    std::string key = s.name;
    for (const auto& [k, v] : s.labels) key += '\0' + k + '\0' + v;
    if (!series_.insert(key).second) return Bad("the series " + s.name + " appears twice");
    f->samples.push_back(std::move(s));
    return true;
  }

  // Reads {name="value",...} from line_[i]; i ends after the '}'.
  bool ReadLabels(size_t& i, Sample& s) {
    ++i;
    for (;;) {
      if (i < line_.size() && line_[i] == '}') break;
      const size_t start = i;
      while (i < line_.size() && NameChar(line_[i], i == start, false)) ++i;
      const std::string name(line_.substr(start, i - start));
      if (!ValidName(name, false)) return Bad("invalid label name in " + s.name);
      if (i + 1 >= line_.size() || line_[i] != '=' || line_[i + 1] != '"') return Bad("bad label " + name);
      i += 2;
      std::string value;
      for (;; ++i) {
        if (i >= line_.size()) return Bad("unterminated value of label " + name);
        if (line_[i] == '"') break;
        if (line_[i] == '\\') {
          if (++i >= line_.size()) return Bad("unterminated value of label " + name);
          if (line_[i] == 'n') value += '\n';
          else if (line_[i] == '\\' || line_[i] == '"') value += line_[i];
          else return Bad("bad escape in the value of label " + name);
        } else {
          value += line_[i];
        }
      }
      ++i;
      if (!s.labels.emplace(name, std::move(value)).second) return Bad("label " + name + " twice in " + s.name);
      if (i < line_.size() && line_[i] == ',') ++i;
      else if (i >= line_.size() || line_[i] != '}') return Bad("bad label list in " + s.name);
    }
    ++i;
    return true;
  }

  // Checks the family just finished; the next one starts with no HELP or TYPE seen.
  bool CloseFamily() {
    help_seen_ = type_seen_ = false;
    if (out_.families.empty() || out_.families.back().type != "histogram") return true;
    const Family& f = out_.families.back();
    struct Series {
      std::vector<std::pair<double, double>> buckets;
      std::optional<double> count, sum;
    };
    std::map<metrics::Labels, Series> series;
    for (const Sample& s : f.samples) {
      metrics::Labels rest = s.labels;
      if (s.name == f.name + "_bucket") {
        double le = 0;
        auto it = rest.find("le");
        if (it == rest.end() || !ParseValue(it->second, le)) return Bad("a bucket of " + f.name + " without a valid le");
        rest.erase(it);
        series[rest].buckets.emplace_back(le, s.value);
      } else {
        (s.name == f.name + "_sum" ? series[rest].sum : series[rest].count) = s.value;
      }
    }
    for (auto& [labels, x] : series) {
      std::sort(x.buckets.begin(), x.buckets.end());
      if (x.buckets.empty() || !std::isinf(x.buckets.back().first)) return Bad(f.name + " has no +Inf bucket");
      for (size_t i = 1; i < x.buckets.size(); ++i)
        if (x.buckets[i].second < x.buckets[i - 1].second) return Bad(f.name + " buckets are not cumulative");
      if (!x.count || !x.sum) return Bad(f.name + " lacks _count or _sum");
      if (*x.count != x.buckets.back().second) return Bad(f.name + "_count differs from its +Inf bucket");
    }
    return true;
  }

  Exposition out_;
  std::set<std::string> seen_;    // family names
  std::set<std::string> series_;  // sample names with their labels
  std::string_view line_;
  size_t number_ = 0;
  bool help_seen_ = false, type_seen_ = false;
  std::string why_;
};

}  // namespace

std::optional<Exposition> ParseExposition(std::string_view text, std::string& error) { return Parser().Run(text, error); }

}  // namespace parley::metrics
