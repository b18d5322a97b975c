// parley-ceiling: the fastest server the load generator can be measured
// against on this machine. One epoll thread answers every frame at once with
// the status its type expects ("ok") and does no other work: no store, no
// queues, no journal. A listing answers a fixed set of 100 ids and a fetch
// a message of the set-up (below), so parley-bench's
// set-up and reply checks pass. `make bench` divides Parley's throughput by
// this server's, test by test.
//
//   parley-ceiling [--port N]      (0, the default, picks a free port)
// Prints "listening on 127.0.0.1:PORT" on stderr once it accepts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "protocol/Wire.h"

namespace {

using namespace parley::wire;

constexpr int kListIds = 100;

struct Client {
  std::string in;
  std::string out;
  bool watching_out = false;  // EPOLLOUT asked for
};

// A fetch answers the sender and body of the first message sent after the
// last chat was created: parley-bench's set-up creates its chats, then stores
// the messages its fetch test reads back. One flag test per send.
std::string g_fetch_body;
bool g_armed = false;

// Appends the reply to one request payload.
void Answer(std::string_view payload, std::string& out) {
  const uint64_t type = LoadU64(payload.data());
  FrameBuilder(out, type).String("ok").End();
  if (type == EV_GETCHAT) {
    FrameBuilder list(out, type);
    list.Int(kListIds);
    for (int i = 0; i < kListIds; ++i) list.Int(static_cast<uint64_t>(i));
    list.End();
  } else if (type == EV_GETMSG) {
    PutU32(out, static_cast<uint32_t>(kWordSize + g_fetch_body.size()));
    PutU64(out, type);
    out += g_fetch_body;
  } else if (type == EV_CREATECHAT) {
    g_armed = true;
  } else if (type == EV_SENGMSG && g_armed) {
    g_armed = false;
    g_fetch_body.clear();
    // user, chat, body: keep user and body.
    BodyReader r(payload.substr(kWordSize));
    auto user = r.String();
    auto chat = r.String();
    auto body = r.String();
    if (user && chat && body) {
      PutString(g_fetch_body, *user);
      PutString(g_fetch_body, *body);
    }
  }
}

// Answers every whole frame in `c.in`; false when the stream is corrupt.
bool Serve(Client& c) {
  size_t pos = 0;
  while (c.in.size() - pos >= kLengthSize) {
    const int32_t len = LoadI32(c.in.data() + pos);
    if (len < static_cast<int32_t>(kWordSize) || len > kMaxPayload) return false;
    if (c.in.size() - pos < kLengthSize + static_cast<size_t>(len)) break;
    Answer(std::string_view(c.in).substr(pos + kLengthSize, static_cast<size_t>(len)), c.out);
    pos += kLengthSize + static_cast<size_t>(len);
  }
  c.in.erase(0, pos);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: parley-ceiling [--port N]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof addr;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lfd, 1024) != 0 ||
      getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) {
    std::fprintf(stderr, "parley-ceiling: cannot listen: %s\n", std::strerror(errno));
    return 1;
  }
  const int ep = epoll_create1(0);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = lfd;
  epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
  std::fprintf(stderr, "parley-ceiling: listening on 127.0.0.1:%d\n", ntohs(addr.sin_port));

  std::unordered_map<int, Client> clients;
  epoll_event events[256];
  char buf[65536];
  for (;;) {
    const int n = epoll_wait(ep, events, 256, -1);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == lfd) {
        int cfd;
        while ((cfd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
          setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          ev.events = EPOLLIN;
          ev.data.fd = cfd;
          epoll_ctl(ep, EPOLL_CTL_ADD, cfd, &ev);
          clients[cfd];
        }
        continue;
      }
      Client& c = clients[fd];
      bool open = true;
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        ssize_t r;
        while ((r = read(fd, buf, sizeof buf)) > 0) c.in.append(buf, static_cast<size_t>(r));
        open = !(r == 0 || (r < 0 && errno != EAGAIN)) && Serve(c);
      }
      while (open && !c.out.empty()) {
        const ssize_t w = write(fd, c.out.data(), c.out.size());
        if (w < 0) {
          open = errno == EAGAIN;
          break;
        }
        c.out.erase(0, static_cast<size_t>(w));
      }
      if (!open) {
        close(fd);
        clients.erase(fd);
        continue;
      }
      if (c.watching_out == c.out.empty()) {
        c.watching_out = !c.out.empty();
        ev.events = EPOLLIN | (c.watching_out ? static_cast<uint32_t>(EPOLLOUT) : 0u);
        ev.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev);
      }
    }
  }
}
