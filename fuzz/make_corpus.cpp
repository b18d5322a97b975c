// Writes the seed corpora of the fuzz targets:
//
//   fuzz_make_corpus <dir>    creates <dir>/fuzz_frames, <dir>/fuzz_decode and
//                             <dir>/fuzz_pipeline and fills them
//
// The committed corpora under fuzz/corpus/ were made with it. Seeds are
// valid requests of every kind, whole sessions whose message ids are the ones
// a fresh store hands out, and the edge cases of framing and decoding.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "Frames.h"
#include "store/Message.h"

namespace {

namespace wire = parley::wire;

// Requests and frames: Frames.h (shared with the tests).
using parley::test::CreateChatReq;
using parley::test::DeleteReq;
using parley::test::EditReq;
using parley::test::ForwardReq;
using parley::test::GetChatReq;
using parley::test::GetMsgReq;
using parley::test::JoinChatReq;
using parley::test::Prefix;
using parley::test::RawFrame;
using parley::test::Register;
using parley::test::SendReq;

// The payload of a frame (drops the prefix).
std::string Payload(const std::string& frame) { return frame.substr(wire::kLengthSize); }

// The id of the n-th message (from 0) of the c-th chat created (from 1) in a
// fresh store.
int64_t Id(uint32_t chat, uint32_t n) { return parley::MakeMessageId(chat, n); }

using namespace std::string_literals;

// ---- Sessions ------------------------------------------------------------------

// Everything succeeding and failing once: chats 1 "general" and 2 "random".
std::string FullSession() {
  return Register("alice") + Register("bob") + CreateChatReq("alice", "general") + CreateChatReq("bob", "random") +
         JoinChatReq("bob", "general") + SendReq("alice", "general", "hello") + SendReq("bob", "general", "hi\0there"s) +
         GetChatReq("general") + GetMsgReq("general", Id(1, 0)) + GetMsgReq("general", Id(1, 1)) +
         EditReq("alice", "general", Id(1, 0), "hello, edited") + GetMsgReq("general", Id(1, 0)) +
         EditReq("bob", "general", Id(1, 0), "not mine") + DeleteReq("bob", "general", Id(1, 1)) +
         DeleteReq("bob", "general", Id(1, 1)) + GetChatReq("general") + ForwardReq("alice", "general", "random", Id(1, 0)) +
         JoinChatReq("alice", "random") + ForwardReq("alice", "general", "random", Id(1, 0)) + GetChatReq("random") +
         GetMsgReq("random", Id(2, 0)) + GetMsgReq("general", Id(1, 1)) + EditReq("alice", "general", Id(1, 0), "") +
         GetMsgReq("general", Id(1, 0));
}

// Every kind refused: nobody registered, then the duplicate and membership cases.
std::string Refusals() {
  return CreateChatReq("ghost", "c") + JoinChatReq("ghost", "c") + SendReq("ghost", "c", "x") + EditReq("ghost", "c", 0, "x") +
         DeleteReq("ghost", "c", 0) + ForwardReq("ghost", "c", "d", 0) + GetMsgReq("c", 0) + GetChatReq("c") + Register("u") +
         Register("u") + CreateChatReq("u", "c") + CreateChatReq("u", "c") + Register("v") + SendReq("v", "c", "not a member") +
         JoinChatReq("v", "c") + JoinChatReq("v", "c") + SendReq("v", "c", "member now") + GetMsgReq("c", Id(1, 1)) +
         GetMsgReq("c", -1) + GetMsgReq("c", Id(2, 0)) + DeleteReq("u", "c", Id(1, 0)) + EditReq("u", "c", Id(1, 0), "y");
}

// Names are cut at their first zero byte; bodies keep theirs.
std::string ZeroBytes() {
  return Register("carol\0suffix"s) + Register("carol") + CreateChatReq("carol\0x"s, "room\0y"s) + SendReq("carol", "room", "a\0b\0"s) +
         GetChatReq("room\0zzz"s) + GetMsgReq("room", Id(1, 0)) + Register(""s) + CreateChatReq("", "") + SendReq("", "", "") + GetChatReq("");
}

// A body filling the largest payload exactly, then one byte too many.
std::string MaxPayload() {
  std::string head = Register("max") + CreateChatReq("max", "big");
  const size_t fixed = 8 + (8 + 3) + (8 + 3) + 8;  // type, user, chat, body length
  std::string body(static_cast<size_t>(wire::kMaxPayload) - fixed, 'm');
  std::string ok = SendReq("max", "big", body);
  std::string too_big = SendReq("max", "big", body + "m");
  return head + ok + too_big + GetChatReq("big") + GetMsgReq("big", Id(1, 0));
}

std::string ManyMessages() {
  std::string s = Register("p") + Register("q") + CreateChatReq("p", "busy") + JoinChatReq("q", "busy");
  for (int i = 0; i < 40; ++i) s += SendReq(i % 2 ? "q" : "p", "busy", "message " + std::to_string(i));
  for (uint32_t i = 0; i < 40; i += 3) s += DeleteReq(i % 2 ? "q" : "p", "busy", Id(1, i));
  s += GetChatReq("busy") + GetMsgReq("busy", Id(1, 1)) + GetMsgReq("busy", Id(1, 3));
  return s;
}

// Garbage between valid requests: bad prefixes, the skip prefix, unknown
// codes, short payloads, fields that do not fit, trailing bytes.
std::string Hostile() {
  std::string bad_field = Payload(Register("x"));
  bad_field[8] = '\x7f';  // string length far past the payload
  std::string trailing = Payload(Register("t")) + "trailing bytes";
  return Register("h") + Prefix(0) + Prefix(3201) + Prefix(-2) + Prefix(INT32_MIN) + Prefix(-1) + Register("h2") +
         RawFrame("\x09\0\0\0\0\0\0\0"s) + RawFrame("\xff\xff\xff\xff\xff\xff\xff\xff"s) + RawFrame("short") +
         RawFrame(bad_field) + RawFrame(trailing) + CreateChatReq("h", "hc") + RawFrame(Payload(CreateChatReq("h", "hc2")).substr(0, 20)) +
         GetChatReq("hc");
}

// ---- Decoder payloads ------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> DecodeSeeds() {
  std::vector<std::pair<std::string, std::string>> seeds;
  const std::pair<std::string, std::string> kinds[] = {
      {"register", Payload(Register("alice"))},
      {"create", Payload(CreateChatReq("alice", "general"))},
      {"join", Payload(JoinChatReq("bob", "general"))},
      {"send", Payload(SendReq("alice", "general", "hello\0world"s))},
      {"edit", Payload(EditReq("alice", "general", Id(1, 0), "edited"))},
      {"delete", Payload(DeleteReq("alice", "general", Id(1, 0)))},
      {"forward", Payload(ForwardReq("alice", "general", "random", Id(1, 0)))},
      {"fetch", Payload(GetMsgReq("general", Id(1, 0)))},
      {"list", Payload(GetChatReq("general"))},
  };
  for (const auto& [name, p] : kinds) {
    seeds.push_back({name, p});
    seeds.push_back({name + "_trailing", p + "\x01\x02\x03"});
    seeds.push_back({name + "_short", p.substr(0, p.size() - 1)});
  }
  std::string huge = Payload(SendReq("a", "b", "c"));
  for (int i = 0; i < 8; ++i) huge[8 + static_cast<size_t>(i)] = '\xff';  // user length 2^64-1
  seeds.push_back({"huge_length", huge});
  std::string arr;
  wire::PutU64(arr, 3);
  for (uint64_t v : {1ull, 2ull, ~0ull}) wire::PutU64(arr, v);
  seeds.push_back({"array_like", arr});
  std::string top_bit;  // a string length, or an array count, of 2^63
  wire::PutU64(top_bit, 1ull << 63);
  seeds.push_back({"length_2_63", top_bit + "xyz"});
  std::string wraps;  // an array count whose size in bytes wraps around to 0
  for (uint64_t v : {1ull << 61, 1ull, 2ull}) wire::PutU64(wraps, v);
  seeds.push_back({"count_2_61", wraps});
  seeds.push_back({"id_all_ones", Payload(ForwardReq("u", "a", "b", -1))});
  seeds.push_back({"zero_in_names", Payload(ForwardReq("u\0v"s, "\0c"s, "d\0"s, 7))});
  seeds.push_back({"empty_fields", Payload(SendReq("", "", ""))});
  seeds.push_back({"code_9", "\x09\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"s});
  seeds.push_back({"code_max", std::string(16, '\xff')});
  seeds.push_back({"type_only", "\x03\0\0\0\0\0\0\0"s});
  for (size_t n = 0; n < 8; ++n) seeds.push_back({"bytes_" + std::to_string(n), std::string(n, '\0')});
  return seeds;
}

