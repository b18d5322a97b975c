// redis-fanout: parley-bench's push tests (subscribe, fanout) over Redis
// pub/sub, for a side-by-side comparison with the very same measurement code.
//
// It takes parley-bench's command line and runs the tests of -t that it knows
// (fanout unless subscribe is named too), printing the same reports. A chat is
// a channel; a subscriber is a connection that SUBSCRIBEs to it; the publisher
// PUBLISHes, and each PUBLISH must be answered with the number of subscribers.
// A no-op is a PING. Replies are parsed with hiredis's reader, commands built
// with its formatter; the sockets and their timing are parley-bench's own.
#include <hiredis/hiredis.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// Appends one command, its arguments as binary-safe strings.
void AppendCommand(std::string& out, std::initializer_list<std::string_view> args) {
  std::vector<const char*> argv;
  std::vector<size_t> lens;
  for (std::string_view a : args) {
    argv.push_back(a.data());
    lens.push_back(a.size());
  }
  char* raw = nullptr;
  int n = redisFormatCommandArgv(&raw, static_cast<int>(argv.size()), argv.data(), lens.data());
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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  ParseResult parsed = ParseOptions(args);
  if (parsed.help) {
    std::printf("redis-fanout: parley-bench's subscribe and fanout tests over Redis pub/sub\n\n%s", Usage().c_str());
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "redis-fanout: %s\n", parsed.error.c_str());
    return 2;
  }
  Options opt = *parsed.options;
  std::vector<TestKind> tests;
  for (TestKind k : opt.tests)
    if (IsPushTest(k)) tests.push_back(k);
  if (tests.empty()) tests.push_back(TestKind::kFanout);
  std::signal(SIGPIPE, SIG_IGN);
  if (!RaiseFileLimit(static_cast<unsigned long>(opt.subscribers) + static_cast<unsigned long>(opt.threads) + 16)) {
    std::fprintf(stderr, "redis-fanout: the descriptor limit is too low for %d subscribers\n", opt.subscribers);
    return 2;
  }
  Address address;
  std::string err;
  if (!Resolve(opt.host, opt.port, address, err)) {
    std::fprintf(stderr, "redis-fanout: %s\n", err.c_str());
    return 1;
  }
  if (opt.csv) std::fputs(CsvHeader().c_str(), stdout);
  RedisProtocol redis;
  int status = 0;
  for (TestKind kind : tests) {
    TestResult r = kind == TestKind::kFanout ? RunFanout(opt, address, redis) : RunSubscribe(opt, address, redis);
    if (!r.fatal.empty()) {
      std::fprintf(stderr, "redis-fanout: %s: %s\n", std::string(TestName(kind)).c_str(), r.fatal.c_str());
      return 1;
    }
    std::fputs(FormatResult(opt, r).c_str(), stdout);
    if (opt.csv) std::fputs(FormatIdleMemory(r).c_str(), stderr);
    std::fflush(stdout);
    if (r.errors() > 0) {
      std::fprintf(stderr, "redis-fanout: %s: %llu wrong, %llu missing; first: %s\n",
                   std::string(TestName(kind)).c_str(), static_cast<unsigned long long>(r.wrong),
                   static_cast<unsigned long long>(r.missing), r.first_error.c_str());
      status = 1;
    }
  }
  return status;
}
