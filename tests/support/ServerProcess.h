// The server as a child process, killed with the object.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "Process.h"

namespace parley::test {

// Binds `fd` to an ephemeral loopback port: the port, or -1.
int BindLoopback(int fd);
// A loopback port that nothing listens on: connecting to it is refused.
int ClosedLoopbackPort();

// `base` made unique to the running test, for tests that share a server.
std::string Unique(const std::string& base);

class ServerProcess : public Child {
 public:
  // On an ephemeral port unless `args` name one; `nofile` > 0 is its
  // descriptor limit. False when it reported no port in time.
  bool Start(std::vector<std::string> args = {}, long nofile = 0, bool read_stdout = true,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));
  int port() const { return port_; }
  // The metrics port, when started with --metrics-port.
  int metrics_port() const { return metrics_port_; }

  bool WaitStdout(std::string_view needle, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return WaitFor(needle, false, timeout) != std::string::npos;
  }
  bool WaitStderr(std::string_view needle, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return WaitFor(needle, true, timeout) != std::string::npos;
  }

 private:
  int port_ = 0;
  int metrics_port_ = 0;
};

// A suite sharing one server, which must exit with status 0 on SIGTERM after the suite.
class SharedServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  static int port() { return server_->port(); }

  inline static std::unique_ptr<ServerProcess> server_;
};

}  // namespace parley::test
