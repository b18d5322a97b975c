// Runs the `parley` binary for the tests: once with captured output, or on a
// pseudo-terminal for the interactive modes. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace parley::test {

struct RunResult {
  int exit_status = -1;  // 128 + signal number when killed by a signal
  std::string out;
  std::string err;
};

// Runs `argv` with `input` on its standard input and collects its output.
// The process is killed if it has not finished within `timeout`.
RunResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A process on the slave side of a pseudo-terminal (TERM=xterm, 120x40),
// driven like a person at a keyboard.
class PtyProcess {
 public:
  PtyProcess() = default;
  ~PtyProcess();
  PtyProcess(const PtyProcess&) = delete;
  PtyProcess& operator=(const PtyProcess&) = delete;

  // `env` entries ("NAME=value") are added to the environment.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  // Types `keys` (use "\r" for Enter).
  bool Type(const std::string& keys);
  // Waits until the output after the last match contains `needle`; on success
  // the next wait starts after it. False on timeout or when the process ended.
  bool WaitFor(const std::string& needle, std::chrono::milliseconds timeout = std::chrono::seconds(15));
  // Waits for the process to end; its exit status (128 + signal), or -1 on timeout.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(15));
  // Everything the process wrote to the terminal so far.
  const std::string& output() const { return out_; }

 private:
  bool Pump(std::chrono::milliseconds timeout);
  pid_t pid_ = -1;
  int master_ = -1;
  std::string out_;
  size_t mark_ = 0;
  int status_ = -1;
};

}  // namespace parley::test
