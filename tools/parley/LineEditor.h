// Line editing for the interactive modes: readline in its callback form,
// driven by a poll loop so that the program can wait for its server connection
// at the same time and print text above the line being typed without garbling it.
//
// While a LineEditor exists it owns the terminal and the process's SIGINT,
// SIGTERM, SIGHUP and SIGWINCH handling; the destructor restores both. One
// LineEditor at a time; the interactive shell hands the terminal over by
// destroying its editor before it starts the chat room's.
#pragma once

#include <chrono>
#include <csignal>
#include <string>
#include <string_view>
#include <vector>

namespace parley::cli {

class LineEditor {
 public:
  enum class Event {
    kLine,       // a line was entered (in `line`)
    kEof,        // end of input (Ctrl-D on an empty line, or stdin closed)
    kInterrupt,  // Ctrl-C: the line being typed was dropped
    kTerminate,  // SIGTERM or SIGHUP
    kTimeout,    // nothing complete within the timeout
    kReady,      // the descriptor given to Read() can be read
  };

  // `completions`: words offered by Tab for the first word of a line.
  // `live`: for the chat room. An entered line is removed from the screen
  // when it fits in one row (the room shows the sent message itself), and the
  // prompt stays active while the caller works on the line, so typing ahead
  // goes on undisturbed. Otherwise the entered line stays on the screen and
  // the terminal returns to its normal mode until the next Read().
  LineEditor(std::string prompt, std::vector<std::string> completions, bool live);
  ~LineEditor();
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  // Edits lines until one is complete, a signal arrives, `timeout` (if not
  // negative) passes or `fd` (if not negative) has something to read (or is
  // closed). Entered non-blank lines go to the history.
  Event Read(std::chrono::milliseconds timeout, std::string& line, int fd = -1);

  // Prints `text` (whole lines) above the prompt and the line being typed,
  // which are then redrawn as they were.
  void Print(std::string_view text);

 private:
  static void OnLine(char* line);
  void Install();
  void Remove();

  std::string prompt_;
  std::vector<std::string> completions_;
  bool live_;
  bool installed_ = false;
  bool got_line_ = false;
  bool got_eof_ = false;
  std::string line_;
  sigset_t old_mask_{};
  struct sigaction old_actions_[4]{};
};

}  // namespace parley::cli
