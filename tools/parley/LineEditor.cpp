#include "LineEditor.h"

// readline's headers need stdio declared first.
#include <cstdio>

#include <readline/history.h>
#include <readline/readline.h>

#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "Text.h"

namespace parley::cli {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGWINCH};
volatile sig_atomic_t g_raised = 0;  // one bit per entry of kSignals
LineEditor* g_active = nullptr;      // the editor whose callbacks readline calls
const std::vector<std::string>* g_words = nullptr;

extern "C" void OnSignal(int sig) {
  for (int i = 0; i < 4; ++i)
    if (kSignals[i] == sig) g_raised = g_raised | (1 << i);
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// A copy of `s` in memory from malloc: readline takes ownership of completion
// strings and releases them with free().
char* ReadlineOwnedCopy(const std::string& s) {
  std::unique_ptr<char, FreeDeleter> p(static_cast<char*>(std::malloc(s.size() + 1)));
  if (p) std::memcpy(p.get(), s.c_str(), s.size() + 1);
  return p.release();
}

char* NextCompletion(const char* text, int state) {
  static size_t next = 0;
  if (state == 0) next = 0;
  const size_t len = std::strlen(text);
  while (g_words != nullptr && next < g_words->size()) {
    const std::string& w = (*g_words)[next++];
    if (w.compare(0, len, text) == 0) return ReadlineOwnedCopy(w);
  }
  return nullptr;
}

// Tab completes the first word of a line from the editor's word list; there is
// nothing to complete elsewhere (in particular, no file names).
char** Complete(const char* text, int start, int /*end*/) {
  rl_attempted_completion_over = 1;
  for (int i = 0; i < start; ++i)
    if (rl_line_buffer[i] != ' ' && rl_line_buffer[i] != '\t') return nullptr;
  return rl_completion_matches(text, NextCompletion);
}

}  // namespace

LineEditor::LineEditor(std::string prompt, std::vector<std::string> completions, bool live)
    : prompt_(std::move(prompt)), completions_(std::move(completions)), live_(live) {
  rl_readline_name = "parley";
  rl_catch_signals = 0;
  rl_catch_sigwinch = 0;
  rl_attempted_completion_function = Complete;
  g_active = this;
  g_words = &completions_;
  g_raised = 0;

  // The signals stay blocked except while waiting in ppoll(), so they are
  // handled between readline calls, never inside one.
  sigset_t block;
  sigemptyset(&block);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int i = 0; i < 4; ++i) {
    sigaddset(&block, kSignals[i]);
    sigaction(kSignals[i], &sa, &old_actions_[i]);
  }
  sigprocmask(SIG_BLOCK, &block, &old_mask_);
}

LineEditor::~LineEditor() {
  if (installed_ && live_) {
    // Leave no prompt behind.
    rl_set_prompt("");
    rl_replace_line("", 0);
    rl_redisplay();
  }
  Remove();
  for (int i = 0; i < 4; ++i) sigaction(kSignals[i], &old_actions_[i], nullptr);
  sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
  g_active = nullptr;
  g_words = nullptr;
}

void LineEditor::Install() {
  g_active = this;
  got_line_ = got_eof_ = false;
  rl_callback_handler_install(prompt_.c_str(), &LineEditor::OnLine);
  installed_ = true;
}

void LineEditor::Remove() {
  if (installed_) rl_callback_handler_remove();
  installed_ = false;
}

void LineEditor::OnLine(char* raw) {
  std::unique_ptr<char, FreeDeleter> owned(raw);
  LineEditor* self = g_active;
  if (self == nullptr) return;
  if (raw == nullptr) {
    self->got_eof_ = true;
  } else {
    self->line_ = raw;
    self->got_line_ = true;
    if (self->line_.find_first_not_of(" \t") != std::string::npos) add_history(raw);
    int rows = 0, cols = 0;
    rl_get_screen_size(&rows, &cols);
    if (self->live_ && isatty(STDOUT_FILENO) && cols > 0 &&
        DisplayWidth(self->prompt_) + DisplayWidth(self->line_) < static_cast<size_t>(cols)) {
      std::fputs("\033[A\r\033[K", stdout);  // up over the entered line, and clear it
    }
  }
  std::fflush(stdout);
  // Hand the terminal back in its normal mode while the caller works on the
  // line; in live mode readline shows the prompt again right away.
  if (!self->live_) self->Remove();
}

LineEditor::Event LineEditor::Read(std::chrono::milliseconds timeout, std::string& line, int fd) {
  using Clock = std::chrono::steady_clock;
  const bool forever = timeout.count() < 0;
  const auto deadline = forever ? Clock::time_point::max() : Clock::now() + timeout;
  if (!installed_) Install();
  while (true) {
    const int raised = g_raised;
    g_raised = 0;
    if (raised & (1 << 3)) rl_resize_terminal();
    if (raised & ((1 << 1) | (1 << 2))) {
      std::fputc('\n', stdout);
      Remove();
      return Event::kTerminate;
    }
    if (raised & 1) {
      std::fputs("^C\n", stdout);
      rl_callback_sigcleanup();
      rl_replace_line("", 0);
      Remove();
      return Event::kInterrupt;
    }
    if (got_eof_) return Event::kEof;
    if (got_line_) {
      got_line_ = false;
      line = std::move(line_);
      return Event::kLine;
    }

    timespec wait{};
    timespec* wait_ptr = nullptr;
    if (!forever) {
      auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
      if (left.count() <= 0) return Event::kTimeout;
      wait.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
      wait.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
      wait_ptr = &wait;
    }
    pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {fd, POLLIN, 0}};
    int n = ppoll(p, fd >= 0 ? 2 : 1, wait_ptr, &old_mask_);
    if (n <= 0) continue;
    if (p[0].revents != 0) rl_callback_read_char();
    if (fd >= 0 && p[1].revents != 0) return Event::kReady;
  }
}

void LineEditor::Print(std::string_view text) {
  if (!installed_) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return;
  }
  // Blank the prompt line, print, then draw the prompt and the typed text again.
  const std::string typed(rl_line_buffer, static_cast<size_t>(rl_end));
  const int point = rl_point;
  rl_set_prompt("");
  rl_replace_line("", 0);
  rl_redisplay();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  rl_set_prompt(prompt_.c_str());
  rl_replace_line(typed.c_str(), 0);
  rl_point = point;
  rl_redisplay();
}

}  // namespace parley::cli
