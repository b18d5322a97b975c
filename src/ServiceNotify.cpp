#include "ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <cstring>

#include "Log.h"

namespace parley::service {

namespace {

void Notify(const std::string& state) {
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return;
  // Keeps NOTIFY_SOCKET: every later state goes to the same socket.
  if (const int rc = sd_notify(0, state.c_str()); rc < 0)
    LogWarn("cannot notify systemd (%s): %s", state.substr(0, state.find('\n')).c_str(), std::strerror(-rc));
}

}  // namespace

void Status(const std::string& what) { Notify("STATUS=" + what); }
void Ready(int port, int tls_port) {
  std::string ports = port < 0 ? "" : "port " + std::to_string(port);
  if (tls_port >= 0) ports += (ports.empty() ? "TLS port " : ", TLS port ") + std::to_string(tls_port);
  Notify("READY=1\nSTATUS=listening on " + ports);
}
void Stopping() { Notify("STOPPING=1\nSTATUS=shutting down"); }

}  // namespace parley::service
