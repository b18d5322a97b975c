// Memory for decoded requests, recycled.
//
// A request is allocated on the network thread and released where it ran:
// there too, or on an event thread. Each thread keeps the blocks it releases
// in a cache of its own and takes from it first; a thread whose cache grows
// past two batches hands a batch of them to a shared pool, and a thread with
// an empty cache takes a batch from there, so blocks released on the event
// threads come back to the network thread a batch at a time, one lock per
// batch. The pool and each cache are bounded; what they cannot hold goes
// back to the allocator. Blocks are of one size: larger requests are
// allocated as usual.
//
// Under AddressSanitizer every block goes to and from the allocator, so that
// a request used after its release is still caught.
#pragma once

#include <cstddef>

namespace parley::request_blocks {

inline constexpr size_t kBlockBytes = 384;

// At least `bytes` bytes, aligned for any request.
char* Take(size_t bytes);
// Gives back what Take(bytes) returned.
void Give(char* p, size_t bytes);

}  // namespace parley::request_blocks
