#include "Setup.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

namespace parley::bench {

using namespace parley::wire;

namespace {

// Requests written at once during set-up before their replies are read.
constexpr size_t kSetupBatch = 256;
// Longest wait for any set-up reply.
constexpr int kSetupTimeoutMs = 10000;

struct OwnedFrame {
  uint64_t type = 0;
  std::string body;
};

// A blocking connection with bounded reads, for the set-up phase only.
class SyncConnection {
 public:
  explicit SyncConnection(Stream stream) : stream_(std::move(stream)) {}

  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = stream_.Send(bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // Reads one whole frame; nothing on timeout, EOF or a corrupt length.
  std::optional<OwnedFrame> Read() {
    for (;;) {
      FrameSplit s = SplitFrame(buf_);
      if (s.complete) {
        if (!s.ok) return std::nullopt;
        OwnedFrame f{s.frame.type, std::string(s.frame.body)};
        buf_.erase(0, s.consumed);
        return f;
      }
      if (!stream_.Buffered()) {
        pollfd p{stream_.fd(), POLLIN, 0};
        int rc = ::poll(&p, 1, kSetupTimeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return std::nullopt;
      }
      char chunk[16384];
      ssize_t n = stream_.Recv(chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      buf_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  Stream stream_;
  std::string buf_;
};

bool IsOk(const OwnedFrame& f, uint64_t type) {
  BodyReader r(f.body);
  auto s = r.String();
  return f.type == type && s && *s == "ok" && r.AtEnd();
}

// Writes the requests in batches and insists on an "ok" for each.
bool RunAll(SyncConnection& conn, const std::vector<SetupRequest>& reqs, std::string& err) {
  for (size_t i = 0; i < reqs.size(); i += kSetupBatch) {
    size_t end = std::min(reqs.size(), i + kSetupBatch);
    std::string out;
    for (size_t j = i; j < end; ++j) out += reqs[j].second;
    if (!conn.Write(out)) {
      err = "write failed during set-up";
      return false;
    }
    for (size_t j = i; j < end; ++j) {
      auto f = conn.Read();
      if (!f) {
        err = "no reply during set-up (request type " + std::to_string(reqs[j].first) + ")";
        return false;
      }
      if (!IsOk(*f, reqs[j].first)) {
        err = "set-up request of type " + std::to_string(reqs[j].first) + " was not answered \"ok\"";
        return false;
      }
    }
  }
  return true;
}

}  // namespace

std::string RandomPrefix() {
  std::random_device rd;
  uint64_t v = (static_cast<uint64_t>(rd()) << 32) ^ rd() ^
               static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  char buf[32];
  std::snprintf(buf, sizeof buf, "pb%010llx_", static_cast<unsigned long long>(v & 0xffffffffffULL));
  return buf;
}

SetupError RunSetup(const Address& address, const std::vector<SetupRequest>& reqs, std::string& err) {
  Stream stream = ConnectStream(address, err);
  if (!stream.valid()) return SetupError::kUnreachable;
  SyncConnection conn(std::move(stream));
  return RunAll(conn, reqs, err) ? SetupError::kNone : SetupError::kBadReply;
}

void NameFixture(Fixture& fx, int clients, size_t body_bytes) {
  fx.prefix = RandomPrefix();
  fx.users.clear();
  for (int i = 0; i < clients; ++i) fx.users.push_back(fx.prefix + "c" + std::to_string(i));
  fx.send_chat = fx.prefix + "send";
  fx.list_chat = fx.prefix + "list";
  fx.body = MessageBody(body_bytes);
}

SetupError BuildFixture(const Address& address, Fixture& fx, std::string& err) {
  Stream stream = ConnectStream(address, err);
  if (!stream.valid()) return SetupError::kUnreachable;
  SyncConnection conn(std::move(stream));

  auto frame = [](auto build) {
    std::string f;
    build(f);
    return f;
  };
  const std::string& owner = fx.users.at(0);
  std::vector<SetupRequest> reqs;
  for (const auto& u : fx.users)
    reqs.emplace_back(EV_REGISTER, frame([&](std::string& f) { FrameBuilder(f, EV_REGISTER).String(u).End(); }));
  for (const auto* chat : {&fx.send_chat, &fx.list_chat})
    reqs.emplace_back(EV_CREATECHAT, frame([&](std::string& f) {
                        FrameBuilder(f, EV_CREATECHAT).String(owner).String(*chat).End();
                      }));
  for (size_t i = 1; i < fx.users.size(); ++i)
    reqs.emplace_back(EV_JOINCHAT, frame([&](std::string& f) {
                        FrameBuilder(f, EV_JOINCHAT).String(fx.users[i]).String(fx.send_chat).End();
                      }));
  for (size_t i = 0; i < kListChatSize; ++i)
    reqs.emplace_back(EV_SENGMSG, frame([&](std::string& f) {
                        FrameBuilder(f, EV_SENGMSG).String(owner).String(fx.list_chat).String(fx.body).End();
                      }));
  if (!RunAll(conn, reqs, err)) return SetupError::kBadReply;

  // Learn the ids of the list chat.
  std::string list;
  FrameBuilder(list, EV_GETCHAT).String(fx.list_chat).End();
  if (!conn.Write(list)) {
    err = "write failed during set-up";
    return SetupError::kBadReply;
  }
  auto status = conn.Read();
  auto data = status && IsOk(*status, EV_GETCHAT) ? conn.Read() : std::nullopt;
  if (!data || data->type != EV_GETCHAT) {
    err = "listing the set-up chat failed";
    return SetupError::kBadReply;
  }
  BodyReader r(data->body);
  auto ids = r.IdList();
  if (!ids || !r.AtEnd() || ids->size() != kListChatSize) {
    err = "the set-up chat should list " + std::to_string(kListChatSize) + " ids, got " +
          (ids ? std::to_string(ids->size()) : std::string("a malformed list"));
    return SetupError::kBadReply;
  }
  fx.list_ids = std::move(*ids);
  FinishFixture(fx);
  return SetupError::kNone;
}

}  // namespace parley::bench
