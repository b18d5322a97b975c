// CRC-32C (Castagnoli), as journal records carry it.
//
// Uses the CPU's crc32 instruction (SSE 4.2) when it has one; a table-driven
// version, one byte at a time, serves other CPUs.
#pragma once

#include <cstdint>
#include <string_view>

namespace parley {

// The CRC-32C of `data`, continuing from `crc` (0 for a fresh one).
uint32_t Crc32c(std::string_view data, uint32_t crc = 0);

// A stored CRC is masked, so that a CRC of data that itself holds CRCs does
// not look like a valid record by accident.
inline uint32_t MaskCrc(uint32_t crc) { return ((crc >> 15) | (crc << 17)) + 0xa282ead8u; }

}  // namespace parley
