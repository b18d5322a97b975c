// What parley-bench asks of the server and what it accepts as an answer.
//
// A test is a stream of operations (send, fetch, list, register). Each
// operation is one request frame; its reply is a status frame echoing the
// request's type code with the text "ok", and for fetch and list a second
// frame whose body must equal what the set-up phase stored. Anything else is
// an error: a wrong type code is a broken stream, a "no" or a wrong data body
// is a wrong answer on a stream that is still in step.
//
// Plain functions and values: no I/O, no threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Wire.h"

namespace parley::bench {

// The benchmark tests, in the order they run. The first five time requests and
// their replies (Driver.h); subscribe and fanout time subscriptions and pushed
// events (Fanout.h) and run only when asked for.
enum class TestKind { kSend, kFetch, kList, kRegister, kMixed, kSubscribe, kFanout };
inline constexpr TestKind kAllTests[] = {TestKind::kSend,  TestKind::kFetch,     TestKind::kList,  TestKind::kRegister,
                                         TestKind::kMixed, TestKind::kSubscribe, TestKind::kFanout};
inline constexpr TestKind kRequestTests[] = {TestKind::kSend, TestKind::kFetch, TestKind::kList, TestKind::kRegister,
                                             TestKind::kMixed};
inline bool IsPushTest(TestKind kind) { return kind == TestKind::kSubscribe || kind == TestKind::kFanout; }

std::string_view TestName(TestKind kind);
std::optional<TestKind> ParseTestName(std::string_view name);

// One request kind of the timed phase.
enum class Op : uint8_t { kSend, kFetch, kList, kRegister };

uint64_t TypeCode(Op op);
// True for the operations whose "ok" is followed by a data frame.
inline bool HasDataFrame(Op op) { return op == Op::kFetch || op == Op::kList; }

// Messages stored in the list chat by the set-up phase.
inline constexpr size_t kListChatSize = 100;

// Names and data created before any test is timed. Read-only while tests run.
struct Fixture {
  std::string prefix;               // unique per run, starts every name below
  std::vector<std::string> users;   // one per client connection, all members of send_chat
  std::string send_chat;            // target of send (and of mixed's sends)
  std::string list_chat;            // holds exactly kListChatSize messages from users[0]
  std::vector<int64_t> list_ids;    // ids of those messages, oldest first
  std::string body;                 // the -d byte message body
  std::string expected_list_body;   // exact body of list_chat's data frame
  std::string expected_fetch_body;  // exact body of a fetch data frame for any of list_ids
};

// Builds the two expected data bodies from the other fields.
void FinishFixture(Fixture& fx);

// The body every benchmark message carries: `bytes` bytes of a fixed pattern.
std::string MessageBody(size_t bytes);

// Largest -d body for which a send request from `user` to `chat` still fits in
// one frame (and so does the fetch reply carrying it back).
size_t MaxBodyBytes(size_t user_len, size_t chat_len);

// Appends the request frame of `op` to `out`. `conn` picks the acting user
// (users[conn % users.size()]); `seq` picks the message id to fetch and makes
// register names unique together with `conn`.
void AppendRequest(std::string& out, Op op, const Fixture& fx, size_t conn, uint64_t seq);

// Verdict on one reply frame.
enum class Check {
  kDone,      // the request is answered correctly
  kNeedData,  // status "ok" of fetch/list: its data frame comes next
  kWrong,     // a wrong answer ("no", wrong data); the stream is still in step
  kBroken,    // not a reply to this request (wrong type code, bad shape); stream lost
};

// Checks `frame` as the status reply to `op`.
Check CheckStatus(Op op, const wire::ReplyFrame& frame);
// Checks `frame` as the data frame that follows `op`'s "ok".
Check CheckData(Op op, const wire::ReplyFrame& frame, const Fixture& fx);

// Deterministic operation mix of the `mixed` test: 60% fetch, 25% list,
// 15% send, drawn from a per-connection xorshift generator.
class MixedPicker {
 public:
  explicit MixedPicker(uint64_t seed) : state_(seed | 1) {}
  Op Next();

 private:
  uint64_t state_;
};

// Picks the operation for request `seq` of test `kind`.
inline Op OpFor(TestKind kind, MixedPicker& mix) {
  switch (kind) {
    case TestKind::kSend: return Op::kSend;
    case TestKind::kFetch: return Op::kFetch;
    case TestKind::kList: return Op::kList;
    case TestKind::kRegister: return Op::kRegister;
    case TestKind::kMixed:
    case TestKind::kSubscribe:
    case TestKind::kFanout: break;
  }
  return mix.Next();
}

}  // namespace parley::bench
