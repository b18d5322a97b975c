#include "StressTest.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace parley::test {

// ---- Watchdog --------------------------------------------------------------

Watchdog::Watchdog(std::chrono::seconds limit, std::string what) : what_(std::move(what)) {
  const auto deadline = Clock::now() + limit * kSlowdown;
  thread_ = std::thread([this, deadline, limit] {
    std::unique_lock lk(mu_);
    if (cv_.wait_until(lk, deadline, [this] { return done_; })) return;
    std::fprintf(stderr, "\nwatchdog: %s did not finish within %lld s; killing its server and giving up\n",
                 what_.c_str(), static_cast<long long>(limit.count() * kSlowdown));
    for (pid_t pid : servers_) kill(pid, SIGKILL);
    std::fflush(stderr);
    _exit(124);
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard lk(mu_);
    done_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void Watchdog::Protect(pid_t server) {
  std::lock_guard lk(mu_);
  servers_.push_back(server);
}

// ---- Fixture ---------------------------------------------------------------

namespace {
std::string CurrentTestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? std::string(info->test_suite_name()) + "." + info->name() : "a test";
}
}  // namespace

StressTest::StressTest(std::chrono::seconds limit) : watchdog_(limit, CurrentTestName()) {}

void StressTest::StartServer(std::vector<std::string> args, long nofile, bool read_stdout) {
  ASSERT_TRUE(server_.Start(std::move(args), nofile, read_stdout)) << "the server did not start:\n" << server_.Stderr();
  watchdog_.Protect(server_.pid());
  started_ = true;
}

std::string StressTest::StopServer() {
  stopped_ = true;
  const int status = server_.Stop(SIGTERM, std::chrono::seconds(20) * kSlowdown);
  const std::string err = server_.Stderr();
  EXPECT_EQ(status, 0) << "the server did not shut down cleanly; its stderr:\n" << err;
  return err;
}

void StressTest::TearDown() {
  if (started_ && !stopped_) StopServer();
}

Peer StressTest::Connected(Clock::time_point deadline) {
  Peer p;
  EXPECT_TRUE(p.Connect(port(), deadline)) << "cannot connect: " << std::strerror(p.LastError());
  return p;
}

bool StressTest::Exchange(Peer& p, std::string_view request, std::string_view reply, Clock::time_point deadline) {
  if (!p.Send(request, deadline)) {
    ADD_FAILURE() << "cannot send: " << std::strerror(p.LastError());
    return false;
  }
  if (auto why = p.Expect(reply, deadline)) {
    ADD_FAILURE() << "wrong reply: " << *why;
    return false;
  }
  return true;
}

// ---- /proc -----------------------------------------------------------------

long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  // After the command name, in parentheses: fields 3 to 15, utime and stime the last two.
  const size_t close_paren = stat.rfind(')');
  long utime = -1, stime = -1;
  if (close_paren != std::string::npos)
    std::sscanf(stat.c_str() + close_paren + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime);
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

long VmKiB(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  return -1;
}

size_t Count(std::string_view text, std::string_view needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

std::vector<std::string> LinesWith(std::string_view text, std::string_view needle) {
  std::vector<std::string> lines;
  std::istringstream in{std::string(text)};
  for (std::string line; std::getline(in, line);)
    if (line.find(needle) != std::string::npos) lines.push_back(line);
  return lines;
}

bool RaiseDescriptorLimit(size_t n) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
  if (rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
  }
  return rl.rlim_cur >= n;
}

}  // namespace parley::test
