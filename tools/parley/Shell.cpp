#include "Shell.h"

// readline's headers need stdio declared first.
#include <cstdio>

#include <readline/history.h>

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "LineEditor.h"
#include "Text.h"

namespace parley::cli {

namespace {

constexpr int kHistorySize = 1000;

std::string HistoryPath() {
  const char* home = std::getenv("HOME");
  return home != nullptr && *home != '\0' ? std::string(home) + "/.parley_history" : std::string();
}

}  // namespace

int RunShell(Session& session) {
  const bool tty = isatty(STDIN_FILENO) != 0;
  const std::string history = HistoryPath();
  std::vector<std::string> words = CommandNames();
  words.insert(words.end(), {"quit", "exit"});
  if (tty) {
    std::printf("parley shell for %s: 'help' lists the commands, 'quit' or Ctrl-D leaves.\n",
                session.where().c_str());
    if (!history.empty()) read_history(history.c_str());
  }

  int status = kExitOk;
  while (true) {
    std::string line;
    if (tty) {
      // The editor owns the terminal only while a line is typed; a command
      // (the chat room in particular) gets it in its normal state.
      LineEditor editor("parley> ", words, false);
      auto event = editor.Read(std::chrono::milliseconds(-1), line);
      if (event == LineEditor::Event::kInterrupt) continue;
      if (event != LineEditor::Event::kLine) break;
    } else if (!std::getline(std::cin, line)) {
      break;
    }
    auto args = SplitWords(line);
    if (!args) {
      status = Fail(kExitUsage, "unbalanced quotes");
      continue;
    }
    if (args->empty()) continue;
    if ((*args)[0] == "quit" || (*args)[0] == "exit") break;
    if ((*args)[0] == "help" && args->size() == 1) {
      PrintUsage(stdout, true);
      std::fflush(stdout);
      status = kExitOk;
      continue;
    }
    status = RunCommand(session, *args);
  }
  if (tty && !history.empty()) {
    stifle_history(kHistorySize);
    write_history(history.c_str());
  }
  return status;
}

}  // namespace parley::cli
