// Cutting a connection's byte stream into frames.
//
// A frame is a signed 32-bit little-endian payload length L followed by L
// payload bytes. L in 1..kMaxPayload is a frame; L = -1 is skipped silently;
// any other L is reported as soon as its 4 bytes are in and the bytes after it
// are read as the next frame. Nothing here allocates or keeps state: the
// caller keeps the unconsumed tail (at most one incomplete frame) and feeds
// it again, with more bytes behind it, on the next call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace parley {

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // One complete payload; the bytes are valid only during the call.
  virtual void OnFrame(const char* payload, size_t len) = 0;
  // A length prefix outside 1..kMaxPayload (and not -1).
  virtual void OnBadLength(int32_t len) = 0;
  // True when no further frame is wanted now: CutFrames stops before the
  // next one and leaves it unconsumed.
  virtual bool Stopped() const { return false; }
};

// Delivers every complete frame at the front of [data, data + n), in order,
// until the sink is Stopped. Returns the number of bytes consumed; unless
// stopped, the rest starts an incomplete frame.
size_t CutFrames(const char* data, size_t n, FrameSink& sink);

}  // namespace parley
