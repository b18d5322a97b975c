#include "BenchRun.h"

#include <cstdlib>
#include <sstream>

#include "Process.h"

namespace parley::test {

BenchOutcome RunBench(const std::vector<std::string>& args) {
  std::vector<std::string> argv{PARLEY_BENCH_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("--csv");
  RunResult run = RunProcess(argv, "", std::chrono::minutes(2));
  BenchOutcome o{run.exit_status, run.out, {}, false};
  std::istringstream lines(o.out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f(1);  // the fields, each in double quotes
    bool quoted = false;
    for (char ch : line) {
      if (ch == '"') quoted = !quoted;
      else if (ch == ',' && !quoted) f.emplace_back();
      else f.back() += ch;
    }
    if (!o.header_ok && o.rows.empty()) {
      o.header_ok = f == std::vector<std::string>{"test", "rps", "p50_ms", "p99_ms", "p999_ms", "max_ms", "errors"};
      if (!o.header_ok) return o;
    } else if (f.size() == 7) {
      auto num = [&](size_t i) { return std::atof(f[i].c_str()); };
      o.rows[f[0]] = BenchRow{num(1), num(2), num(3), num(4), num(5), std::strtoull(f[6].c_str(), nullptr, 10)};
    }
  }
  return o;
}

}  // namespace parley::test
