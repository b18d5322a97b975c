#include "ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace parley::test {

int ClosedLoopbackPort() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  if (s >= 0) close(s);
  return port;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && Running()) Stop(SIGKILL);
  if (pump_.joinable()) pump_.join();
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

bool ServerProcess::Spawn(const std::vector<std::string>& args, long nofile) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
  std::vector<std::string> argv_s{PARLEYD_PATH};
  bool has_port = false;
  for (const auto& a : args) has_port |= (a == "--port");
  if (!has_port) {
    argv_s.push_back("--port");
    argv_s.push_back("0");
  }
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (nofile > 0) {
      rlimit rl{static_cast<rlim_t>(nofile), static_cast<rlim_t>(nofile)};
      setrlimit(RLIMIT_NOFILE, &rl);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  pump_ = std::thread([this] { Pump(); });
  return true;
}

void ServerProcess::Pump() {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  int open_fds = 2;
  char buf[4096];
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        fds[i].fd = -1;
        --open_fds;
        continue;
      }
      std::lock_guard lk(mu_);
      (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
      cv_.notify_all();
    }
  }
  std::lock_guard lk(mu_);
  cv_.notify_all();
}

bool ServerProcess::Start(std::vector<std::string> args, long nofile,
                          std::chrono::milliseconds timeout) {
  if (!Spawn(args, nofile)) return false;
  const std::string marker = "listening on ";
  if (!WaitFor(marker, true, timeout)) return false;
  std::lock_guard lk(mu_);
  size_t at = err_.find(marker);
  size_t colon = err_.find(':', at + marker.size());
  if (colon == std::string::npos) return false;
  port_ = std::atoi(err_.c_str() + colon + 1);
  return port_ > 0;
}

std::string ServerProcess::Stdout() {
  std::lock_guard lk(mu_);
  return out_;
}

std::string ServerProcess::Stderr() {
  std::lock_guard lk(mu_);
  return err_;
}

bool ServerProcess::WaitFor(const std::string& needle, bool err, std::chrono::milliseconds timeout) {
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, timeout, [&] {
    return (err ? err_ : out_).find(needle) != std::string::npos;
  });
}

bool ServerProcess::WaitStdout(const std::string& needle, std::chrono::milliseconds timeout) {
  return WaitFor(needle, false, timeout);
}

bool ServerProcess::WaitStderr(const std::string& needle, std::chrono::milliseconds timeout) {
  return WaitFor(needle, true, timeout);
}

bool ServerProcess::Running() {
  if (pid_ <= 0 || status_ != -1) return false;
  int st = 0;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return r == 0;
}

int ServerProcess::Reap(std::chrono::milliseconds timeout) {
  if (status_ != -1) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!Running()) return status_;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid_, SIGKILL);
  int st = 0;
  waitpid(pid_, &st, 0);
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return -1;
}

int ServerProcess::Stop(int sig, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  if (Running()) kill(pid_, sig);
  int st = Reap(timeout);
  if (pump_.joinable()) pump_.join();
  return st;
}

}  // namespace parley::test
