#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace parley::test {

namespace {

using Clock = std::chrono::steady_clock;

int Decode(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

std::vector<char*> Argv(std::vector<std::string>& args) {
  std::vector<char*> v;
  for (auto& a : args) v.push_back(a.data());
  v.push_back(nullptr);
  return v;
}

// Waits for `pid` until `deadline`, then kills it. Returns its exit status.
int Reap(pid_t pid, Clock::time_point deadline) {
  int st = 0;
  while (Clock::now() < deadline) {
    if (waitpid(pid, &st, WNOHANG) == pid) return Decode(st);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &st, 0);
  return -1;
}

}  // namespace

RunResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                     std::chrono::milliseconds timeout) {
  RunResult r;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
  std::vector<std::string> args = argv;
  auto cargv = Argv(args);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  const auto deadline = Clock::now() + timeout;
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  int in_fd = in[1];
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in_fd, POLLOUT, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    if (poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
    if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
      } else {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  for (auto& p : fds)
    if (p.fd >= 0) close(p.fd);
  r.exit_status = Reap(pid, deadline);
  return r;
}

PtyProcess::~PtyProcess() {
  if (pid_ > 0 && status_ == -1) {
    kill(pid_, SIGKILL);
    int st = 0;
    waitpid(pid_, &st, 0);
  }
  if (master_ >= 0) close(master_);
}

bool PtyProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  std::vector<std::string> args = argv;
  auto cargv = Argv(args);
  winsize ws{};
  ws.ws_row = 40;
  ws.ws_col = 120;
  pid_ = forkpty(&master_, nullptr, nullptr, &ws);
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    setenv("TERM", "xterm", 1);
    for (const auto& e : env) {
      auto eq = e.find('=');
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  return true;
}

bool PtyProcess::Type(const std::string& keys) {
  size_t done = 0;
  while (done < keys.size()) {
    ssize_t n = write(master_, keys.data() + done, keys.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads what the process wrote within `timeout`; false once the terminal is closed.
bool PtyProcess::Pump(std::chrono::milliseconds timeout) {
  pollfd p{master_, POLLIN, 0};
  int r = poll(&p, 1, static_cast<int>(timeout.count()));
  if (r <= 0) return r == 0 || errno == EINTR;
  char buf[4096];
  ssize_t n = read(master_, buf, sizeof buf);
  if (n <= 0) return false;  // EIO: the slave side is closed
  out_.append(buf, static_cast<size_t>(n));
  return true;
}

bool PtyProcess::WaitFor(const std::string& needle, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    size_t at = out_.find(needle, mark_);
    if (at != std::string::npos) {
      mark_ = at + needle.size();
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !Pump(left)) return false;
  }
}

int PtyProcess::Wait(std::chrono::milliseconds timeout) {
  if (status_ != -1) return status_;
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) return status_ = Decode(st);
    Pump(std::chrono::milliseconds(20));  // keep the terminal drained so the process can finish
  }
  return -1;
}

}  // namespace parley::test
