// Start-up and shutdown reported to systemd (a unit of Type=notify): the
// service counts as started once the listeners are up, after recovery, and
// `systemctl status` shows the STATUS text. Outside systemd (no NOTIFY_SOCKET
// in the environment) every call does nothing.
#pragma once

#include <string>

namespace parley::service {

// STATUS=`what`: what the server is doing, e.g. recovering its history.
void Status(const std::string& what);
// READY=1: the server accepts connections on `port` and `tls_port` (each -1
// when not open), which the STATUS text names ("listening on port 8080").
void Ready(int port, int tls_port);
// STOPPING=1: the server is shutting down.
void Stopping();

}  // namespace parley::service
