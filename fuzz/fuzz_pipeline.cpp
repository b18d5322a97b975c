// Fuzz target: a client's bytes cut, decoded and processed against a fresh
// store; every reply must be well formed and equal the store model's answer.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Reference.h"
#include "net/Framing.h"
#include "protocol/Events.h"
#include "security/Secrets.h"
#include "store/ResourceManager.h"

namespace {

namespace wire = parley::wire;
using parley::fuzz::Expected;
using parley::fuzz::Request;

struct ReplyFrame {
  uint64_t type;
  std::string_view body;  // after the type code
};

// Splits `out` into whole frames; every byte must belong to one.
std::vector<ReplyFrame> SplitReplies(std::string_view out) {
  std::vector<ReplyFrame> frames;
  while (!out.empty()) {
    FUZZ_CHECK(out.size() >= 4, "a reply ends inside a length prefix");
    const int32_t len = wire::LoadI32(out.data());
    FUZZ_CHECK(len >= 8, "a reply frame too short for its type code");
    FUZZ_CHECK(static_cast<size_t>(len) <= out.size() - 4, "a reply frame's length runs past the reply");
    frames.push_back({wire::LoadU64(out.data() + 4), out.substr(12, static_cast<size_t>(len) - 8)});
    out.remove_prefix(4 + static_cast<size_t>(len));
  }
  return frames;
}

class Pipeline final : public parley::FrameSink {
 public:
  void OnFrame(const char* payload, size_t len) override {
    const std::string_view bytes(payload, len);
    std::shared_ptr<parley::Event> ev = parley::DecodeRequest(payload, len);
    const std::optional<Request> req = parley::fuzz::ReferenceDecode(bytes);
    FUZZ_CHECK(static_cast<bool>(ev) == req.has_value(), "decodes where the reference does not, or the reverse");
    if (!ev) return;  // rejected: no reply, nothing changes
    FUZZ_CHECK(ev->GetType() == req->type, "wrong type stamped");

    out_.clear();
    ev->SetOutput(&out_);
    const bool ok = ev->Run(store_.get());
    const Expected want = model_.Apply(*req);
    Check(*req, ok, want);
    if (ok && (req->type == wire::EV_SENGMSG || req->type == wire::EV_FORWARDMSG)) {
      const std::string& chat = req->strings[req->type == wire::EV_SENGMSG ? 1 : 2];
      const std::vector<parley::MessageId> ids = store_->GetChatMsgsID(chat);
      FUZZ_CHECK(!ids.empty(), "a posted message is not listed");
      model_.LearnId(ids.back());
    }
  }
  void OnBadLength(int32_t) override {}

 private:
  void Check(const Request& req, bool ok, const Expected& want) {
    const std::vector<ReplyFrame> frames = SplitReplies(out_);
    FUZZ_CHECK(!frames.empty(), "a decodable request got no reply");
    for (const ReplyFrame& f : frames) FUZZ_CHECK(f.type == req.type, "a reply does not echo the request's type");

    wire::BodyReader status(frames[0].body);
    const std::optional<std::string_view> word = status.String();
    FUZZ_CHECK(word && status.AtEnd() && (*word == "ok" || *word == "no"), "the first frame is not a status");
    FUZZ_CHECK(frames[0].body.size() == 10, "a status frame is not 22 bytes");
    FUZZ_CHECK((*word == "ok") == ok, "Process's result disagrees with its status reply");
    FUZZ_CHECK(ok == want.ok, "the answer differs from the store model's");

    const bool has_data = ok && (req.type == wire::EV_GETMSG || req.type == wire::EV_GETCHAT ||
                                 req.type == wire::EV_HISTORY);
    FUZZ_CHECK(frames.size() == (has_data ? 2u : 1u), "wrong number of reply frames");
    if (!has_data) return;
    wire::BodyReader data(frames[1].body);
    if (req.type == wire::EV_HISTORY) {
      const std::optional<uint64_t> count = data.Int(), more = data.Int();
      FUZZ_CHECK(count && more && *more <= 1, "a malformed history frame");
      std::vector<Expected::Entry> page;
      for (uint64_t i = 0; i < *count; ++i) {
        const std::optional<uint64_t> id = data.Int(), flags = data.Int();
        const std::optional<std::string_view> sender = data.String(), body = data.String();
        FUZZ_CHECK(id && flags && *flags <= 1 && sender && body, "a malformed history entry");
        page.push_back({static_cast<int64_t>(*id), *flags == 1, std::string(*sender), std::string(*body)});
      }
      FUZZ_CHECK(data.AtEnd(), "bytes after the history page");
      FUZZ_CHECK(page == want.page && (*more == 1) == want.more, "the history page differs from the store model's");
    } else if (req.type == wire::EV_GETCHAT) {
      const std::optional<std::vector<int64_t>> ids = data.IdList();
      FUZZ_CHECK(ids && data.AtEnd(), "a malformed list frame");
      FUZZ_CHECK(*ids == want.ids, "the listed ids differ from the store model's");
    } else {
      const std::optional<std::string_view> sender = data.String();
      const std::optional<std::string_view> body = data.String();
      FUZZ_CHECK(sender && body && data.AtEnd(), "a malformed message frame");
      FUZZ_CHECK(*sender == want.sender && *body == want.body, "the fetched message differs from the store model's");
    }
  }

  std::unique_ptr<parley::ResourceManager> store_ = parley::ResourceManager::CreateStandalone();
  parley::fuzz::StoreModel model_;
  std::string out_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Secrets are hashed at the least cost: thousands of inputs a second.
  [[maybe_unused]] static const bool ready = (parley::secrets::UseMinimalCostForTesting(), parley::secrets::Init());
  Pipeline pipeline;
  const size_t used = parley::CutFrames(reinterpret_cast<const char*>(data), size, pipeline);
  FUZZ_CHECK(used <= size, "consumed more than given");
  return 0;
}
