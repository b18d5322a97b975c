#include "Workload.h"

#include <algorithm>

namespace parley::bench {

using namespace parley::wire;

namespace {
constexpr std::string_view kOk = "ok";

// Exact status body: an 8-byte length 2 followed by "ok".
bool IsOkBody(std::string_view body) {
  BodyReader r(body);
  auto s = r.String();
  return s && *s == kOk && r.AtEnd();
}

// A well-formed status body of either verdict ("ok" or anything else of that shape).
bool IsStatusShape(std::string_view body) {
  BodyReader r(body);
  auto s = r.String();
  return s && r.AtEnd();
}
}  // namespace

std::string_view TestName(TestKind kind) {
  switch (kind) {
    case TestKind::kSend: return "send";
    case TestKind::kFetch: return "fetch";
    case TestKind::kList: return "list";
    case TestKind::kRegister: return "register";
    case TestKind::kMixed: return "mixed";
    case TestKind::kSubscribe: return "subscribe";
    case TestKind::kFanout: return "fanout";
  }
  return "?";
}

std::optional<TestKind> ParseTestName(std::string_view name) {
  for (TestKind k : kAllTests)
    if (TestName(k) == name) return k;
  return std::nullopt;
}

uint64_t TypeCode(Op op) {
  switch (op) {
    case Op::kSend: return EV_SENGMSG;
    case Op::kFetch: return EV_GETMSG;
    case Op::kList: return EV_GETCHAT;
    case Op::kRegister: return EV_REGISTER;
  }
  return EV_REGISTER;
}

std::string MessageBody(size_t bytes) { return std::string(bytes, 'x'); }

size_t MaxBodyBytes(size_t user_len, size_t chat_len) {
  // Send payload: type + (len + user) + (len + chat) + (len + body).
  size_t fixed = 4 * kWordSize + user_len + chat_len;
  size_t limit = static_cast<size_t>(kMaxPayload);
  return fixed >= limit ? 0 : limit - fixed;
}

void FinishFixture(Fixture& fx) {
  fx.expected_list_body.clear();
  PutU64(fx.expected_list_body, fx.list_ids.size());
  for (int64_t id : fx.list_ids) PutU64(fx.expected_list_body, static_cast<uint64_t>(id));
  fx.expected_fetch_body.clear();
  PutString(fx.expected_fetch_body, fx.users.empty() ? std::string_view{} : fx.users[0]);
  PutString(fx.expected_fetch_body, fx.body);
}

void AppendRequest(std::string& out, Op op, const Fixture& fx, size_t conn, uint64_t seq) {
  const std::string& user = fx.users[conn % fx.users.size()];
  switch (op) {
    case Op::kSend:
      FrameBuilder(out, EV_SENGMSG).String(user).String(fx.send_chat).String(fx.body).End();
      return;
    case Op::kFetch: {
      int64_t id = fx.list_ids[seq % fx.list_ids.size()];
      FrameBuilder(out, EV_GETMSG).String(fx.list_chat).Int(static_cast<uint64_t>(id)).End();
      return;
    }
    case Op::kList:
      FrameBuilder(out, EV_GETCHAT).String(fx.list_chat).End();
      return;
    case Op::kRegister: {
      // prefix + "r" + connection + "." + sequence: unique within the run.
      std::string name = fx.prefix;
      name += 'r';
      name += std::to_string(conn);
      name += '.';
      name += std::to_string(seq);
      FrameBuilder(out, EV_REGISTER).String(name).End();
      return;
    }
  }
}

Check CheckStatus(Op op, const ReplyFrame& frame) {
  if (frame.type != TypeCode(op) || !IsStatusShape(frame.body)) return Check::kBroken;
  if (!IsOkBody(frame.body)) return Check::kWrong;
  return HasDataFrame(op) ? Check::kNeedData : Check::kDone;
}

Check CheckData(Op op, const ReplyFrame& frame, const Fixture& fx) {
  if (!HasDataFrame(op) || frame.type != TypeCode(op)) return Check::kBroken;
  const std::string& want = op == Op::kList ? fx.expected_list_body : fx.expected_fetch_body;
  return frame.body == want ? Check::kDone : Check::kWrong;
}

Op MixedPicker::Next() {
  // xorshift64: cheap, deterministic, good enough to shuffle a 60/25/15 mix.
  state_ ^= state_ << 13;
  state_ ^= state_ >> 7;
  state_ ^= state_ << 17;
  uint64_t r = state_ % 100;
  if (r < 60) return Op::kFetch;
  if (r < 85) return Op::kList;
  return Op::kSend;
}

}  // namespace parley::bench
