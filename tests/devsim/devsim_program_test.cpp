// The pelorus-devsim program, started as a child process and driven through its link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scripted_host.h"

namespace pelorus::devsim {
namespace {

using std::chrono::milliseconds;

// Reads everything a pipe delivers until `deadline`, or until `enough` says so.
std::string ReadPipe(int fd, milliseconds deadline,
                     const std::function<bool(const std::string&)>& enough) {
  std::string text;
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!enough(text)) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
    pollfd pfd{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n <= 0) {
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// One run of the program with its stdout and stderr captured.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::close(out[0]);
      ::close(err[0]);
      std::vector<char*> argv{const_cast<char*>(PELORUS_DEVSIM_PATH)};
      for (auto& a : args) {
        argv.push_back(a.data());
      }
      argv.push_back(nullptr);
      ::execv(PELORUS_DEVSIM_PATH, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  // The slave path from the first stdout line, "pty /dev/pts/N".
  std::string PtyPath() {
    stdout_ += ReadPipe(out_, milliseconds(5000), [this](const std::string& t) {
      return (stdout_ + t).find('\n') != std::string::npos;
    });
    const auto nl = stdout_.find('\n');
    if (stdout_.rfind("pty ", 0) != 0 || nl == std::string::npos) {
      return {};
    }
    return stdout_.substr(4, nl - 4);
  }

  // Waits (bounded) for the exit; the status as waitpid gives it, or -1.
  int Wait() {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    pollfd pfd{pidfd, POLLIN, 0};
    const bool exited = pidfd >= 0 && ::poll(&pfd, 1, 10000) == 1;
    if (pidfd >= 0) {
      ::close(pidfd);
    }
    if (!exited) {
      return -1;
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    const auto all = [](const std::string&) { return false; };
    stdout_ += ReadPipe(out_, milliseconds(1000), all);
    stderr_ = ReadPipe(err_, milliseconds(1000), all);
    return status;
  }

  pid_t pid() const { return pid_; }
  const std::string& out() const { return stdout_; }
  const std::string& err() const { return stderr_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string stdout_;
  std::string stderr_;
};

std::vector<std::string> Fast(std::vector<std::string> more) {
  std::vector<std::string> args = {"--boot-pause",  "1", "--command-time", "1",
                                   "--power-cycle", "5"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::string Temp(const std::string& name) {
  return ::testing::TempDir() + name;
}

TEST(DevsimProgramTest, HelpListsEveryOptionAndBadOptionsAreRefused) {
  Program help({"--help"});
  const int status = help.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const char* option :
       {"--link",         "--devices",      "--report",        "--seed",
        "--first",        "--echo",         "--line-end",      "--quiet",
        "--wait-open",    "--open-delay",   "--boot-pause",    "--interrupt-wait",
        "--command-time", "--power-cycle",  "--restart-pause", "--boot-attempts",
        "--byte-delay",   "--drain-limit",  "--no-delays",     "--chunk",
        "--gap",          "--zeros",        "--noise",         "--wrong-readback",
        "--no-answer",    "--hangup-after", "--flood"}) {
    EXPECT_NE(help.out().find(option), std::string::npos) << option;
  }
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--bogus"},
                                             {"--gap", "1-2"},
                                             {"--line-end", "crcr"},
                                             {"--devices"},
                                             {"--no-answer", "1:later"},
                                             {"--chunk", "5-2"}}) {
    Program program(bad);
    const int s = program.Wait();
    ASSERT_TRUE(WIFEXITED(s)) << bad[0];
    EXPECT_EQ(WEXITSTATUS(s), 2) << bad[0];
    EXPECT_NE(program.err().find("pelorus-devsim: "), std::string::npos);
  }
}

TEST(DevsimProgramTest, ProgramsDevicesBehindTheLink) {
  const std::string link = Temp("devsim_program_link");
  const std::string report = Temp("devsim_program.jsonl");
  Program program(
      Fast({"--link", link, "--devices", "2", "--report", report, "--first", "00-1A-2B-3C-4D-5E"}));
  const std::string pty = program.PtyPath();
  ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << program.out();
  testing::HostScript script;
  script.successes_wanted = 2;
  const auto host = testing::RunHost(link, script);
  EXPECT_EQ(host.successes, 2) << host.error;
  const int status = program.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << program.err();
  EXPECT_NE(program.out().find("device 1: ok 00-1A-2B-3C-4D-5E"), std::string::npos);
  EXPECT_NE(program.out().find("device 2: ok 00-1A-2B-3C-4D-5F"), std::string::npos);
  EXPECT_NE(::access(link.c_str(), F_OK), 0) << "link left behind";
  std::ifstream in(report);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("\"event\":\"end\",\"t_ms\""), std::string::npos);
  EXPECT_NE(text.str().find("\"readback\":\"00 1A 2B 3C 4D 5F\""), std::string::npos);
}

TEST(DevsimProgramTest, WrongCommandFailsWithAOneLineReason) {
  Program program(Fast({"--devices", "1", "--first", "00-1A-2B-3C-4D-5E"}));
  const std::string pty = program.PtyPath();
  testing::HostScript script;
  int tries = 0;
  // First a wrong command, then the right one: the device refuses, then goes on.
  script.write_command = [&tries](std::uint64_t a) {
    return tries++ == 0 ? std::string("macprog2 00-1A-2B-3C-4D\n") : testing::WriteCommand(a);
  };
  script.stop_text = "Unknown command";
  testing::RunHost(pty, script);
  // The prompt is open again: type the right command; the host then sees it through.
  const int fd = ::open(pty.c_str(), O_RDWR | O_NOCTTY);
  const std::string command = testing::WriteCommand(0x001A2B3C4D5E);
  EXPECT_EQ(::write(fd, command.data(), command.size()), static_cast<ssize_t>(command.size()));
  ::close(fd);
  EXPECT_EQ(testing::RunHost(pty, testing::HostScript{}).successes, 1);
  const int status = program.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::string& err = program.err();
  ASSERT_FALSE(err.empty());
  const std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
  EXPECT_NE(last.find("host error"), std::string::npos) << err;
  EXPECT_NE(err.find("unknown command"), std::string::npos) << err;
}

TEST(DevsimProgramTest, SigintAndSigtermEndTheRunCleanly) {
  for (const int sig : {SIGINT, SIGTERM}) {
    const std::string link = Temp("devsim_signal_link");
    Program program({"--link", link});
    ASSERT_FALSE(program.PtyPath().empty());
    ASSERT_EQ(::access(link.c_str(), F_OK), 0);
    ::kill(program.pid(), sig);
    const int status = program.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << "killed by the signal instead of ending";
    EXPECT_EQ(WEXITSTATUS(status), 0) << program.err();
    EXPECT_NE(program.out().find("result: ok"), std::string::npos) << program.out();
    EXPECT_NE(::access(link.c_str(), F_OK), 0) << "link left behind";
  }
}

TEST(DevsimProgramTest, SeedDecidesBytesAndChunks) {
  const auto play = [](const std::string& seed) {
    const std::string report = Temp("devsim_seed.jsonl");
    Program program(Fast({"--devices", "1", "--seed", seed, "--chunk", "1-9", "--gap", "0-1",
                          "--noise", "40", "--zeros", "40", "--report", report, "--quiet"}));
    const auto host = testing::RunHost(program.PtyPath(), testing::HostScript{});
    EXPECT_EQ(host.successes, 1);
    const int status = program.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << program.err();
    EXPECT_EQ(program.out().find('\n'), program.out().size() - 1)
        << "--quiet printed " << program.out();
    std::ifstream in(report);
    std::string line;
    std::string end;
    while (std::getline(in, line)) {
      end = line;
    }
    // What follows the dump depends on when the host stopped reading.
    const auto dump_end = host.stream.find("4D 5E\r");
    EXPECT_NE(dump_end, std::string::npos);
    return host.stream.substr(0, dump_end) + "|" + end.substr(end.find("\"out_digest\""));
  };
  const std::string first = play("42");
  EXPECT_EQ(first, play("42"));
  EXPECT_NE(first, play("43"));
}

}  // namespace
}  // namespace pelorus::devsim
