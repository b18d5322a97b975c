// Runs build/parleyd as a child process for the tests.
//
// The server is started on an ephemeral port (--port 0); the port it bound is
// read from its "listening on" line on stderr. Its output is collected as it
// comes and can be searched while it runs. It is killed when the object goes.
#pragma once

#include "Process.h"

namespace parley::test {

// A loopback port that nothing listens on: bound by the kernel's choice, then
// released. Connecting to it is refused.
int ClosedLoopbackPort();

class ServerProcess : public Child {
 public:
  // Starts the server with `args` (after "--port 0" unless `args` names a
  // port). `nofile` > 0 lowers its descriptor limit; `read_stdout` false
  // leaves its stdout a pipe nobody reads. False when it did not
  // report a listening port within the timeout; then Stderr() tells why.
  bool Start(std::vector<std::string> args = {}, long nofile = 0, bool read_stdout = true,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));
  int port() const { return port_; }

  // Waits until stdout (or stderr) contains `needle`; false on timeout.
  bool WaitStdout(std::string_view needle, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return WaitFor(needle, false, timeout) != std::string::npos;
  }
  bool WaitStderr(std::string_view needle, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return WaitFor(needle, true, timeout) != std::string::npos;
  }

 private:
  int port_ = 0;
};

}  // namespace parley::test
