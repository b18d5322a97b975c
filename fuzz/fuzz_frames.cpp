// Fuzz target: CutFrames, fed a client's bytes whole, byte by byte and in
// random pieces, must deliver what the reference cutter does.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "Reference.h"
#include "net/Framing.h"

namespace {

using parley::fuzz::CutEvent;

class Recorder final : public parley::FrameSink {
 public:
  void OnFrame(const char* payload, size_t len) override {
    FUZZ_CHECK(len >= 1 && len <= static_cast<size_t>(parley::wire::kMaxPayload), "frame size out of range");
    events.push_back({false, 0, std::string(payload, len)});
  }
  void OnBadLength(int32_t len) override {
    FUZZ_CHECK(len != parley::wire::kSkipLength, "the skip prefix was reported");
    FUZZ_CHECK(len < 1 || len > parley::wire::kMaxPayload, "a valid length was rejected");
    events.push_back({true, len, {}});
  }
  std::vector<CutEvent> events;
};

// At most one incomplete frame: under four bytes, or a valid prefix and less than it announces.
void CheckTail(std::string_view tail) {
  if (tail.size() < parley::wire::kLengthSize) return;
  const int32_t len = parley::wire::LoadI32(tail.data());
  FUZZ_CHECK(len >= 1 && len <= parley::wire::kMaxPayload, "an unusable prefix was left pending");
  FUZZ_CHECK(tail.size() < parley::wire::kLengthSize + static_cast<size_t>(len),
             "a complete frame was left pending");
}

// Feeds `stream` in pieces of next_size() bytes as Worker::Feed does; `tail` gets what is left pending.
template <class NextSize>
std::vector<CutEvent> FeedInPieces(std::string_view stream, NextSize next_size, std::string& tail) {
  Recorder rec;
  std::string in;
  size_t pos = 0;
  while (pos < stream.size()) {
    const size_t n = std::min(next_size(), stream.size() - pos);
    const char* chunk = stream.data() + pos;
    pos += n;
    if (in.empty()) {
      const size_t used = parley::CutFrames(chunk, n, rec);
      FUZZ_CHECK(used <= n, "consumed more than given");
      in.assign(chunk + used, n - used);
    } else {
      in.append(chunk, n);
      const size_t used = parley::CutFrames(in.data(), in.size(), rec);
      FUZZ_CHECK(used <= in.size(), "consumed more than given");
      in.erase(0, used);
    }
    CheckTail(in);
  }
  tail = in;
  return rec.events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view stream(reinterpret_cast<const char*>(data), size);

  Recorder whole;
  const size_t used = parley::CutFrames(stream.data(), stream.size(), whole);
  FUZZ_CHECK(used <= size, "consumed more than given");
  CheckTail(stream.substr(used));
  std::vector<CutEvent> expected;
  const size_t ref_used = parley::fuzz::ReferenceCut(stream, expected);
  FUZZ_CHECK(used == ref_used, "consumed a different number of bytes than the reference cutter");
  FUZZ_CHECK(whole.events == expected, "delivered different frames than the reference cutter");
  const std::string_view expected_tail = stream.substr(used);

  // One byte per read: the worst case for reassembly.
  std::string tail;
  FUZZ_CHECK(FeedInPieces(stream, [] { return size_t{1}; }, tail) == expected, "byte-wise feed differs");
  FUZZ_CHECK(tail == expected_tail, "byte-wise feed left a different tail");

  // Reads of pseudo-random sizes, small and large, as a socket delivers them.
  std::mt19937_64 rng(std::hash<std::string_view>{}(stream));  // seeded from the input: reproducible
  const size_t cap = size_t{1} << (rng() % 14);                // largest piece: 1 .. 8192 bytes
  auto random_size = [&] { return 1 + static_cast<size_t>(rng() % cap); };
  FUZZ_CHECK(FeedInPieces(stream, random_size, tail) == expected, "random-split feed differs");
  FUZZ_CHECK(tail == expected_tail, "random-split feed left a different tail");
  return 0;
}
