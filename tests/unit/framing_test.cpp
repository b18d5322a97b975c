#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/Framing.h"
#include "protocol/Wire.h"

namespace parley {
namespace {

// Records what the cutter delivers: "F:<payload>" or "B:<length>".
struct Recorder : FrameSink {
  std::vector<std::string> seen;
  void OnFrame(const char* p, size_t n) override { seen.push_back("F:" + std::string(p, n)); }
  void OnBadLength(int32_t len) override { seen.push_back("B:" + std::to_string(len)); }
};

std::string Prefix(int32_t len) {
  std::string s;
  wire::PutU32(s, static_cast<uint32_t>(len));
  return s;
}

std::string Frame(const std::string& payload) { return Prefix(static_cast<int32_t>(payload.size())) + payload; }

// Feeds `stream` in pieces of `step` bytes, keeping the unconsumed tail as the
// network thread does.
std::vector<std::string> Feed(const std::string& stream, size_t step) {
  Recorder r;
  std::string tail;
  for (size_t at = 0; at < stream.size(); at += step) {
    tail += stream.substr(at, step);
    tail.erase(0, CutFrames(tail.data(), tail.size(), r));
  }
  return r.seen;
}

TEST(Framing, CutsFramesWhateverTheReadSizes) {
  const std::string big(3200, 'x');
  struct Case {
    const char* name;
    std::string stream;
    std::vector<std::string> want;
  } cases[] = {
      {"one frame", Frame("hello"), {"F:hello"}},
      {"two frames back to back", Frame("ab") + Frame("cde"), {"F:ab", "F:cde"}},
      {"largest payload", Frame(big), {"F:" + big}},
      {"one above the bound is rejected, the rest read as frames",
       Prefix(3201) + Frame("next"), {"B:3201", "F:next"}},
      {"zero length", Prefix(0) + Frame("z"), {"B:0", "F:z"}},
      {"negative length", Prefix(-7) + Frame("n"), {"B:-7", "F:n"}},
      {"huge length", Prefix(0x7fffffff) + Frame("h"), {"B:2147483647", "F:h"}},
      {"minus one is skipped silently", Prefix(-1) + Frame("after"), {"F:after"}},
      {"payload bytes after a bad length become the next prefix",
       Prefix(5000) + Prefix(2) + "ok", {"B:5000", "F:ok"}},
      {"binary payload", Frame(std::string("\0\1\2", 3)), {"F:" + std::string("\0\1\2", 3)}},
  };
  for (const auto& c : cases) {
    for (size_t step : {size_t{1}, size_t{3}, size_t{7}, c.stream.size()}) {
      EXPECT_EQ(Feed(c.stream, step), c.want) << c.name << " (pieces of " << step << ")";
    }
  }
}

TEST(Framing, KeepsAnIncompleteFrameForLater) {
  Recorder r;
  const std::string f = Frame("payload");
  for (size_t cut = 0; cut < f.size(); ++cut) {
    EXPECT_EQ(CutFrames(f.data(), cut, r), 0u) << "cut at " << cut;
  }
  EXPECT_TRUE(r.seen.empty());
  EXPECT_EQ(CutFrames(f.data(), f.size(), r), f.size());
  EXPECT_EQ(r.seen, std::vector<std::string>{"F:payload"});
}

}  // namespace
}  // namespace parley
