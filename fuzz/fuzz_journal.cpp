// Fuzz target: journal recovery, fed any bytes as a segment, never crashes
// and never accepts a damaged record: everything it hands on has a valid
// checksum and the next sequence, lies inside the input, and a torn tail is
// reported only for a last segment. Each accepted record that decodes as a
// change is exactly what the writer encodes for it, and applying it to a
// store (as start-up does) never crashes, whatever numbers it names.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "Reference.h"
#include "journal/Journal.h"
#include "journal/Records.h"
#include "store/ResourceManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool is_last = (data[0] & 1) != 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  uint64_t expect = 0;
  auto store = parley::ResourceManager::CreateStandalone(64, 64);
  std::string error;
  size_t at = parley::kJournalHeaderBytes;
  const parley::SegmentScan s = parley::ScanSegment(bytes, is_last, [&](uint64_t seq, std::string_view payload) {
    FUZZ_CHECK(payload.data() >= bytes.data() && payload.data() + payload.size() <= bytes.data() + bytes.size(),
               "a payload outside the input");
    FUZZ_CHECK(expect == 0 || seq == expect, "records out of order");
    expect = seq + 1;
    // The record as the journal writes it is exactly the bytes accepted.
    const std::string again = parley::EncodeRecord(seq, payload);
    FUZZ_CHECK(bytes.substr(at, again.size()) == again, "a record accepted that its writer would not write");
    at += again.size();
    if (const auto c = parley::DecodeChange(payload)) {
      std::string encoded;
      parley::EncodeChange(*c, encoded);
      FUZZ_CHECK(encoded == payload, "a change decoded from bytes its writer would not write");
      store->Apply(*c, error);
    }
  });
  store->FinishRestore(error);
  FUZZ_CHECK(s.good_bytes <= bytes.size() && s.good_bytes + s.dropped_bytes <= bytes.size(), "sizes past the input");
  if (s.status == parley::SegmentScan::Status::kTorn) FUZZ_CHECK(is_last, "a torn tail in a segment before the last");
  if (s.status == parley::SegmentScan::Status::kOk) FUZZ_CHECK(s.good_bytes == bytes.size(), "bytes left unexplained");
  if (s.records > 0) FUZZ_CHECK(at == s.good_bytes, "accepted bytes and records disagree");
  return 0;
}
