#include "ServerProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace parley::test {

int BindLoopback(int fd) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return -1;
  return ntohs(addr.sin_port);
}

int ClosedLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int port = BindLoopback(s);
  if (s >= 0) close(s);
  return port;
}

bool ServerProcess::Start(std::vector<std::string> args, long nofile, bool read_stdout,
                          std::chrono::milliseconds timeout) {
  std::vector<std::string> argv{PARLEYD_PATH};
  if (std::find(args.begin(), args.end(), "--port") == args.end()) argv.insert(argv.end(), {"--port", "0"});
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string marker = "listening on ";
  if (!Child::Start(argv, {"", false, nofile, {}, read_stdout}) || WaitFor(marker, true, timeout) == std::string::npos) return false;
  std::string err = Stderr();
  const size_t colon = err.find(':', err.find(marker) + marker.size());
  port_ = colon == std::string::npos ? 0 : std::atoi(err.c_str() + colon + 1);
  // With --metrics-port: "metrics on http://ADDR:PORT/metrics", the port after the last colon.
  if (std::find(args.begin(), args.end(), "--metrics-port") != args.end()) {
    const size_t end = WaitFor("/metrics", true, timeout);
    err = Stderr();
    const size_t at = end == std::string::npos ? std::string::npos : err.rfind(':', end);
    metrics_port_ = at == std::string::npos ? 0 : std::atoi(err.c_str() + at + 1);
    if (metrics_port_ <= 0) return false;
  }
  return port_ > 0;
}

std::string Unique(const std::string& base) {
  return base + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

void SharedServerTest::SetUpTestSuite() {
  server_ = std::make_unique<ServerProcess>();
  ASSERT_TRUE(server_->Start()) << server_->Stderr();
}

void SharedServerTest::TearDownTestSuite() {
  EXPECT_EQ(server_->Stop(SIGTERM), 0) << server_->Stderr();
  server_.reset();
}

}  // namespace parley::test