// ---- Output ----------------------------------------------------------------------

bool Write(const std::filesystem::path& dir, const std::string& name, const std::string& bytes) {
  std::filesystem::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root(argv[1]);
  bool ok = true;

  const std::pair<std::string, std::string> sessions[] = {
      {"session_full", FullSession()}, {"session_refusals", Refusals()}, {"session_zero_bytes", ZeroBytes()},
      {"session_max_payload", MaxPayload()}, {"session_many_messages", ManyMessages()}, {"session_hostile", Hostile()},
  };
  for (const auto& [name, bytes] : sessions) ok &= Write(root / "fuzz_pipeline", name, bytes);
  for (const auto& [name, payload] : DecodeSeeds()) {
    if (name.find('_') == std::string::npos) ok &= Write(root / "fuzz_pipeline", "single_" + name, RawFrame(payload));
  }

  const std::pair<std::string, std::string> streams[] = {
      {"session_full", FullSession()},
      {"session_hostile", Hostile()},
      {"session_max_payload", MaxPayload()},
      {"empty", ""},
      {"three_bytes", "\x05\0\0"s},
      {"skip_prefixes", Prefix(-1) + Prefix(-1) + Register("a") + Prefix(-1)},
      {"bad_prefixes", Prefix(0) + Prefix(-2) + Prefix(3201) + Prefix(INT32_MAX) + Prefix(INT32_MIN) + Register("a")},
      {"exact_max", RawFrame(std::string(static_cast<size_t>(wire::kMaxPayload), 'x'))},
      {"one_byte_frames", RawFrame("a") + RawFrame("b") + RawFrame("\0"s)},
      {"truncated_tail", Register("a") + Register("b").substr(0, 9)},
      {"prefix_then_nothing", Prefix(3200)},
      {"bad_then_frame_bytes", Prefix(3201) + std::string(3201, 'z')},
  };
  for (const auto& [name, bytes] : streams) ok &= Write(root / "fuzz_frames", name, bytes);

  for (const auto& [name, payload] : DecodeSeeds()) ok &= Write(root / "fuzz_decode", name, payload);

  if (!ok) {
    std::fprintf(stderr, "%s: cannot write under %s\n", argv[0], root.c_str());
    return 1;
  }
  return 0;
}
