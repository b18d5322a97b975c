// The background load of parley-bench (--listers): one big chat, filled during
// set-up, that a few extra connections list over and over while the timed
// tests run, so the tests show how other clients fare next to long listings.
//
// A lister writes one listing request, reads the whole reply as fast as the
// socket delivers it, and writes the next request. Each reply is checked
// without being kept: the status frame must be "ok" for a listing, and the
// data frame must carry exactly the chat's size as its count and be exactly
// as long as that count of ids needs. The id bytes themselves are only counted.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Socket.h"

namespace parley::bench {

// Creates `chat` as `owner` (who must be registered) and stores `messages`
// one-byte messages from `owner` in it, over several connections that each
// keep thousands of sends in flight. Untimed. With `progress`, prints how far
// it got on stderr about once a second. Returns false and sets `err` on any
// failure, including a reply other than "ok".
bool FillChat(const Address& address, const std::string& owner, const std::string& chat, int64_t messages,
              bool progress, std::string& err);

// What the listers have done so far.
struct ListerCounts {
  uint64_t listings = 0;  // listings read in full and found correct
  uint64_t bytes = 0;     // bytes read by all listers, whole listings or not
};

// The lister connections and the thread that drives them.
class Listers {
 public:
  // `count` connections will list `chat`, which must hold `ids` messages.
  Listers(const Address& address, std::string chat, int64_t ids, int count);
  ~Listers();  // stops the thread if it still runs
  Listers(const Listers&) = delete;
  Listers& operator=(const Listers&) = delete;

  // Connects, writes the first requests, starts the thread, and returns once
  // every lister has its first reply under way (false and `err` if one fails
  // or stays silent too long).
  bool Start(std::string& err);

  // Counts so far; callable while the listers run.
  ListerCounts Counts() const;

  // Stops the thread and closes the connections, cutting the listings in
  // flight short (those are not counted). Returns the final counts.
  ListerCounts Stop();

  // Listers that failed (wrong reply, lost connection, silence), and why the first did.
  int failed() const { return failed_.load(); }
  std::string first_error() const;

  int count() const { return count_; }
  int64_t ids() const { return ids_; }

 private:
  struct Conn;
  void Run();
  void Fail(Conn& c, const std::string& why);

  Address address_;
  std::string chat_;
  int64_t ids_;
  int count_;
  std::string request_;          // one listing request frame
  std::string expected_status_;  // the "ok" frame of a listing
  std::string expected_head_;    // length, type code and count of the data frame

  std::vector<Conn> conns_;
  UniqueFd epfd_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> started_{0};  // listers whose first reply has begun
  std::atomic<int> failed_{0};
  std::atomic<uint64_t> listings_{0};
  std::atomic<uint64_t> bytes_{0};
  mutable std::mutex error_mu_;
  std::string first_error_;
};

}  // namespace parley::bench
