// The push tests over Parley's own protocol (docs/protocol.md, "Push").
//
// Set-up registers one user per subscriber and a publisher, who creates the
// chats; every subscriber joins every chat. A no-op is a join of a chat the
// user is already in. A subscriber's stream accepts, in order, the replies to
// its joins, its subscribes ("ok" and a frame with the chat's last id), and
// new-message events of the first chat from the publisher, whose ids grow
// past the last id reported. The publisher's stream accepts only "ok" to a send.
#include <cstring>

#include "Fanout.h"
#include "Setup.h"
#include "Workload.h"
#include "protocol/Wire.h"

namespace parley::bench {

using namespace parley::wire;

namespace {

// Per-connection input buffer, and the longest frame accepted in it (an event
// is at most about 6.5 KB).
constexpr size_t kBufSize = 65536;
constexpr int32_t kMaxFrame = 32768;

struct ParleyNames {
  std::string publisher;
  std::vector<std::string> users;  // one per subscriber
  std::vector<std::string> chats;  // chats[0] is published to
};

class ParleyStream final : public PushStream {
 public:
  ParleyStream(std::string publisher_name, std::string chat, bool publisher)
      : publisher_name_(std::move(publisher_name)), chat_(std::move(chat)), publisher_(publisher) {}

  std::span<char> Space() override {
    if (begin_ == end_) {
      begin_ = end_ = 0;
    } else if (kBufSize - end_ < static_cast<size_t>(kMaxFrame)) {
      std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    return {buf_.get() + end_, kBufSize - end_};
  }

  void Commit(size_t bytes) override { end_ += bytes; }

  StreamItem Next() override {
    for (;;) {
      const std::string_view avail(buf_.get() + begin_, end_ - begin_);
      if (avail.size() < kLengthSize) return {};
      const int32_t len = LoadI32(avail.data());
      if (len < static_cast<int32_t>(kWordSize) || len > kMaxFrame)
        return Bad("a frame of length " + std::to_string(len));
      if (avail.size() < kLengthSize + static_cast<size_t>(len)) return {};
      const uint64_t type = LoadU64(avail.data() + kLengthSize);
      const std::string_view body = avail.substr(kLengthSize + kWordSize, static_cast<size_t>(len) - kWordSize);
      begin_ += kLengthSize + static_cast<size_t>(len);
      if (awaiting_last_id_) {
        awaiting_last_id_ = false;
        if (type != EV_SUBSCRIBE || body.size() != kWordSize) return Bad("a subscribe's \"ok\" without its last id");
        last_id_ = std::max(last_id_, static_cast<int64_t>(LoadU64(body.data())));
        return {StreamItem::Kind::kSubscribed, {}};
      }
      if (type == PUSH_MESSAGE && !publisher_) return Event(body);
      if (IsPush(type)) return Bad("an event of type " + std::to_string(type & ~kPushBit));
      BodyReader r(body);
      auto status = r.String();
      if (!status || !r.AtEnd()) return Bad("a malformed reply of type " + std::to_string(type));
      const bool due = publisher_ ? type == EV_SENGMSG : type == EV_JOINCHAT || type == EV_SUBSCRIBE;
      if (!due) return Bad("a reply of type " + std::to_string(type) + " that was not due");
      if (*status != "ok") return Bad("a request of type " + std::to_string(type) + " refused");
      if (type != EV_SUBSCRIBE) return {StreamItem::Kind::kReply, {}};
      awaiting_last_id_ = true;
    }
  }

 private:
  StreamItem Bad(std::string why) {
    error_ = std::move(why);
    return {StreamItem::Kind::kBad, error_};
  }

  StreamItem Event(std::string_view body) {
    BodyReader r(body);
    auto chat = r.String();
    auto id = r.Int();
    auto sender = r.String();
    auto text = r.String();
    if (!text || !r.AtEnd()) return Bad("a malformed new-message event");
    if (*chat != chat_ || *sender != publisher_name_) return Bad("an event of another chat or sender");
    if (static_cast<int64_t>(*id) <= last_id_) return Bad("an event whose id is not past the last one");
    last_id_ = static_cast<int64_t>(*id);
    return {StreamItem::Kind::kEvent, *text};
  }

  const std::string publisher_name_, chat_;  // the only sender and chat of the events
  const bool publisher_;
  std::unique_ptr<char[]> buf_ = std::make_unique<char[]>(kBufSize);
  size_t begin_ = 0, end_ = 0;
  bool awaiting_last_id_ = false;
  int64_t last_id_ = kNoMessage;
  std::string error_;
};

class ParleyProtocol final : public PushProtocol {
 public:
  bool Prepare(const Address& address, int subscribers, int chats, std::string& err) override {
    const std::string prefix = RandomPrefix();
    names_ = {prefix + "pub", {}, {}};
    for (int i = 0; i < subscribers; ++i) names_.users.push_back(prefix + "s" + std::to_string(i));
    for (int c = 0; c < chats; ++c) names_.chats.push_back(prefix + "f" + std::to_string(c));
    std::vector<SetupRequest> reqs;
    auto add = [&](uint64_t type, auto... fields) {
      std::string f;
      FrameBuilder b(f, type);
      (b.String(fields), ...);
      b.End();
      reqs.emplace_back(type, std::move(f));
    };
    add(EV_REGISTER, names_.publisher);
    for (const auto& u : names_.users) add(EV_REGISTER, u);
    for (const auto& c : names_.chats) add(EV_CREATECHAT, names_.publisher, c);
    for (const auto& u : names_.users)
      for (const auto& c : names_.chats) add(EV_JOINCHAT, u, c);
    return RunSetup(address, reqs, err) == SetupError::kNone;
  }

  size_t MaxBody() const override { return MaxBodyBytes(names_.publisher.size(), names_.chats.at(0).size()); }

  void AppendNoop(std::string& out, size_t conn, size_t chat) const override {
    FrameBuilder(out, EV_JOINCHAT).String(names_.users[conn]).String(names_.chats[chat]).End();
  }
  void AppendSubscribe(std::string& out, size_t conn, size_t chat) const override {
    FrameBuilder(out, EV_SUBSCRIBE).String(names_.users[conn]).String(names_.chats[chat]).End();
  }
  void AppendPublish(std::string& out, std::string_view body) const override {
    FrameBuilder(out, EV_SENGMSG).String(names_.publisher).String(names_.chats[0]).String(body).End();
  }
  std::unique_ptr<PushStream> NewStream(bool publisher) const override {
    return ParleyPushStream(names_.publisher, names_.chats.at(0), publisher);
  }

 private:
  ParleyNames names_;
};

}  // namespace

std::unique_ptr<PushStream> ParleyPushStream(std::string publisher, std::string chat, bool publisher_side) {
  return std::make_unique<ParleyStream>(std::move(publisher), std::move(chat), publisher_side);
}

std::unique_ptr<PushProtocol> MakeParleyProtocol() { return std::make_unique<ParleyProtocol>(); }

}  // namespace parley::bench
