#include "station_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace pelorus::bench {
namespace {

constexpr std::chrono::seconds kStopTimeout{30};

}  // namespace

StationProcess::StationProcess() {
  char folder[] = "/tmp/pelorus-rack-XXXXXX";
  if (mkdtemp(folder) != nullptr) {
    folder_ = folder;
  }
}

StationProcess::~StationProcess() {
  Stop();
  if (!folder_.empty()) {
    std::filesystem::remove_all(folder_);
  }
}

bool StationProcess::Start(const std::vector<std::string>& options) {
  int log[2] = {-1, -1};
  if (folder_.empty() || pid_ > 0 || pipe2(log, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "bench: no folder or pipe for pelorus-station\n");
    return false;
  }
  std::vector<std::string> args{PELORUS_STATION};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), {"--events", folder_ + "/events.jsonl"});
  // The journal of a station that cannot reach its store goes to a state folder: this one,
  // not the user's.
  std::vector<std::string> env{"XDG_STATE_HOME=" + folder_ + "/state"};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "XDG_STATE_HOME=", 15) != 0) {
      env.emplace_back(*e);
    }
  }
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : env) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, log[1], STDERR_FILENO);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(log[1]);
  if (spawned != 0) {
    pid_ = -1;
    close(log[0]);
    std::fprintf(stderr, "bench: pelorus-station did not start (%s)\n", std::strerror(spawned));
    return false;
  }
  reader_ = std::thread([this, fd = log[0]] { ReadLog(fd); });
  return true;
}

void StationProcess::ReadLog(int fd) {
  std::string partial;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    partial.append(buffer, static_cast<std::size_t>(n));
    std::vector<std::string> lines;
    for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
      lines.push_back(partial.substr(0, end));
      partial.erase(0, end + 1);
    }
    if (!lines.empty()) {
      std::lock_guard<std::mutex> lock(mutex_);
      log_.insert(log_.end(), lines.begin(), lines.end());
      changed_.notify_all();
    }
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  log_ended_ = true;
  changed_.notify_all();
}

bool StationProcess::WaitForLog(const std::string& text, int count,
                                std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  bool reached = false;
  changed_.wait_for(lock, timeout, [&] {
    reached = std::count_if(log_.begin(), log_.end(), [&](const std::string& line) {
                return line.find(text) != std::string::npos;
              }) >= count;
    return reached || log_ended_;
  });
  return reached;
}

std::vector<std::string> StationProcess::Log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

int StationProcess::Stop() {
  if (pid_ <= 0) {
    return status_;
  }
  kill(pid_, SIGTERM);
  // Its standard error closes as it ends.
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, kStopTimeout, [this] { return log_ended_; })) {
      kill(pid_, SIGKILL);
    }
  }
  int wstatus = 0;
  while (waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
  }
  reader_.join();
  pid_ = -1;
  status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return status_;
}

std::vector<std::string> StationProcess::Events() const {
  std::vector<std::string> events;
  std::ifstream in(folder_ + "/events.jsonl");
  for (std::string line; std::getline(in, line);) {
    events.push_back(line);
  }
  return events;
}

}  // namespace pelorus::bench
