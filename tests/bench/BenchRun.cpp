#include "BenchRun.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace parley::test {

namespace {

// Splits one CSV line of double-quoted fields.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> f;
  std::string cur;
  bool quoted = false;
  for (char ch : line) {
    if (ch == '"') {
      quoted = !quoted;
    } else if (ch == ',' && !quoted) {
      f.push_back(cur);
      cur.clear();
    } else {
      cur += ch;
    }
  }
  f.push_back(cur);
  return f;
}

}  // namespace

BenchOutcome RunBench(const std::vector<std::string>& args) {
  BenchOutcome o;
  int pipefd[2];
  if (::pipe(pipefd) != 0) return o;
  std::vector<std::string> argv_s{PARLEY_BENCH_PATH};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  argv_s.push_back("--csv");
  std::vector<char*> argv;
  for (auto& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipefd[1], STDOUT_FILENO);
    ::close(pipefd[0]);
    ::close(pipefd[1]);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipefd[1]);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0) o.out.append(buf, static_cast<size_t>(n));
  ::close(pipefd[0]);
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) o.exit_code = WEXITSTATUS(status);

  std::istringstream lines(o.out);
  std::string line;
  bool first = true;
  while (std::getline(lines, line)) {
    auto f = Fields(line);
    if (first) {
      o.header_ok = f == std::vector<std::string>{"test", "rps", "p50_ms", "p99_ms", "p999_ms", "max_ms", "errors"};
      first = false;
      continue;
    }
    if (f.size() != 7) continue;
    BenchRow r;
    r.rps = std::atof(f[1].c_str());
    r.p50_ms = std::atof(f[2].c_str());
    r.p99_ms = std::atof(f[3].c_str());
    r.p999_ms = std::atof(f[4].c_str());
    r.max_ms = std::atof(f[5].c_str());
    r.errors = std::strtoull(f[6].c_str(), nullptr, 10);
    o.rows[f[0]] = r;
  }
  return o;
}

}  // namespace parley::test
