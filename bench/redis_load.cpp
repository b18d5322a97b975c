// redis-load: parley-bench's tests over Redis, for a side-by-side comparison
// with the very same measurement code.
//
// It takes parley-bench's command line and runs the tests of -t that it knows.
// The request tests send, fetch, list and register are asked as the Redis
// commands compare-redis.sh pairs them with: LPUSH of the body to one list,
// GET of one key holding the body, LRANGE of the first 100 of a list of 100
// bodies, SADD of a fresh member to one set; the connections, pipelining and
// timing are parley-bench's own (Driver.h), so its latencies and
// redis-benchmark's can be told apart from the servers'. The push tests:
// a chat is a channel; a subscriber is a connection that SUBSCRIBEs to it;
// the publisher PUBLISHes, and each PUBLISH must be answered with the number
// of subscribers. A no-op is a PING. Replies are parsed with hiredis's reader,
// commands built with its formatter.
#include <hiredis/hiredis.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Driver.h"
#include "Fanout.h"
#include "Options.h"
#include "Report.h"
#include "Setup.h"

using namespace parley::bench;

namespace {

struct ReaderFree {
  void operator()(redisReader* r) const { redisReaderFree(r); }
};
struct ReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
struct CommandFree {
  void operator()(char* c) const { redisFreeCommand(c); }
};
struct ContextFree {
  void operator()(redisContext* c) const { redisFree(c); }
};

// Appends one command, its arguments as binary-safe strings.
void AppendCommand(std::string& out, std::initializer_list<std::string_view> args) {
  constexpr size_t kMaxArgs = 4;
  const char* argv[kMaxArgs];
  size_t lens[kMaxArgs];
  size_t argc = 0;
  for (std::string_view a : args) {
    if (argc == kMaxArgs) std::abort();  // a command of this file's own making
    argv[argc] = a.data();
    lens[argc++] = a.size();
  }
  char* raw = nullptr;
  int n = redisFormatCommandArgv(&raw, static_cast<int>(argc), argv, lens);
  std::unique_ptr<char, CommandFree> cmd(raw);
  if (n > 0) out.append(cmd.get(), static_cast<size_t>(n));
}

std::string_view Str(const redisReply* r) {
  return r->str == nullptr ? std::string_view{} : std::string_view(r->str, r->len);
}

class RedisStream final : public PushStream {
 public:
  RedisStream(const std::vector<std::string>& channels, long long subscribers, bool publisher)
      : channels_(channels), subscribers_(subscribers), publisher_(publisher) {}

  std::span<char> Space() override { return {scratch_.get(), kScratch}; }
  void Commit(size_t bytes) override { redisReaderFeed(reader_.get(), scratch_.get(), bytes); }

  StreamItem Next() override {
    reply_.reset();
    void* raw = nullptr;
    if (redisReaderGetReply(reader_.get(), &raw) != REDIS_OK)
      return Bad(std::string("protocol error: ") + reader_->errstr);
    if (raw == nullptr) return {};
    reply_.reset(static_cast<redisReply*>(raw));
    const redisReply* r = reply_.get();
    if (publisher_) {
      if (r->type == REDIS_REPLY_INTEGER && r->integer == subscribers_) return {StreamItem::Kind::kReply, {}};
      return Bad(r->type == REDIS_REPLY_INTEGER ? "a PUBLISH reached " + std::to_string(r->integer) + " subscribers"
                                                : "a PUBLISH not answered with an integer");
    }
    if (r->type == REDIS_REPLY_STATUS && Str(r) == "PONG") return {StreamItem::Kind::kReply, {}};
    if (r->type == REDIS_REPLY_ARRAY && r->elements == 3 && r->element[0]->type == REDIS_REPLY_STRING) {
      const std::string_view kind = Str(r->element[0]), channel = Str(r->element[1]);
      if (kind == "subscribe" && r->element[2]->type == REDIS_REPLY_INTEGER) return {StreamItem::Kind::kSubscribed, {}};
      if (kind == "message" && channel == channels_.at(0) && r->element[2]->type == REDIS_REPLY_STRING)
        return {StreamItem::Kind::kEvent, Str(r->element[2])};
    }
    return Bad(r->type == REDIS_REPLY_ERROR ? "error: " + std::string(Str(r)) : "a reply of an unexpected shape");
  }

 private:
  static constexpr size_t kScratch = 65536;

  StreamItem Bad(std::string why) {
    error_ = std::move(why);
    return {StreamItem::Kind::kBad, error_};
  }

