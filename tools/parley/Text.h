// Small text helpers of the command-line client: parsing arguments, and
// rendering untrusted message text for JSON and for a terminal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parley::cli {

// A decimal signed 64-bit integer filling all of `s`, or nothing.
std::optional<int64_t> ParseInt(std::string_view s);

// `s` as a JSON string literal, quotes included. Valid UTF-8 passes through;
// each byte that is not part of valid UTF-8 becomes U+FFFD.
std::string JsonString(std::string_view s);

// `s` made safe to show on a terminal: control characters (C0, DEL, C1) and
// bytes that are not valid UTF-8 are shown as escapes (\n, \x1b, \u0085);
// printable text, tabs included, passes through.
std::string Printable(std::string_view s);

// Splits a command line into words at unquoted blanks. Single quotes keep
// everything literally; double quotes allow \" and \\; a backslash outside
// quotes escapes the next character. Nothing when a quote is left open.
std::optional<std::vector<std::string>> SplitWords(std::string_view line);

// The number of terminal columns `s` takes, counting one per code point
// (close enough for a line made of the client's own prompt and typed text).
size_t DisplayWidth(std::string_view s);

}  // namespace parley::cli
