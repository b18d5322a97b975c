#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace parley::test {

Child::~Child() {
  if (pid_ > 0) Stop(SIGKILL);
}

bool Child::Start(const std::vector<std::string>& argv, Options options) {
  std::vector<std::string> args = argv;
  std::vector<char*> cargv;
  for (auto& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  signal(SIGPIPE, SIG_IGN);  // a child that leaves its input unread must not end the test
  status_ = -1;  // a Child may be started again once it ended
  {
    std::lock_guard lk(mu_);
    out_.clear();
    err_.clear();
  }
  if (options.terminal) {
    winsize ws{};
    ws.ws_row = 40;
    ws.ws_col = 120;
    pid_ = forkpty(&out_fd_, nullptr, nullptr, &ws);
    if (pid_ > 0) in_fd_ = fcntl(out_fd_, F_DUPFD_CLOEXEC, 0);
  } else {
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
    pid_ = fork();
  }
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    if (!options.terminal) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
    }
    if (options.nofile > 0) {
      rlimit rl{static_cast<rlim_t>(options.nofile), static_cast<rlim_t>(options.nofile)};
      setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (options.terminal) setenv("TERM", "xterm", 1);
    for (const auto& e : options.env) putenv(const_cast<char*>(e.c_str()));
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  if (!options.terminal) {
    close(in[0]);
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  pump_ = std::thread([this, input = std::move(options.input), fd = in[1], r = options.read_stdout] {
    Pump(input, fd, r);
  });
  return true;
}

// Collects stdout and stderr until both end, writing `input` to `in` (unless -1) meanwhile.
void Child::Pump(std::string input, int in, bool read_stdout) {
  pollfd fds[3] = {{read_stdout ? out_fd_ : -1, POLLIN, 0}, {err_fd_, POLLIN, 0}, {in, POLLOUT, 0}};
  if (in >= 0 && input.empty()) close(std::exchange(fds[2].fd, -1));
  size_t written = 0;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
    if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {  // EOF, or EIO once a terminal's process is gone
        fds[i].fd = -1;
        continue;
      }
      std::lock_guard lk(mu_);
      (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
      cv_.notify_all();
    }
  }
  if (fds[2].fd >= 0) close(fds[2].fd);
}

std::string Child::Stdout() {
  std::lock_guard lk(mu_);
  return out_;
}

std::string Child::Stderr() {
  std::lock_guard lk(mu_);
  return err_;
}

size_t Child::WaitFor(std::string_view needle, bool err, std::chrono::milliseconds timeout, size_t from) {
  std::unique_lock lk(mu_);
  size_t at = std::string::npos;
  cv_.wait_for(lk, timeout, [&] {
    const std::string& text = err ? err_ : out_;
    at = from <= text.size() ? text.find(needle, from) : std::string::npos;
    return at != std::string::npos;
  });
  return at == std::string::npos ? at : at + needle.size();
}

bool Child::Type(std::string_view keys) {
  while (!keys.empty()) {
    const ssize_t n = write(in_fd_, keys.data(), keys.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    keys.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool Child::Running() {
  if (pid_ <= 0 || status_ != -1) return false;
  int st = 0;
  const pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == 0) return true;
  status_ = r != pid_ ? 128 + SIGKILL : WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return false;
}

int Child::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int result = 0;
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      int st = 0;
      waitpid(pid_, &st, 0);
      status_ = 128 + SIGKILL;
      result = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (pump_.joinable()) pump_.join();
  for (int* fd : {&out_fd_, &err_fd_, &in_fd_})
    if (*fd >= 0) close(std::exchange(*fd, -1));
  return result == -1 || pid_ <= 0 ? -1 : status_;
}

int Child::Stop(int sig, std::chrono::milliseconds timeout) {
  if (Running()) kill(pid_, sig);
  return Wait(timeout);
}

RunResult RunProcess(const std::vector<std::string>& argv, const std::string& input, std::chrono::milliseconds timeout) {
  Child c;
  if (!c.Start(argv, {input, false, 0, {}})) return {};
  const int status = c.Wait(timeout);
  return {status, c.Stdout(), c.Stderr()};
}

}  // namespace parley::test