  const std::vector<std::string>& channels_;
  const long long subscribers_;
  const bool publisher_;
  std::unique_ptr<redisReader, ReaderFree> reader_{redisReaderCreate()};
  std::unique_ptr<redisReply, ReplyFree> reply_;
  std::unique_ptr<char[]> scratch_ = std::make_unique<char[]>(kScratch);
  std::string error_;
};

class RedisProtocol final : public PushProtocol {
 public:
  bool Prepare(const Address&, int subscribers, int chats, std::string&) override {
    const std::string prefix = RandomPrefix();
    subscribers_ = subscribers;
    channels_.clear();
    for (int c = 0; c < chats; ++c) channels_.push_back(prefix + "f" + std::to_string(c));
    return true;
  }
  size_t MaxBody() const override { return size_t{1} << 20; }
  void AppendNoop(std::string& out, size_t, size_t) const override { AppendCommand(out, {"PING"}); }
  void AppendSubscribe(std::string& out, size_t, size_t chat) const override {
    AppendCommand(out, {"SUBSCRIBE", channels_[chat]});
  }
  void AppendPublish(std::string& out, std::string_view body) const override {
    AppendCommand(out, {"PUBLISH", channels_[0], body});
  }
  std::unique_ptr<PushStream> NewStream(bool publisher) const override {
    return std::make_unique<RedisStream>(channels_, subscribers_, publisher);
  }

 private:
  long long subscribers_ = 0;
  std::vector<std::string> channels_;
};

// The request tests' replies: one reply per request, judged by its operation.
class RedisReader final : public ReplyReader {
 public:
  explicit RedisReader(const std::string& body) : body_(body) {}

  Reply Take(std::string_view in, Op op, size_t& used) override {
    if (!in.empty()) {  // the reader keeps what it is given
      redisReaderFeed(reader_.get(), in.data(), in.size());
      used += in.size();
    }
    void* raw = nullptr;
    if (redisReaderGetReply(reader_.get(), &raw) != REDIS_OK)
      return {Reply::Kind::kBroken, std::string("protocol error: ") + reader_->errstr};
    if (raw == nullptr) return {};
    const std::unique_ptr<redisReply, ReplyFree> reply(static_cast<redisReply*>(raw));
    const redisReply* r = reply.get();
    if (r->type == REDIS_REPLY_ERROR) return Wrong("error: " + std::string(Str(r)));
    switch (op) {
      case Op::kSend:
      case Op::kRegister:
        if (r->type == REDIS_REPLY_INTEGER) return Done();
        break;
      case Op::kFetch:
        if (r->type == REDIS_REPLY_STRING && Str(r) == body_) return Done();
        break;
      case Op::kList: {
        if (r->type != REDIS_REPLY_ARRAY || r->elements != kListChatSize) break;
        for (size_t i = 0; i < r->elements; ++i)
          if (r->element[i]->type != REDIS_REPLY_STRING || Str(r->element[i]) != body_) return Wrong("wrong data");
        return Done();
      }
    }
    return Wrong("a reply of an unexpected shape");
  }

 private:
  static Reply Done() { return {Reply::Kind::kDone, {}}; }
  static Reply Wrong(std::string why) { return {Reply::Kind::kWrong, std::move(why)}; }

  const std::string& body_;
  std::unique_ptr<redisReader, ReaderFree> reader_{redisReaderCreate()};
};

class RedisRequests final : public RequestProtocol {
 public:
  RedisRequests(const std::string& prefix, std::string body)
      : body_(std::move(body)), listed_(prefix + "listed"), key_(prefix + "key"), users_(prefix + "users") {
    // The same bytes every time: formatted once, so that the generator's own
    // cost per request stays what parley-bench's is.
    AppendCommand(send_, {"LPUSH", prefix + "pushed", body_});
    AppendCommand(fetch_, {"GET", key_});
    AppendCommand(list_, {"LRANGE", listed_, "0", "99"});
  }

