#include "ServerProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace parley::test {

int ClosedLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
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
  const std::string err = Stderr();
  const size_t colon = err.find(':', err.find(marker) + marker.size());
  port_ = colon == std::string::npos ? 0 : std::atoi(err.c_str() + colon + 1);
  return port_ > 0;
}

}  // namespace parley::test
