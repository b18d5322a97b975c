// Where the `parley` client takes a secret from: a file, the environment, or
// the terminal with echo off. Never from the command line, where any user of
// the machine could read it, and never printed.
#pragma once

#include <optional>
#include <string>

namespace parley::cli {

struct SecretSource {
  std::string file;       // when set: the file's first line, without the newline
  const char* env;        // else this environment variable, when set
  std::string prompt;     // else asked on the terminal, when standard input is one
  bool confirm = false;   // ask twice and insist on the same answer
};

// The secret (1 to kMaxSecretBytes bytes), or nothing after setting `error`
// to why not (which never holds the secret).
std::optional<std::string> ReadSecret(const SecretSource& source, std::string& error);

}  // namespace parley::cli
