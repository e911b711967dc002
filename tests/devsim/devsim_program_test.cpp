// The pelorus-devsim program, started as a child process and driven through its link, and its
// command line.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "scripted_host.h"
#include "tools/devsim/sim_options.h"

namespace pelorus::devsim {
namespace {

constexpr auto kNone = std::string::npos;

std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof(buffer))) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

std::string ReadFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

std::string Temp(const std::string& name) {
  return ::testing::TempDir() + name;
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

  // The slave path from the first stdout line, "pty /dev/pts/N"; empty if there is none.
  std::string PtyPath() {
    char c = 0;
    while (stdout_.find('\n') == kNone && ::read(out_, &c, 1) == 1) {
      stdout_ += c;
    }
    scanned_ = std::max(scanned_, stdout_.size());
    return stdout_.rfind("pty ", 0) == 0 ? stdout_.substr(4, stdout_.size() - 5) : "";
  }

  // The slave path from the next "pty /dev/pts/M" line after those seen, waiting up to
  // `limit` for it; empty if none came.
  std::string NextPtyPath(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      for (std::size_t eol; (eol = stdout_.find('\n', scanned_)) != kNone;) {
        const std::string line = stdout_.substr(scanned_, eol - scanned_);
        scanned_ = eol + 1;
        if (line.rfind("pty ", 0) == 0) {
          return line.substr(4);
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd pfd{out_, POLLIN, 0};
      char buffer[4096];
      ssize_t n = 0;
      if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0 ||
          (n = ::read(out_, buffer, sizeof(buffer))) <= 0) {
        return "";
      }
      stdout_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  void Signal(int sig) { ::kill(pid_, sig); }

  // Waits (bounded) for the exit; the exit status, or -1 when it did not exit by itself.
  int Wait() {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    pollfd pfd{pidfd, POLLIN, 0};
    const bool exited = pidfd >= 0 && ::poll(&pfd, 1, 10000) == 1;
    ::close(pidfd);
    int status = 0;
    if (!exited || ::waitpid(pid_, &status, 0) != pid_) {
      return -1;
    }
    pid_ = -1;
    stdout_ += ReadToEnd(out_);
    stderr_ = ReadToEnd(err_);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& out() const { return stdout_; }
  const std::string& err() const { return stderr_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string stdout_;
  std::size_t scanned_ = 0;  // stdout_ before this has been looked through for "pty" lines
  std::string stderr_;
};

std::vector<std::string> Fast(std::vector<std::string> more) {
  std::vector<std::string> args = Words("--boot-pause 1 --command-time 1 --power-cycle 5");
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TEST(SimOptionsTest, RefusesWhatItCannotUseAndNoDelaysKeepsTheInterruptWait) {
  // Besides plain mistakes, what CLI11 on its own would take: a flag with a value, a C-style
  // number, an empty path.
  for (const char* bad : {"--bogus",
                          "stray",
                          "--devices",
                          "--devices 0",
                          "--devices x",
                          "--zeros 101",
                          "--chunk 0-3",
                          "--chunk 5-2",
                          "--gap 1-2",
                          "--line-end crcr",
                          "--echo maybe",
                          "--no-answer 1:later",
                          "--first 00-1A-2B-3C-4D",
                          "--first 00:1A:2B:3C:4D:5E",
                          "--wrong-readback 2,",
                          "--seed -1",
                          "--quiet=yes",
                          "--boot-pause 0x10",
                          "--link=",
                          "--replug",
                          "--away -1"}) {
    const auto parsed = ParseSimOptions(Words(bad));
    EXPECT_FALSE(parsed.ok) << bad;
    EXPECT_FALSE(parsed.error.empty()) << bad;
  }
  EXPECT_FALSE(ParseSimOptions({"--report", ""}).ok);
  // --no-delays zeroes the pauses (later options win) but not the interrupt wait: a boot the
  // host missed must still restart.
  const SimOptions o = ParseSimOptions(Words("--byte-delay 50 --no-delays --boot-pause=5")).options;
  EXPECT_EQ(o.command_time.count() + o.byte_delay.count(), 0);
  EXPECT_EQ(o.boot_pause.count(), 5);
  EXPECT_EQ(o.interrupt_wait, SimOptions{}.interrupt_wait);
}

TEST(SimOptionsTest, ReadsEveryValueFormAsWritten) {
  const auto parsed = ParseSimOptions(
      Words("--devices 010 --seed=18446744073709551615 --interrupt-wait forever --chunk 3 "
            "--gap=0-7 --line-end lf --echo off --first 00-1A-2B-3C-4D-5E --no-answer 4:interrupt "
            "--wrong-readback 2,3 --wrong-readback=5 --flood 17179869184 --quiet --replug --away 0 "
            "--hangup-after 3"));
  ASSERT_TRUE(parsed.ok) << parsed.error;
  const SimOptions& o = parsed.options;
  EXPECT_EQ(o.devices, 10) << "a leading zero is not octal";
  EXPECT_EQ(o.seed, 18446744073709551615u);
  EXPECT_LT(o.interrupt_wait.count(), 0);
  EXPECT_TRUE(o.chunking);
  EXPECT_EQ(o.chunk.min, 3);
  EXPECT_EQ(o.chunk.max, 3);
  EXPECT_EQ(o.gap_ms.max, 7);
  EXPECT_EQ(o.line_end, LineEnd::kLf);
  EXPECT_FALSE(o.echo);
  EXPECT_EQ(o.first_address, 0x001A2B3C4D5Eu);
  EXPECT_EQ(o.mute_device, 4);
  EXPECT_EQ(o.mute_stage, MuteStage::kInterrupt);
  EXPECT_EQ(o.wrong_readback, (std::set<int>{2, 3, 5})) << "repeats add up";
  EXPECT_EQ(o.flood_bytes, std::size_t{1} << 34);
  EXPECT_FALSE(o.console_output);
  EXPECT_TRUE(o.replug) << "needs --hangup-after, wherever that stands";
  EXPECT_EQ(o.away.count(), 0);
  EXPECT_TRUE(ParseSimOptions(Words("--devices 3 -h")).help);
}

TEST(DevsimProgramTest, HelpListsEveryOptionAndABadOneIsRefused) {
  Program help({"--help"});
  EXPECT_EQ(help.Wait(), 0);
  for (const std::string& option : Words(
           "--link --devices --report --seed --first --echo --line-end --quiet --wait-open "
           "--open-delay --boot-pause --interrupt-wait --command-time --power-cycle "
           "--restart-pause --boot-attempts --byte-delay --drain-limit --no-delays --chunk --gap "
           "--zeros --noise --wrong-readback --no-answer --hangup-after --replug --away --flood")) {
    EXPECT_NE(help.out().find(option), kNone) << option;
  }
  Program bad({"--gap", "1-2"});
  EXPECT_EQ(bad.Wait(), 2);
  EXPECT_EQ(bad.err().rfind("pelorus-devsim: ", 0), 0u) << bad.err();
  EXPECT_EQ(bad.err().find('\n'), bad.err().size() - 1) << "not one line: " << bad.err();
}

TEST(DevsimProgramTest, ProgramsDevicesBehindTheLinkAndReportsThem) {
  const std::string link = Temp("devsim_program_link");
  const std::string report = Temp("devsim_program.jsonl");
  Program program(
      Fast({"--link", link, "--devices", "2", "--report", report, "--first", "00-1A-2B-3C-4D-5E"}));
  ASSERT_EQ(program.PtyPath().rfind("/dev/pts/", 0), 0u) << program.out();
  testing::HostScript script;
  script.successes_wanted = 2;
  EXPECT_EQ(testing::RunHost(link, script).successes, 2);
  EXPECT_EQ(program.Wait(), 0) << program.err();
  EXPECT_NE(program.out().find("device 1: ok 00-1A-2B-3C-4D-5E"), kNone);
  EXPECT_NE(program.out().find("device 2: ok 00-1A-2B-3C-4D-5F"), kNone);
  EXPECT_NE(::access(link.c_str(), F_OK), 0) << "link left behind";
  const std::string text = ReadFile(report);
  EXPECT_NE(text.find("\"device\":2,\"result\":\"ok\""), kNone) << text;
  EXPECT_NE(text.find("\"readback\":\"00 1A 2B 3C 4D 5F\""), kNone) << text;
  const auto end = text.rfind("{\"event\":\"end\"");
  EXPECT_NE(text.find("\"exit\":0", end), kNone) << text;
  EXPECT_EQ(text.find('\n', end), text.size() - 1) << "the end is not the last line";
}

// Scripts find the port that comes back the way they found the first one, --quiet or not,
// and the report tells when it went and when it came back.
TEST(DevsimProgramTest, ReplugAnnouncesTheNewPortBehindTheSameLinkAndReportsIt) {
  const std::string link = Temp("devsim_replug_link");
  const std::string report = Temp("devsim_replug.jsonl");
  Program program(Fast({"--link", link, "--devices", "2", "--hangup-after", "1", "--replug",
                        "--away", "100", "--report", report, "--quiet"}));
  const std::string first = program.PtyPath();
  ASSERT_EQ(first.rfind("/dev/pts/", 0), 0u) << program.out();
  testing::HostScript script;
  script.successes_wanted = 2;  // reads on until the hang-up
  auto host = testing::RunHost(link, script);
  EXPECT_EQ(host.successes, 1);
  EXPECT_TRUE(host.hung_up);

  const std::string second = program.NextPtyPath(std::chrono::milliseconds(10000));
  ASSERT_EQ(second.rfind("/dev/pts/", 0), 0u) << program.out();
  char target[256] = {};
  ASSERT_GT(::readlink(link.c_str(), target, sizeof(target) - 1), 0) << "no link with the line";
  EXPECT_EQ(second, target);
  script.address = 0x001A2B3C4D5F;  // one above the address the first device read back
  host = testing::RunHost(link, script);
  EXPECT_EQ(host.successes, 1);

  EXPECT_EQ(program.Wait(), 0) << program.err();
  EXPECT_EQ(program.out(), "pty " + first + "\npty " + second + "\n");
  EXPECT_NE(::access(link.c_str(), F_OK), 0) << "link left behind";
  const std::string text = ReadFile(report);
  const auto device1 = text.find("{\"event\":\"device\",\"device\":1,\"result\":\"ok\"");
  const auto unplug = text.find("{\"event\":\"unplug\"");
  const auto replug = text.find("{\"event\":\"replug\"");
  const auto device2 = text.find("{\"event\":\"device\",\"device\":2,\"result\":\"ok\"");
  EXPECT_TRUE(device1 < unplug && unplug < replug && replug < device2 && device2 != kNone) << text;
  EXPECT_NE(text.find("\"pty\":\"" + second + "\"", replug), kNone) << text;
  EXPECT_NE(text.find("\"unplugs\":1", text.rfind("{\"event\":\"end\"")), kNone) << text;
}

TEST(DevsimProgramTest, WrongCommandIsRefusedAndFailsTheRunWithAOneLineReason) {
  Program program(Fast({"--devices", "1"}));
  testing::HostScript script;
  // A command the device does not know, then the right one: it refuses, then goes on.
  script.write_command = [](std::uint64_t a) {
    return "macprog2 00-1A-2B-3C-4D\n" + testing::WriteCommand(a);
  };
  const auto host = testing::RunHost(program.PtyPath(), script);
  EXPECT_EQ(host.successes, 1);
  EXPECT_EQ(host.CountLinesWith("Unknown command"), 1);
  EXPECT_EQ(program.Wait(), 1);
  const std::string& err = program.err();
  ASSERT_FALSE(err.empty());
  const std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
  EXPECT_NE(last.find("host error"), kNone) << err;
  EXPECT_NE(last.find("unknown command"), kNone) << err;
}

TEST(DevsimProgramTest, SigintAndSigtermEndTheRunCleanly) {
  for (const int sig : {SIGINT, SIGTERM}) {
    const std::string link = Temp("devsim_signal_link");
    Program program({"--link", link});
    ASSERT_FALSE(program.PtyPath().empty());
    ASSERT_EQ(::access(link.c_str(), F_OK), 0);
    program.Signal(sig);
    EXPECT_EQ(program.Wait(), 0) << "signal " << sig << ": " << program.err();
    EXPECT_NE(program.out().find("result: ok"), kNone) << program.out();
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
    EXPECT_EQ(program.Wait(), 0) << program.err();
    EXPECT_EQ(program.out().find('\n'), program.out().size() - 1)
        << "--quiet printed " << program.out();
    // What follows the dump depends on when the host stopped reading.
    const auto dump_end = host.stream.find("4D 5E\r");
    EXPECT_NE(dump_end, kNone);
    const std::string text = ReadFile(report);
    return host.stream.substr(0, dump_end) + "|" + text.substr(text.rfind("\"out_digest\""));
  };
  const std::string first = play("42");
  EXPECT_EQ(first, play("42"));
  EXPECT_NE(first, play("43"));
}

}  // namespace
}  // namespace pelorus::devsim
