// The pelorus-devsim program, started as a child process and driven through its link, and its
// command line.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../station/child.h"
#include "scripted_host.h"
#include "tools/devsim/sim_options.h"

namespace pelorus::devsim {
namespace {

constexpr auto kNone = std::string::npos;

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

// One run of the program with the arguments `args` (words), and what it printed on stdout.
struct Program {
  explicit Program(const std::string& args)
      : child(Words(PELORUS_DEVSIM_PATH " " + args),
              Temp("devsim-stderr-" + std::to_string(::getpid()))) {}

  // The slave path from the next "pty /dev/pts/N" line on stdout; empty at the end of it.
  std::string NextPty() {
    for (std::string line; child.ReadLine(&line);) {
      out += line + "\n";
      if (line.rfind("pty ", 0) == 0) {
        return line.substr(4);
      }
    }
    return "";
  }
  // Reads stdout to its end, then the exit status, or -1 when it did not exit by itself.
  int Wait() {
    for (std::string line; child.ReadLine(&line);) {
      out += line + "\n";
    }
    return child.Wait(30000);
  }

  pelorus::testing::Child child;
  std::string out;
};

// Watches one name in a folder come and go, the way a host waits for its serial adapter to
// come back. Every change from construction on is kept, in order.
class NameWatch {
 public:
  NameWatch(const std::string& folder, std::string name)
      : fd_(::inotify_init1(IN_CLOEXEC)), name_(std::move(name)) {
    EXPECT_GE(::inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_DELETE), 0) << folder;
  }
  ~NameWatch() { ::close(fd_); }

  // "created" or "deleted": the next change to the name; empty when the folder saw no
  // change for five seconds.
  std::string Next() {
    while (changes_.empty()) {
      pollfd pfd{fd_, POLLIN, 0};
      alignas(inotify_event) char buffer[4096];
      const ssize_t n = ::poll(&pfd, 1, 5000) == 1 ? ::read(fd_, buffer, sizeof(buffer)) : 0;
      if (n <= 0) {
        return "";
      }
      for (const char* at = buffer; at < buffer + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len > 0 && name_ == event->name) {
          changes_.push_back(event->mask & IN_CREATE ? "created" : "deleted");
        }
        at += sizeof(inotify_event) + event->len;
      }
    }
    const std::string change = changes_.front();
    changes_.pop_front();
    return change;
  }

 private:
  const int fd_;
  const std::string name_;
  std::deque<std::string> changes_;
};

const std::string kFast = "--boot-pause 1 --command-time 1 --power-cycle 5 ";

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
  EXPECT_EQ(o.first_address, 0x001A2B3C4D5Eu);
  EXPECT_EQ(o.wrong_readback, (std::set<int>{2, 3, 5})) << "repeats add up";
  EXPECT_EQ(o.flood_bytes, std::size_t{1} << 34);
  EXPECT_TRUE(o.replug) << "needs --hangup-after, wherever that stands";
  EXPECT_EQ(o.away.count(), 0);
  EXPECT_TRUE(ParseSimOptions(Words("--devices 3 -h")).help);
}

TEST(DevsimProgramTest, HelpAndABadOptionEndTheProgramAtOnce) {
  Program help("--help");
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.out.find("--hangup-after"), kNone) << help.out;
  Program bad("--gap 1-2");
  EXPECT_EQ(bad.Wait(), 2);
  const std::string err = bad.child.Err();
  EXPECT_EQ(err.rfind("pelorus-devsim: ", 0), 0u) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << "not one line: " << err;
}

// Two devices behind the link, waiting for the host to open it. The host types a command the
// device does not know before the first address: the device refuses it and goes on, and the
// run fails with a one-line reason.
TEST(DevsimProgramTest, ProgramsDevicesBehindTheLinkAndReportsThem) {
  const std::string link = Temp("devsim_program_link");
  const std::string report = Temp("devsim_program.jsonl");
  Program program(kFast + "--link " + link + " --devices 2 --report " + report +
                  " --first 00-1A-2B-3C-4D-5E --wait-open");
  ASSERT_EQ(program.NextPty().rfind("/dev/pts/", 0), 0u) << program.out;
  testing::HostScript script(2);
  script.write_command = [first = script.address](std::uint64_t a) {
    return (a == first ? "macprog2 00-1A-2B-3C-4D\n" : "") + testing::WriteCommand(a);
  };
  const auto host = testing::RunHost(link, script);
  EXPECT_EQ(host.successes, 2);
  EXPECT_EQ(host.CountLinesWith("Unknown command"), 1);
  // Nothing was printed before the host opened the port.
  EXPECT_EQ(host.stream.rfind("\r\nPLX boot loader", 0), 0u) << host.stream.substr(0, 40);
  EXPECT_EQ(program.Wait(), 1);
  EXPECT_NE(program.out.find("device 1: ok 00-1A-2B-3C-4D-5E"), kNone);
  EXPECT_NE(program.out.find("device 2: ok 00-1A-2B-3C-4D-5F"), kNone);
  const std::string err = program.child.Err();
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
  NameWatch watch(folder, "port");
  const std::string link = folder + "/port";
  const std::string report = folder + "/report.jsonl";
  Program program(kFast + "--link " + link + " --devices 3 --hangup-after 1 --replug --away 50 " +
                  "--report " + report + " --quiet");
  std::vector<std::string> ptys;
  testing::HostScript script(2);  // reads on until the hang-up
  for (int device = 1; device <= 3; ++device, ++script.address) {
    SCOPED_TRACE(device);
    ptys.push_back(program.NextPty());
    ASSERT_EQ(ptys.back().rfind("/dev/pts/", 0), 0u) << program.out;
    ASSERT_EQ(watch.Next(), "created");
    EXPECT_EQ(std::filesystem::read_symlink(link), ptys.back());
    const testing::HostRun host = testing::RunHost(link, script);
    EXPECT_EQ(host.successes, 1);
    EXPECT_TRUE(host.hung_up);
    ASSERT_EQ(watch.Next(), "deleted");
  }
  EXPECT_EQ(program.Wait(), 0) << program.child.Err();
  EXPECT_EQ(program.out, "pty " + ptys[0] + "\npty " + ptys[1] + "\npty " + ptys[2] + "\n");
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
    Program program("--link " + link);
    ASSERT_FALSE(program.NextPty().empty());
    ASSERT_EQ(::access(link.c_str(), F_OK), 0);
    program.child.Signal(sig);
    EXPECT_EQ(program.Wait(), 0) << "signal " << sig << ": " << program.child.Err();
    EXPECT_NE(program.out.find("result: ok"), kNone) << program.out;
    EXPECT_NE(::access(link.c_str(), F_OK), 0) << "link left behind";
  }
}

}  // namespace
}  // namespace pelorus::devsim
