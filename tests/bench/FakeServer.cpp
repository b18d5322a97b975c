#include "FakeServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/Wire.h"

namespace parley::test {

using namespace parley::wire;

FakeServer::~FakeServer() {
  stopping_ = true;
  if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard lk(mu_);
    for (int fd : client_fds_) ::shutdown(fd, SHUT_RDWR);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  for (int fd : client_fds_) ::close(fd);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

bool FakeServer::Start() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_fd_, 128) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return false;
  port_ = ntohs(a.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void FakeServer::AcceptLoop() {
  while (!stopping_) {
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stopping_) return;
      continue;
    }
    std::lock_guard lk(mu_);
    client_fds_.push_back(fd);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void FakeServer::Serve(int fd) {
  std::string in, out;
  char chunk[8192];
  bool open = true;
  while (open) {
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    in.append(chunk, static_cast<size_t>(n));
    size_t used = 0;
    for (;;) {
      std::string_view rest(in.data() + used, in.size() - used);
      if (rest.size() < kLengthSize) break;
      int32_t len = LoadI32(rest.data());
      if (len < 8 || rest.size() < kLengthSize + static_cast<size_t>(len)) break;
      open = Handle(rest.substr(kLengthSize, static_cast<size_t>(len)), out);
      used += kLengthSize + static_cast<size_t>(len);
      if (!open) break;
    }
    in.erase(0, used);
    if (!out.empty() && ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) break;
    out.clear();
  }
  ::shutdown(fd, SHUT_RDWR);  // the descriptor itself is closed by the destructor
}

bool FakeServer::Handle(std::string_view payload, std::string& out) {
  const uint64_t type = LoadU64(payload.data());
  BodyReader r(payload.substr(kWordSize));
  auto status = [&](bool ok) { FrameBuilder(out, type).String(ok ? "ok" : "no").End(); };
  std::lock_guard lk(mu_);
  switch (type) {
    case EV_REGISTER: {
      auto u = r.String();
      status(u && users_.insert(std::string(*u)).second);
      return true;
    }
    case EV_CREATECHAT:
    case EV_JOINCHAT: {
      auto u = r.String();
      auto c = r.String();
      bool ok = u && c && users_.count(std::string(*u));
      if (ok && type == EV_CREATECHAT) ok = chats_.emplace(std::string(*c), Chat{}).second;
      auto it = ok ? chats_.find(std::string(*c)) : chats_.end();
      if (it != chats_.end()) it->second.members.insert(std::string(*u));
      status(it != chats_.end());
      return true;
    }
    case EV_SENGMSG: {
      auto u = r.String();
      auto c = r.String();
      auto b = r.String();
      if (fault_ == Fault::kCloseOnSend && c && c->ends_with("send")) return false;
      auto it = c ? chats_.find(std::string(*c)) : chats_.end();
      bool ok = u && b && it != chats_.end() && it->second.members.count(std::string(*u));
      if (ok) {
        it->second.ids.push_back(static_cast<int64_t>(messages_.size()));
        messages_.push_back({std::string(*u), std::string(*b)});
      }
      status(ok);
      return true;
    }
    case EV_GETMSG: {
      auto c = r.String();
      auto id = r.Int();
      bool ok = c && id && chats_.count(std::string(*c)) && *id < messages_.size() &&
                fault_ != Fault::kFetchSaysNo;
      status(ok);
      if (ok) {
        const Message& m = messages_[*id];
        std::string body = m.body;
        if (fault_ == Fault::kCorruptFetch && !body.empty()) body[0] = static_cast<char>(body[0] ^ 1);
        FrameBuilder(out, type).String(m.sender).String(body).End();
      }
      return true;
    }
    case EV_GETCHAT: {
      auto c = r.String();
      auto it = c ? chats_.find(std::string(*c)) : chats_.end();
      status(it != chats_.end());
      if (it != chats_.end()) {
        std::vector<int64_t> ids = it->second.ids;
        if (fault_ == Fault::kStaleList && lists_served_ > 0 && !ids.empty()) ids.pop_back();
        ++lists_served_;
        FrameBuilder f(out, type);
        f.Int(ids.size());
        for (int64_t id : ids) f.Int(static_cast<uint64_t>(id));
        f.End();
      }
      return true;
    }
    default:
      status(false);
      return true;
  }
}

}  // namespace parley::test