  // Stores what fetch and list read. False, with `err` set, on failure.
  bool Prepare(const Options& opt, std::string& err) const {
    const std::unique_ptr<redisContext, ContextFree> ctx(redisConnect(opt.host.c_str(), opt.port));
    if (!ctx || ctx->err != 0) {
      err = "cannot connect to " + opt.host + ":" + std::to_string(opt.port) + (ctx ? ": " + std::string(ctx->errstr) : "");
      return false;
    }
    auto run = [&](std::initializer_list<std::string_view> args) {
      std::string cmd;
      AppendCommand(cmd, args);
      void* raw = nullptr;
      if (redisAppendFormattedCommand(ctx.get(), cmd.data(), cmd.size()) == REDIS_OK) redisGetReply(ctx.get(), &raw);
      const std::unique_ptr<redisReply, ReplyFree> r(static_cast<redisReply*>(raw));
      if (!r || r->type == REDIS_REPLY_ERROR) {
        err = "set-up failed: " + (r ? std::string(Str(r.get())) : std::string(ctx->errstr));
        return false;
      }
      return true;
    };
    if (!run({"SET", key_, body_}) || !run({"DEL", listed_})) return false;
    for (size_t i = 0; i < kListChatSize; ++i)
      if (!run({"RPUSH", listed_, body_})) return false;
    return true;
  }

  void Append(std::string& out, Op op, size_t conn, uint64_t seq) const override {
    switch (op) {
      case Op::kSend: out += send_; break;
      case Op::kFetch: out += fetch_; break;
      case Op::kList: out += list_; break;
      case Op::kRegister: {  // a fresh member: connection and sequence
        char member[48];
        const int n = std::snprintf(member, sizeof member, "user:%zu:%llu", conn, static_cast<unsigned long long>(seq));
        AppendCommand(out, {"SADD", users_, std::string_view(member, static_cast<size_t>(n))});
        break;
      }
    }
  }
  std::unique_ptr<ReplyReader> NewReader() const override { return std::make_unique<RedisReader>(body_); }

 private:
  const std::string body_, listed_, key_, users_;
  std::string send_, fetch_, list_;
};
static_assert(kListChatSize == 100, "list reads LRANGE 0 99");

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  ParseResult parsed = ParseOptions(args);
  if (parsed.help) {
    std::printf("redis-load: parley-bench's send, fetch, list, register, subscribe and fanout tests over Redis\n\n%s",
                Usage().c_str());
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "redis-load: %s\n", parsed.error.c_str());
    return 2;
  }
  Options opt = *parsed.options;
  if (opt.tls || opt.listers > 0) {
    std::fprintf(stderr, "redis-load: --tls and --listers are parley-bench's alone\n");
    return 2;
  }
  std::vector<TestKind> tests;
  for (TestKind k : opt.tests) {
    if (k == TestKind::kMixed)
      std::fprintf(stderr, "redis-load: mixed has no Redis counterpart; skipped\n");
    else
      tests.push_back(k);
  }
  std::signal(SIGPIPE, SIG_IGN);
  if (!RaiseFileLimit(static_cast<unsigned long>(opt.subscribers) + static_cast<unsigned long>(opt.clients) +
                      static_cast<unsigned long>(opt.threads) + 16)) {
    std::fprintf(stderr, "redis-load: the descriptor limit is too low for %d clients and %d subscribers\n",
                 opt.clients, opt.subscribers);
    return 2;
  }
  Address address;
  std::string err;
  if (!Resolve(opt.host, opt.port, address, err)) {
    std::fprintf(stderr, "redis-load: %s\n", err.c_str());
    return 1;
  }
  const RedisRequests requests(RandomPrefix(), MessageBody(opt.body_bytes));
  const bool request_tests = std::any_of(tests.begin(), tests.end(), [](TestKind k) { return !IsPushTest(k); });
  if (request_tests && !requests.Prepare(opt, err)) {
    std::fprintf(stderr, "redis-load: %s\n", err.c_str());
    return 1;
  }
  if (opt.csv) std::fputs(CsvHeader().c_str(), stdout);
  RedisProtocol redis;
  int status = 0;
  for (TestKind kind : tests) {
    TestResult r = kind == TestKind::kFanout      ? RunFanout(opt, address, redis)
                   : kind == TestKind::kSubscribe ? RunSubscribe(opt, address, redis)
                                                  : RunTest(opt, address, requests, kind);
    if (!r.fatal.empty()) {
      std::fprintf(stderr, "redis-load: %s: %s\n", std::string(TestName(kind)).c_str(), r.fatal.c_str());
      return 1;
    }
    std::fputs(FormatResult(opt, r).c_str(), stdout);
    if (opt.csv) std::fputs(FormatIdleMemory(r).c_str(), stderr);
    std::fflush(stdout);
    if (r.errors() > 0) {
      std::fprintf(stderr, "redis-load: %s: %llu wrong, %llu missing; first: %s\n",
                   std::string(TestName(kind)).c_str(), static_cast<unsigned long long>(r.wrong),
                   static_cast<unsigned long long>(r.missing), r.first_error.c_str());
      status = 1;
    }
  }
  return status;
}
