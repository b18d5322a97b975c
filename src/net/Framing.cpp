#include "net/Framing.h"

#include "Limits.h"
#include "protocol/Wire.h"

namespace parley {

size_t CutFrames(const char* data, size_t n, FrameSink& sink) {
  size_t pos = 0;
  while (n - pos >= wire::kLengthSize && !sink.Stopped()) {
    const int32_t len = wire::LoadI32(data + pos);
    if (len == wire::kSkipLength) {
      pos += wire::kLengthSize;
      continue;
    }
    if (len < 1 || len > kMaxPayload) {
      pos += wire::kLengthSize;
      sink.OnBadLength(len);
      continue;
    }
    const size_t total = wire::kLengthSize + static_cast<size_t>(len);
    if (n - pos < total) break;
    sink.OnFrame(data + pos + wire::kLengthSize, static_cast<size_t>(len));
    pos += total;
  }
  return pos;
}

}  // namespace parley
