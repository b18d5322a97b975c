// The metrics endpoint: GET /metrics over HTTP, answered with what a render
// function returns (the Prometheus text format), on libmicrohttpd's own
// polling thread, so a scrape never touches the network or event threads.
// Other paths get 404, other methods 405. A few connections at a time, and
// an idle or slow one is closed after kIdleTimeout, so a stuck client cannot
// keep a scrape out for long.
#pragma once

#include <functional>
#include <memory>
#include <string>

struct MHD_Daemon;

namespace parley {

class MetricsServer {
 public:
  static constexpr unsigned kMaxConnections = 8;
  static constexpr unsigned kIdleTimeoutSeconds = 5;

  explicit MetricsServer(std::function<std::string()> render);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Listens on `bind` (an IPv4 or IPv6 address) and `port` (0: any free
  // port) and starts serving. On failure prints the reason on stderr and
  // returns false.
  bool Start(const std::string& bind, int port);
  // The bound port once started.
  int port() const { return port_; }
  // Stops serving; the destructor does too.
  void Stop();

 private:
  struct DaemonStop {
    void operator()(MHD_Daemon* d) const;
  };
  std::function<std::string()> render_;
  std::unique_ptr<MHD_Daemon, DaemonStop> daemon_;
  int port_ = -1;
};

}  // namespace parley
