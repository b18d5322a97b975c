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

#include "protocol/Wire.h"
#include "store/Message.h"

namespace {

namespace wire = parley::wire;
using wire::FrameBuilder;

// ---- Request frames ----------------------------------------------------------

std::string Reg(std::string_view u) {
  std::string f;
  FrameBuilder(f, wire::EV_REGISTER).String(u).End();
  return f;
}
std::string Create(std::string_view u, std::string_view c) {
  std::string f;
  FrameBuilder(f, wire::EV_CREATECHAT).String(u).String(c).End();
  return f;
}
std::string Join(std::string_view u, std::string_view c) {
  std::string f;
  FrameBuilder(f, wire::EV_JOINCHAT).String(u).String(c).End();
  return f;
}
std::string Send(std::string_view u, std::string_view c, std::string_view body) {
  std::string f;
  FrameBuilder(f, wire::EV_SENGMSG).String(u).String(c).String(body).End();
  return f;
}
std::string Edit(std::string_view u, std::string_view c, int64_t id, std::string_view body) {
  std::string f;
  FrameBuilder(f, wire::EV_EDITMSG).String(u).String(c).Int(static_cast<uint64_t>(id)).String(body).End();
  return f;
}
std::string Delete(std::string_view u, std::string_view c, int64_t id) {
  std::string f;
  FrameBuilder(f, wire::EV_DELETEMSG).String(u).String(c).Int(static_cast<uint64_t>(id)).End();
  return f;
}
std::string Forward(std::string_view u, std::string_view from, std::string_view to, int64_t id) {
  std::string f;
  FrameBuilder(f, wire::EV_FORWARDMSG).String(u).String(from).String(to).Int(static_cast<uint64_t>(id)).End();
  return f;
}
std::string Fetch(std::string_view c, int64_t id) {
  std::string f;
  FrameBuilder(f, wire::EV_GETMSG).String(c).Int(static_cast<uint64_t>(id)).End();
  return f;
}
std::string List(std::string_view c) {
  std::string f;
  FrameBuilder(f, wire::EV_GETCHAT).String(c).End();
  return f;
}

// A length prefix alone.
std::string Prefix(int32_t len) {
  std::string f;
  wire::PutU32(f, static_cast<uint32_t>(len));
  return f;
}
// A frame around an arbitrary payload.
std::string Frame(std::string_view payload) { return Prefix(static_cast<int32_t>(payload.size())) + std::string(payload); }
// The payload of a frame (drops the prefix).
std::string Payload(const std::string& frame) { return frame.substr(wire::kLengthSize); }

// The id of the n-th message (from 0) of the c-th chat created (from 1) in a
// fresh store.
int64_t Id(uint32_t chat, uint32_t n) { return parley::MakeMessageId(chat, n); }

using namespace std::string_literals;

// ---- Sessions ------------------------------------------------------------------

// Everything succeeding and failing once: chats 1 "general" and 2 "random".
std::string FullSession() {
  return Reg("alice") + Reg("bob") + Create("alice", "general") + Create("bob", "random") +
         Join("bob", "general") + Send("alice", "general", "hello") + Send("bob", "general", "hi\0there"s) +
         List("general") + Fetch("general", Id(1, 0)) + Fetch("general", Id(1, 1)) +
         Edit("alice", "general", Id(1, 0), "hello, edited") + Fetch("general", Id(1, 0)) +
         Edit("bob", "general", Id(1, 0), "not mine") + Delete("bob", "general", Id(1, 1)) +
         Delete("bob", "general", Id(1, 1)) + List("general") + Forward("alice", "general", "random", Id(1, 0)) +
         Join("alice", "random") + Forward("alice", "general", "random", Id(1, 0)) + List("random") +
         Fetch("random", Id(2, 0)) + Fetch("general", Id(1, 1)) + Edit("alice", "general", Id(1, 0), "") +
         Fetch("general", Id(1, 0));
}

// Every kind refused: nobody registered, then the duplicate and membership cases.
std::string Refusals() {
  return Create("ghost", "c") + Join("ghost", "c") + Send("ghost", "c", "x") + Edit("ghost", "c", 0, "x") +
         Delete("ghost", "c", 0) + Forward("ghost", "c", "d", 0) + Fetch("c", 0) + List("c") + Reg("u") +
         Reg("u") + Create("u", "c") + Create("u", "c") + Reg("v") + Send("v", "c", "not a member") +
         Join("v", "c") + Join("v", "c") + Send("v", "c", "member now") + Fetch("c", Id(1, 1)) +
         Fetch("c", -1) + Fetch("c", Id(2, 0)) + Delete("u", "c", Id(1, 0)) + Edit("u", "c", Id(1, 0), "y");
}

// Names are cut at their first zero byte; bodies keep theirs.
std::string ZeroBytes() {
  return Reg("carol\0suffix"s) + Reg("carol") + Create("carol\0x"s, "room\0y"s) + Send("carol", "room", "a\0b\0"s) +
         List("room\0zzz"s) + Fetch("room", Id(1, 0)) + Reg(""s) + Create("", "") + Send("", "", "") + List("");
}

// A body filling the largest payload exactly, then one byte too many.
std::string MaxPayload() {
  std::string head = Reg("max") + Create("max", "big");
  const size_t fixed = 8 + (8 + 3) + (8 + 3) + 8;  // type, user, chat, body length
  std::string body(static_cast<size_t>(wire::kMaxPayload) - fixed, 'm');
  std::string ok = Send("max", "big", body);
  std::string too_big = Send("max", "big", body + "m");
  return head + ok + too_big + List("big") + Fetch("big", Id(1, 0));
}

std::string ManyMessages() {
  std::string s = Reg("p") + Reg("q") + Create("p", "busy") + Join("q", "busy");
  for (int i = 0; i < 40; ++i) s += Send(i % 2 ? "q" : "p", "busy", "message " + std::to_string(i));
  for (uint32_t i = 0; i < 40; i += 3) s += Delete(i % 2 ? "q" : "p", "busy", Id(1, i));
  s += List("busy") + Fetch("busy", Id(1, 1)) + Fetch("busy", Id(1, 3));
  return s;
}

// Garbage between valid requests: bad prefixes, the skip prefix, unknown
// codes, short payloads, fields that do not fit, trailing bytes.
std::string Hostile() {
  std::string bad_field = Payload(Reg("x"));
  bad_field[8] = '\x7f';  // string length far past the payload
  std::string trailing = Payload(Reg("t")) + "trailing bytes";
  return Reg("h") + Prefix(0) + Prefix(3201) + Prefix(-2) + Prefix(INT32_MIN) + Prefix(-1) + Reg("h2") +
         Frame("\x09\0\0\0\0\0\0\0"s) + Frame("\xff\xff\xff\xff\xff\xff\xff\xff"s) + Frame("short") +
         Frame(bad_field) + Frame(trailing) + Create("h", "hc") + Frame(Payload(Create("h", "hc2")).substr(0, 20)) +
         List("hc");
}

// ---- Decoder payloads ------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> DecodeSeeds() {
  std::vector<std::pair<std::string, std::string>> seeds;
  const std::pair<std::string, std::string> kinds[] = {
      {"register", Payload(Reg("alice"))},
      {"create", Payload(Create("alice", "general"))},
      {"join", Payload(Join("bob", "general"))},
      {"send", Payload(Send("alice", "general", "hello\0world"s))},
      {"edit", Payload(Edit("alice", "general", Id(1, 0), "edited"))},
      {"delete", Payload(Delete("alice", "general", Id(1, 0)))},
      {"forward", Payload(Forward("alice", "general", "random", Id(1, 0)))},
      {"fetch", Payload(Fetch("general", Id(1, 0)))},
      {"list", Payload(List("general"))},
  };
  for (const auto& [name, p] : kinds) {
    seeds.push_back({name, p});
    seeds.push_back({name + "_trailing", p + "\x01\x02\x03"});
    seeds.push_back({name + "_short", p.substr(0, p.size() - 1)});
  }
  std::string huge = Payload(Send("a", "b", "c"));
  for (int i = 0; i < 8; ++i) huge[8 + static_cast<size_t>(i)] = '\xff';  // user length 2^64-1
  seeds.push_back({"huge_length", huge});
  std::string arr;
  wire::PutU64(arr, 3);
  for (uint64_t v : {1ull, 2ull, ~0ull}) wire::PutU64(arr, v);
  seeds.push_back({"array_like", arr});
  seeds.push_back({"zero_in_names", Payload(Forward("u\0v"s, "\0c"s, "d\0"s, 7))});
  seeds.push_back({"empty_fields", Payload(Send("", "", ""))});
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
    if (name.find('_') == std::string::npos) ok &= Write(root / "fuzz_pipeline", "single_" + name, Frame(payload));
  }

  const std::pair<std::string, std::string> streams[] = {
      {"session_full", FullSession()},
      {"session_hostile", Hostile()},
      {"session_max_payload", MaxPayload()},
      {"empty", ""},
      {"three_bytes", "\x05\0\0"s},
      {"skip_prefixes", Prefix(-1) + Prefix(-1) + Reg("a") + Prefix(-1)},
      {"bad_prefixes", Prefix(0) + Prefix(-2) + Prefix(3201) + Prefix(INT32_MAX) + Prefix(INT32_MIN) + Reg("a")},
      {"exact_max", Frame(std::string(static_cast<size_t>(wire::kMaxPayload), 'x'))},
      {"one_byte_frames", Frame("a") + Frame("b") + Frame("\0"s)},
      {"truncated_tail", Reg("a") + Reg("b").substr(0, 9)},
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
