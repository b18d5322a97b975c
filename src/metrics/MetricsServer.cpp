#include "metrics/MetricsServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Log.h"

namespace parley {

namespace {

constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

void LogFromLibrary(void*, const char* fmt, va_list ap) {
  char text[512];
  vsnprintf(text, sizeof text, fmt, ap);
  size_t n = strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
  LogWarn("metrics: %s", text);
}

MHD_Result Reply(MHD_Connection* c, unsigned status, const std::string& body, const char* type) {
  MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                    MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return MHD_NO;
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result ok = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return ok;
}

MHD_Result Handle(void* cls, MHD_Connection* c, const char* url, const char* method, const char*, const char*,
                  size_t* upload_size, void**) {
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    *upload_size = 0;  // a body, if any, is not read
    return Reply(c, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n", "text/plain; charset=utf-8");
  }
  if (strcmp(url, "/metrics") != 0) return Reply(c, MHD_HTTP_NOT_FOUND, "not found: try /metrics\n", "text/plain; charset=utf-8");
  const auto& render = *static_cast<const std::function<std::string()>*>(cls);
  return Reply(c, MHD_HTTP_OK, render(), kContentType);
}

// A listening socket on `bind`:`port` (port updated to the bound one), or -1.
int OpenListener(const std::string& bind, int& port, bool& v6) {
  sockaddr_storage ss{};
  socklen_t len = 0;
  auto* a4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
  v6 = false;
  if (inet_pton(AF_INET, bind.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof *a4;
  } else if (inet_pton(AF_INET6, bind.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof *a6;
    v6 = true;
  } else {
    LogError("cannot serve metrics: --metrics-bind '%s' is not an IPv4 or IPv6 address", bind.c_str());
    return -1;
  }
  const int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LogError("cannot create the metrics socket: %s", strerror(errno));
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 16) != 0) {
    LogError("cannot bind the metrics port %s:%d: %s", bind.c_str(), port, strerror(errno));
    close(fd);
    return -1;
  }
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
    port = ntohs(v6 ? a6->sin6_port : a4->sin_port);
  return fd;
}

}  // namespace

void MetricsServer::DaemonStop::operator()(MHD_Daemon* d) const { MHD_stop_daemon(d); }

MetricsServer::MetricsServer(std::function<std::string()> render) : render_(std::move(render)) {}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(const std::string& bind, int port) {
  bool v6 = false;
  const int fd = OpenListener(bind, port, v6);
  if (fd < 0) return false;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
  if (v6) flags |= MHD_USE_IPv6;
  daemon_.reset(MHD_start_daemon(flags, 0, nullptr, nullptr, &Handle, &render_,
                                 MHD_OPTION_EXTERNAL_LOGGER, &LogFromLibrary, nullptr,
                                 MHD_OPTION_LISTEN_SOCKET, fd,
                                 MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
                                 MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds,
                                 MHD_OPTION_END));
  if (!daemon_) {
    LogError("cannot start the metrics server on %s:%d", bind.c_str(), port);
    close(fd);
    return false;
  }
  port_ = port;
  return true;
}

void MetricsServer::Stop() { daemon_.reset(); }

}  // namespace parley
