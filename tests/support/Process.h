// Child processes on pipes or a pseudo-terminal; a thread collects their
// output as it comes, and every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace parley::test {

class Child {
 public:
  struct Options {
    std::string input;              // written to standard input, which is then closed
    bool terminal = false;          // on a pseudo-terminal (TERM=xterm, 120x40); its output counts as stdout
    long nofile = 0;                // > 0: the child's descriptor limit (soft and hard)
    std::vector<std::string> env;   // "NAME=value" entries added to the environment
    bool read_stdout = true;        // false: stdout is a pipe nobody reads (it fills up)
  };

  Child() = default;
  ~Child();  // kills the process if it still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Again once the previous process ended (Wait or Stop), with its output forgotten.
  bool Start(const std::vector<std::string>& argv, Options options);
  pid_t pid() const { return pid_; }

  // Everything the process wrote so far.
  std::string Stdout();
  std::string Stderr();
  // The position after `needle` in stdout (or stderr) at or after `from`; npos at the timeout.
  size_t WaitFor(std::string_view needle, bool err, std::chrono::milliseconds timeout, size_t from = 0);
  // Writes `keys` to the terminal (use "\r" for Enter).
  bool Type(std::string_view keys);

  // The exit status, or 128 + signal number, or -1 when killed at the timeout.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(15));
  int Stop(int sig, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool Running();

 private:
  void Pump(std::string input, int in, bool read_stdout);

  pid_t pid_ = -1;
  int status_ = -1;
  int out_fd_ = -1, err_fd_ = -1, in_fd_ = -1;
  std::thread pump_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string out_, err_;
};

struct RunResult {
  int exit_status = -1;  // as Child::Wait
  std::string out, err;
};

// Runs `argv` to its end with `input` on stdin, killed after `timeout`.
RunResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A process on a pseudo-terminal; each WaitFor looks past the previous match.
class Terminal : public Child {
 public:
  bool Start(const std::vector<std::string>& argv, std::vector<std::string> env = {}) {
    return Child::Start(argv, {"", true, 0, std::move(env)});
  }
  bool WaitFor(std::string_view needle, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    const size_t at = Child::WaitFor(needle, false, timeout, mark_);
    if (at != std::string::npos) mark_ = at;
    return at != std::string::npos;
  }

 private:
  size_t mark_ = 0;
};

}  // namespace parley::test
