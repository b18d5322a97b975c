// The payload of a journal or snapshot record: one store Change.
//
// Layout (little-endian): u8 kind, then by kind
//   user       u32 user, name
//   chat       u32 chat, u32 creator, name
//   join       u32 chat, u32 user
//   message    u64 id, u32 sender, body
//   edit       u64 id, body
//   delete     u64 id
//   tombstone  u64 id
//   secret     u32 user, hash
//   secret user  u32 user, u32 name length, name, hash
//   end        u64 covered sequence, u64 records before it (snapshots only: the last record)
// The name, body or hash is the rest of the payload. A hash is a secret's
// salted, slow hash in its self-describing text form; secrets are never recorded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/Change.h"

namespace parley {

// The kind byte of a snapshot's closing record; no Change has it.
inline constexpr uint8_t kEndRecordKind = 8;

// Appends `header` bytes (for the caller to fill in), then the payload of `c`, to `out`.
void EncodeChange(const Change& c, std::string& out, size_t header = 0);
// The change in `payload` (views into it), or nothing when it is not one.
std::optional<Change> DecodeChange(std::string_view payload);

// A snapshot's closing record.
std::string EncodeEnd(uint64_t covered_seq, uint64_t records);
// {covered sequence, records} from a closing record, or nothing.
std::optional<std::pair<uint64_t, uint64_t>> DecodeEnd(std::string_view payload);

}  // namespace parley
