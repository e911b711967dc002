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
#include <filesystem>
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

  // The slave path from the next "pty /dev/pts/N" line on stdout; empty when ten seconds
  // pass without a byte before it.
  std::string NextPty() {
    for (std::size_t eol;;) {
      while ((eol = stdout_.find('\n', scanned_)) == kNone) {
        pollfd pfd{out_, POLLIN, 0};
        char c = 0;
        if (::poll(&pfd, 1, 10000) != 1 || ::read(out_, &c, 1) != 1) {
          return "";
        }
        stdout_ += c;
      }
      const std::string line = stdout_.substr(scanned_, eol - scanned_);
      scanned_ = eol + 1;
      if (line.rfind("pty ", 0) == 0) {
        return line.substr(4);
      }
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

// Besides plain mistakes, what CLI11 on its own would take is refused: a flag with a value, a
// C-style number, an empty path. What it takes is read as written.
TEST(SimOptionsTest, RefusesWhatItCannotUseAndReadsEveryValueFormAsWritten) {
  std::istringstream bad_lines(  // one command line between bars
      "--bogus|stray|--devices|--devices 0|--devices x|--zeros 101|--chunk 0-3|--chunk 5-2|"
      "--gap 1-2|--line-end crcr|--echo maybe|--no-answer 1:later|--first 00-1A-2B-3C-4D|"
      "--first 00:1A:2B:3C:4D:5E|--wrong-readback 2,|--seed -1|--quiet=yes|--boot-pause 0x10|"
      "--link=|--replug|--away -1");
  for (std::string bad; std::getline(bad_lines, bad, '|');) {
    const auto parsed = ParseSimOptions(Words(bad));
    EXPECT_FALSE(parsed.ok) << bad;
    EXPECT_FALSE(parsed.error.empty()) << bad;
  }
  EXPECT_FALSE(ParseSimOptions({"--report", ""}).ok);
  // --no-delays zeroes the pauses (later options win) but not the interrupt wait: a boot the
  // host missed must still restart.
  SimOptions o = ParseSimOptions(Words("--byte-delay 50 --no-delays --boot-pause=5")).options;
  EXPECT_EQ(o.command_time.count() + o.byte_delay.count(), 0);
  EXPECT_EQ(o.boot_pause.count(), 5);
  EXPECT_EQ(o.interrupt_wait, SimOptions{}.interrupt_wait);

  const auto parsed = ParseSimOptions(
      Words("--devices 010 --seed=18446744073709551615 --interrupt-wait forever --chunk 3 "
            "--gap=0-7 --line-end lf --echo off --first 00-1A-2B-3C-4D-5E --no-answer 4:interrupt "
            "--wrong-readback 2,3 --wrong-readback=5 --flood 17179869184 --quiet --replug --away 0 "
            "--hangup-after 3"));
  ASSERT_TRUE(parsed.ok) << parsed.error;
  o = parsed.options;
  EXPECT_EQ(o.devices, 10) << "a leading zero is not octal";
  EXPECT_EQ(o.seed, 18446744073709551615u);
  EXPECT_LT(o.interrupt_wait.count(), 0);
  EXPECT_TRUE(o.chunking && o.chunk.min == 3 && o.chunk.max == 3 && o.gap_ms.max == 7);
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

// Two devices behind the link, waiting for the host to open it. The host types a command the
// device does not know before the first address: the device refuses it and goes on, and the
// run fails with a one-line reason.
TEST(DevsimProgramTest, ProgramsDevicesBehindTheLinkAndReportsThem) {
  const std::string link = Temp("devsim_program_link");
  const std::string report = Temp("devsim_program.jsonl");
  Program program(Fast({"--link", link, "--devices", "2", "--report", report, "--first",
                        "00-1A-2B-3C-4D-5E", "--wait-open"}));
  ASSERT_EQ(program.NextPty().rfind("/dev/pts/", 0), 0u) << program.out();
  testing::HostScript script;
  script.successes_wanted = 2;
  script.write_command = [first = script.address](std::uint64_t a) {
    return (a == first ? "macprog2 00-1A-2B-3C-4D\n" : "") + testing::WriteCommand(a);
  };
  const auto host = testing::RunHost(link, script);
  EXPECT_EQ(host.successes, 2);
  EXPECT_EQ(host.CountLinesWith("Unknown command"), 1);
  // Nothing was printed before the host opened the port.
  EXPECT_EQ(host.stream.rfind("\r\nPLX boot loader", 0), 0u) << host.stream.substr(0, 40);
  EXPECT_EQ(program.Wait(), 1);
  EXPECT_NE(program.out().find("device 1: ok 00-1A-2B-3C-4D-5E"), kNone);
  EXPECT_NE(program.out().find("device 2: ok 00-1A-2B-3C-4D-5F"), kNone);
  const std::string& err = program.err();
  const std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
  EXPECT_NE(last.find("host error"), kNone) << err;
  EXPECT_NE(last.find("unknown command"), kNone) << err;
  EXPECT_NE(::access(link.c_str(), F_OK), 0) << "link left behind";
  const std::string text = ReadFile(report);
  EXPECT_NE(text.find("\"device\":2,\"result\":\"ok\""), kNone) << text;
  EXPECT_NE(text.find("\"readback\":\"00 1A 2B 3C 4D 5F\""), kNone) << text;
  const auto end = text.rfind("{\"event\":\"end\"");
  EXPECT_NE(text.find("\"exit\":1", end), kNone) << text;
  EXPECT_EQ(text.find('\n', end), text.size() - 1) << "the end is not the last line";
}

// Pulled out after each device and plugged back in: the link goes with the port and comes back
// with the new one, which scripts find the way they found the first, --quiet or not; the next
// device expects the address after the last. The report tells when it went and came back.
TEST(DevsimProgramTest, ReplugAnnouncesTheNewPortBehindTheSameLinkAndReportsIt) {
  std::string folder = Temp("devsim_replug_XXXXXX");
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  testing::FolderWatch watch(folder);
  const std::string link = folder + "/port";
  const std::string report = folder + "/report.jsonl";
  Program program(Fast({"--link", link, "--devices", "3", "--hangup-after", "1", "--replug",
                        "--away", "50", "--report", report, "--quiet"}));
  std::vector<std::string> ptys;
  testing::HostScript script;
  script.successes_wanted = 2;  // reads on until the hang-up
  for (int device = 1; device <= 3; ++device, ++script.address) {
    SCOPED_TRACE(device);
    ptys.push_back(program.NextPty());
    ASSERT_EQ(ptys.back().rfind("/dev/pts/", 0), 0u) << program.out();
    ASSERT_EQ(watch.Next("port"), testing::FolderWatch::Change::kCreated);
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof(target) - 1), 0);
    EXPECT_EQ(ptys.back(), target);
    const testing::HostRun host = testing::RunHost(link, script);
    EXPECT_EQ(host.successes, 1);
    EXPECT_TRUE(host.hung_up);
    ASSERT_EQ(watch.Next("port"), testing::FolderWatch::Change::kDeleted);
  }
  EXPECT_EQ(program.Wait(), 0) << program.err();
  EXPECT_EQ(program.out(), "pty " + ptys[0] + "\npty " + ptys[1] + "\npty " + ptys[2] + "\n");
  const std::string text = ReadFile(report);
  const auto device1 = text.find("{\"event\":\"device\",\"device\":1,\"result\":\"ok\"");
  const auto unplug = text.find("{\"event\":\"unplug\"");
  const auto replug = text.find("{\"event\":\"replug\"");
  const auto device2 = text.find("{\"event\":\"device\",\"device\":2,\"result\":\"ok\"");
  EXPECT_TRUE(device1 < unplug && unplug < replug && replug < device2 && device2 != kNone) << text;
  EXPECT_NE(text.find("\"pty\":\"" + ptys[1] + "\"", replug), kNone) << text;
  EXPECT_NE(text.find("\"unplugs\":2", text.rfind("{\"event\":\"end\"")), kNone) << text;
  std::filesystem::remove_all(folder);
}

TEST(DevsimProgramTest, SigintAndSigtermEndTheRunCleanly) {
  for (const int sig : {SIGINT, SIGTERM}) {
    const std::string link = Temp("devsim_signal_link");
    Program program({"--link", link});
    ASSERT_FALSE(program.NextPty().empty());
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
    const auto host = testing::RunHost(program.NextPty(), testing::HostScript{});
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
