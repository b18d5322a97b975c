#include "Text.h"

#include <charconv>
#include <cstdio>

namespace parley::cli {

std::optional<int64_t> ParseInt(std::string_view s) {
  int64_t v = 0;
  const char* end = s.data() + s.size();
  if (s.empty()) return std::nullopt;
  auto [p, ec] = std::from_chars(s.data(), end, v);
  if (ec != std::errc() || p != end) return std::nullopt;
  return v;
}

namespace {

// The length of the valid UTF-8 sequence at the front of `s` (1..4), or 0.
size_t Utf8Length(std::string_view s) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  auto cont = [&](size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
  unsigned char c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
    if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
    if (c == 0xF4 && b(1) >= 0x90) return 0;  // beyond U+10FFFF
    return 4;
  }
  return 0;
}

void AppendHex(std::string& out, const char* format, unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, format, v);
  out += buf;
}

}  // namespace

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  while (!s.empty()) {
    size_t n = Utf8Length(s);
    unsigned char c = static_cast<unsigned char>(s[0]);
    if (n == 0) {
      out += "\\ufffd";
      n = 1;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      AppendHex(out, "\\u%04x", c);
    } else {
      out.append(s.substr(0, n));
    }
    s.remove_prefix(n);
  }
  out += '"';
  return out;
}

std::string Printable(std::string_view s) {
  std::string out;
  while (!s.empty()) {
    size_t n = Utf8Length(s);
    unsigned char c = static_cast<unsigned char>(s[0]);
    if (n == 0) {
      AppendHex(out, "\\x%02x", c);
      n = 1;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      AppendHex(out, "\\x%02x", c);
    } else if (c == 0xC2 && static_cast<unsigned char>(s[1]) < 0xA0) {
      AppendHex(out, "\\u%04x", static_cast<unsigned char>(s[1]));  // C1 control
    } else {
      out.append(s.substr(0, n));
    }
    s.remove_prefix(n);
  }
  return out;
}

std::optional<std::vector<std::string>> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      if (++i < line.size()) word += line[i];
    } else if (c == '\'') {
      size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      word.append(line.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i >= line.size()) return std::nullopt;
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) ++i;
        word += line[i];
      }
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

size_t DisplayWidth(std::string_view s) {
  size_t w = 0;
  for (char c : s) w += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return w;
}

}  // namespace parley::cli
