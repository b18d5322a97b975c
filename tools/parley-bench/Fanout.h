// The push tests of parley-bench: subscriptions and pushed events, against any
// server driven through a PushProtocol. Parley speaks its own (ParleyPush.cpp);
// bench/redis_load.cpp runs the very same tests over Redis pub/sub.
//
// subscribe: S connections each follow C chats. Each first sends 2 C requests
// that change nothing (as many replies as its subscribes will bring), so that
// the server's buffers for it have grown as far as they will; then C
// subscribes, all pipelined. Reported: subscriptions per
// second (a subscribe's latency runs from the write of its connection's batch
// to its confirmation), and with --server-pid the server's resident size after
// the no-op round and after the subscriptions: the difference divided by S*C is
// the memory one idle subscription costs.
//
// fanout: S connections subscribe to one chat; one more connection publishes
// to it for --warmup, then --duration seconds, at --rate messages per second
// or flat out. A body starts with the publisher's steady-clock time when it
// was written and a sequence number (8 bytes each, little-endian), then
// pattern bytes up to -d bytes (16 at least). A few receiver threads
// (--threads) read the subscribers with epoll and check every event: its shape
// (by the protocol), the body's size and pattern, a time not in the future,
// and that each subscriber gets every sequence number once and in order
// (a gap counts the events skipped as missing). An event's latency runs from
// the time in its body to the read that brought it in; the events read during
// the measured window are counted and timed. The publisher keeps at most -P
// publishes unanswered and never lets a subscriber fall more than kMaxLag
// messages behind, so that no server closes a slow reader: flat out, those
// two bounds are all that limits it.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "Driver.h"
#include "Options.h"
#include "Socket.h"

namespace parley::bench {

// Most messages a subscriber may lag behind the publisher.
inline constexpr uint64_t kMaxLag = 1024;
// Bytes at the start of every fanout body: send time and sequence number.
inline constexpr size_t kStampBytes = 16;

// One step of what a server sent on one connection.
struct StreamItem {
  enum class Kind {
    kNeedMore,    // no complete item yet
    kReply,       // a no-op request or a publish was answered as it should be
    kSubscribed,  // a subscription was confirmed
    kEvent,       // a pushed message: `text` is its body
    kBad,         // anything else: `text` says what; the stream is no longer trusted
  };
  Kind kind = Kind::kNeedMore;
  std::string_view text;  // valid until the next call on the stream
};

// Parses what one connection receives. Bytes are read straight into Space()
// and handed over with Commit(); Next() then yields complete items in order.
class PushStream {
 public:
  virtual ~PushStream() = default;
  virtual std::span<char> Space() = 0;
  virtual void Commit(size_t bytes) = 0;
  virtual StreamItem Next() = 0;
};

// How one kind of server subscribes, publishes and pushes.
class PushProtocol {
 public:
  virtual ~PushProtocol() = default;
  // Untimed: creates whatever `subscribers` connections need to follow
  // `chats` chats and a publisher needs to write to the first of them. Each
  // call starts afresh, with new names.
  virtual bool Prepare(const Address& address, int subscribers, int chats, std::string& err) = 0;
  // Largest body a publish may carry, once prepared.
  virtual size_t MaxBody() const = 0;
  // A request of subscriber `conn` about chat `chat` that changes nothing and is answered kReply.
  virtual void AppendNoop(std::string& out, size_t conn, size_t chat) const = 0;
  virtual void AppendSubscribe(std::string& out, size_t conn, size_t chat) const = 0;
  // Publishes `body` to the first chat.
  virtual void AppendPublish(std::string& out, std::string_view body) const = 0;
  // A parser for a subscriber's connection, or for the publisher's.
  virtual std::unique_ptr<PushStream> NewStream(bool publisher) const = 0;
};

// Parley's own protocol: subscribe (9), send (3) and its new-message events.
std::unique_ptr<PushProtocol> MakeParleyProtocol();
// The stream it reads from a subscriber (events of `chat` from `publisher`
// only) or, with `publisher_side`, from the publisher.
std::unique_ptr<PushStream> ParleyPushStream(std::string publisher, std::string chat, bool publisher_side);

TestResult RunSubscribe(const Options& options, const Address& address, PushProtocol& protocol);
TestResult RunFanout(const Options& options, const Address& address, PushProtocol& protocol);

// The resident size of process `pid` in KiB, or -1.
long ResidentKib(long pid);

}  // namespace parley::bench
