#include "StressTest.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

namespace parley::test {

Watchdog::Watchdog(std::chrono::seconds limit, std::string what) {
  thread_ = std::thread([this, limit, what = std::move(what), done = done_.get_future()] {
    if (done.wait_for(limit * kSlowdown) == std::future_status::ready) return;
    std::fprintf(stderr, "\nwatchdog: %s did not finish within %lld s; killing its server and giving up\n",
                 what.c_str(), static_cast<long long>(limit.count() * kSlowdown));
    if (const pid_t pid = server_; pid > 0) kill(pid, SIGKILL);
    _exit(124);
  });
}

Watchdog::~Watchdog() {
  done_.set_value();
  thread_.join();
}

StressTest::StressTest(std::chrono::seconds limit)
    : watchdog_(limit, ::testing::UnitTest::GetInstance()->current_test_info()->name()) {}

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

Peer StressTest::Connected() {
  Peer p;
  EXPECT_TRUE(p.Connect(port(), deadline)) << "cannot connect: " << std::strerror(p.LastError());
  return p;
}

bool StressTest::Exchange(Peer& p, std::string_view request, std::string_view reply, Clock::time_point by) {
  if (by == Clock::time_point{}) by = deadline;
  if (!p.Send(request, by)) {
    ADD_FAILURE() << "cannot send: " << std::strerror(p.LastError());
  } else if (auto why = p.Expect(reply, by)) {
    ADD_FAILURE() << "wrong reply: " << *why;
  } else {
    return true;
  }
  return false;
}

// Closed on a failure, so that what the case does with it next fails at once.
Peer StressTest::Owner(const std::string& user, const std::string& chat) {
  Peer p = Connected();
  const std::string setup = Register(user) + CreateChatReq(user, chat);
  if (!Exchange(p, setup, OksFor(setup))) p.Close();
  return p;
}

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
