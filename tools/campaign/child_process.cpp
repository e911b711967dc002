#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pelorus::campaign {
namespace {

int OpenPidFd(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (Running()) {
    Stop(SIGKILL, 0);
  }
  CloseAll();
}

void ChildProcess::CloseAll() {
  for (int* fd : {&pidfd_, &out_fd_, &in_fd_}) {
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
  }
}

bool ChildProcess::Start(const Spec& spec, std::string* error) {
  CloseAll();
  partial_.clear();
  int out[2] = {-1, -1};
  int in[2] = {-1, -1};
  if ((spec.stdout_file.empty() && ::pipe2(out, O_CLOEXEC) != 0) ||
      (spec.stdin_pipe && ::pipe2(in, O_CLOEXEC) != 0)) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  std::vector<std::string> env_text;
  for (const auto& [key, value] : spec.env) {
    env_text.push_back(key + "=" + value);
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    for (const auto& entry : env_text) {
      ::putenv(const_cast<char*>(entry.c_str()));
    }
    const int err = ::open(spec.stderr_file.empty() ? "/dev/null" : spec.stderr_file.c_str(),
                           O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int output = spec.stdout_file.empty()
                           ? out[1]
                           : ::open(spec.stdout_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int input = spec.stdin_pipe ? in[0] : ::open("/dev/null", O_RDONLY);
    ::dup2(input, STDIN_FILENO);
    ::dup2(output, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    std::vector<char*> argv;
    for (const auto& arg : spec.argv) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  pid_ = pid;
  pidfd_ = OpenPidFd(pid);
  if (spec.stdout_file.empty()) {
    ::close(out[1]);
    out_fd_ = out[0];
    ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
  }
  if (spec.stdin_pipe) {
    ::close(in[0]);
    in_fd_ = in[1];
  }
  return true;
}

void ChildProcess::Send(const std::string& line) {
  if (in_fd_ < 0) {
    return;
  }
  const std::string text = line + "\n";
  // A window that is gone has no reader: the campaign hears of its end through the pidfd.
  [[maybe_unused]] const auto ignored = ::write(in_fd_, text.data(), text.size());
}

void ChildProcess::CloseInput() {
  if (in_fd_ >= 0) {
    ::close(in_fd_);
    in_fd_ = -1;
  }
}

void ChildProcess::Signal(int sig) {
  if (pid_ > 0) {
    ::kill(pid_, sig);
  }
}

std::vector<std::string> ChildProcess::ReadLines() {
  std::vector<std::string> lines;
  if (out_fd_ < 0) {
    return lines;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(out_fd_, buffer, sizeof(buffer))) > 0) {
    partial_.append(buffer, static_cast<std::size_t>(n));
  }
  // At its end the pipe would wake every poll at once: it is closed, and OutputFd is -1.
  if (n == 0) {
    ::close(out_fd_);
    out_fd_ = -1;
  }
  for (auto eol = partial_.find('\n'); eol != std::string::npos; eol = partial_.find('\n')) {
    lines.push_back(partial_.substr(0, eol));
    partial_.erase(0, eol + 1);
  }
  return lines;
}

int ChildProcess::Reap() {
  int status = 0;
  if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) {
    return -1;
  }
  pid_ = -1;
  if (pidfd_ >= 0) {
    ::close(pidfd_);
    pidfd_ = -1;
  }
  if (in_fd_ >= 0) {
    ::close(in_fd_);
    in_fd_ = -1;
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

int ChildProcess::Stop(int sig, int ms) {
  if (pid_ <= 0) {
    return -1;
  }
  Signal(sig);
  pollfd fd{pidfd_, POLLIN, 0};
  if (::poll(&fd, 1, ms) <= 0) {
    ::kill(pid_, SIGKILL);
  }
  return Reap();
}

}  // namespace pelorus::campaign
