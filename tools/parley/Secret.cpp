#include "Secret.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "parley/Client.h"

namespace parley::cli {

namespace {

// The terminal's settings while a prompt has echo off, for the signal handler.
termios g_saved{};

// A signal during the prompt puts the echo back before the process ends.
extern "C" void RestoreEchoAndDie(int sig) {
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// Echo off (the newline still shown) for its lifetime; the usual signals restore it.
class QuietTerminal {
 public:
  QuietTerminal() {
    ok_ = tcgetattr(STDIN_FILENO, &g_saved) == 0;
    if (!ok_) return;
    struct sigaction sa {};
    sa.sa_handler = RestoreEchoAndDie;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &sa, &old_[i]);
    termios quiet = g_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ok_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~QuietTerminal() {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &old_[i], nullptr);
  }
  QuietTerminal(const QuietTerminal&) = delete;
  QuietTerminal& operator=(const QuietTerminal&) = delete;
  bool ok() const { return ok_; }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
  struct sigaction old_[std::size(kSignals)]{};
  bool ok_ = false;
};

// One line typed on the terminal without echo; nothing at end of input.
std::optional<std::string> Ask(const std::string& prompt, std::string& error) {
  QuietTerminal quiet;  // before the prompt, so that nothing typed after it shows
  if (!quiet.ok()) {
    error = std::string("cannot turn the terminal's echo off: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  std::string line;
  char c;
  while (true) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = "no secret typed";
      return std::nullopt;
    }
    if (c == '\n') return line;
    if (line.size() <= kMaxSecretBytes) line += c;  // longer is refused below, whatever its length
  }
}

}  // namespace

std::optional<std::string> ReadSecret(const SecretSource& source, std::string& error) {
  std::optional<std::string> secret;
  if (!source.file.empty()) {
    std::ifstream in(source.file, std::ios::binary);
    if (!in) {
      error = "cannot read the secret file " + source.file + ": " + std::strerror(errno);
      return std::nullopt;
    }
    secret.emplace();
    std::getline(in, *secret);  // the first line; an empty file leaves it empty
  } else if (const char* value = std::getenv(source.env); value != nullptr) {
    secret = value;
  } else if (::isatty(STDIN_FILENO)) {
    secret = Ask(source.prompt, error);
    if (secret && source.confirm) {
      auto again = Ask("Again: ", error);
      if (!again) return std::nullopt;
      if (*again != *secret) {
        error = "the two secrets typed differ";
        return std::nullopt;
      }
    }
    if (!secret) return std::nullopt;
  } else {
    error = std::string("no secret: give --secret-file FILE, set ") + source.env + ", or run on a terminal";
    return std::nullopt;
  }
  if (secret->empty() || secret->size() > kMaxSecretBytes) {
    error = "a secret is 1 to " + std::to_string(kMaxSecretBytes) + " bytes; this one is " +
            (secret->empty() ? "empty" : "longer");
    return std::nullopt;
  }
  return secret;
}

}  // namespace parley::cli
