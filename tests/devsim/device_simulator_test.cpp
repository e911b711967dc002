// The simulated device driven in-process over a real pseudo-terminal by a scripted host.
#include "tools/devsim/device_simulator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>

#include "scripted_host.h"
#include "tools/devsim/console_text.h"

namespace pelorus::devsim {
namespace {

using std::chrono::milliseconds;
using testing::HostRun;
using testing::HostScript;
using testing::RunHost;

SimOptions FastOptions() {
  SimOptions o;
  o.boot_pause = milliseconds(1);
  o.command_time = milliseconds(1);
  o.power_cycle = milliseconds(5);
  o.restart_pause = milliseconds(5);
  o.interrupt_wait = milliseconds(5000);
  o.console_output = false;
  return o;
}

// Runs the simulator on its own thread for the length of one test.
class Bench {
 public:
  explicit Bench(const SimOptions& options) : sim_(options) {
    std::string error;
    opened_ = sim_.Open(&error);
    EXPECT_TRUE(opened_) << error;
    if (opened_) {
      result_ = std::async(std::launch::async, [this] { return sim_.Run(); });
    }
  }
  ~Bench() {
    if (result_.valid()) {
      sim_.RequestStop();
      result_.wait();
    }
  }
  const std::string& path() const { return sim_.SlavePath(); }
  HostRun Host(const HostScript& script) { return RunHost(path(), script); }
  // Waits (bounded) for Run to return on its own; stops it if it does not.
  SimResult Wait(bool stop = false) {
    if (stop) {
      sim_.RequestStop();
    }
    if (result_.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the simulator did not finish in time";
      sim_.RequestStop();
    }
    return result_.get();
  }

 private:
  DeviceSimulator sim_;
  bool opened_ = false;
  std::future<SimResult> result_;
};

int CountLinesWith(const HostRun& run, const std::string& text) {
  int count = 0;
  for (const auto& line : run.lines) {
    count += line.find(text) != std::string::npos ? 1 : 0;
  }
  return count;
}

TEST(DeviceSimulatorTest, PlaysSeveralDevicesAndReportsThem) {
  SimOptions o = FastOptions();
  o.devices = 3;
  o.report_path = ::testing::TempDir() + "devsim_happy.jsonl";
  Bench bench(o);
  HostScript script;
  script.address = 0x00000000FFFE;  // crosses an octet carry on the way
  script.successes_wanted = 3;
  const HostRun host = bench.Host(script);
  const SimResult result = bench.Wait();

  EXPECT_EQ(host.successes, 3) << host.stream;
  EXPECT_EQ(result.exit_code, 0) << result.reason;
  ASSERT_EQ(result.devices.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const DeviceRecord& d = result.devices[i];
    EXPECT_EQ(d.result, "ok");
    EXPECT_EQ(d.written, 0x00000000FFFEULL + i);
    EXPECT_EQ(d.shown, d.written);
    EXPECT_EQ(d.boots, 1);
    EXPECT_LE(d.power_on_ms, d.code_ms);
    EXPECT_LE(d.code_ms, d.interrupt_ms);
    EXPECT_LE(d.interrupt_ms, d.prompt_ms);
    EXPECT_LE(d.prompt_ms, d.write_ms);
    EXPECT_LE(d.write_ms, d.done_ms);
    EXPECT_LE(d.done_ms, d.read_ms);
    EXPECT_LE(d.read_ms, d.dump_ms);
  }
  // Nothing but the intended lines looks like a trigger to a host.
  EXPECT_EQ(CountLinesWith(host, "CODE"), 3);
  EXPECT_EQ(CountLinesWith(host, "480"), 3);
  EXPECT_EQ(CountLinesWith(host, "done"), 3);
  EXPECT_NE(host.stream.find("1fd0000c: 00 00 00 01 00 00\r\n"), std::string::npos);
  EXPECT_NE(host.stream.find("=> macprog2 00-00-00-00-FF-FF\r\n"), std::string::npos);

  std::ifstream report(o.report_path);
  std::string line;
  int devices = 0;
  std::string last;
  while (std::getline(report, line)) {
    devices += line.rfind("{\"event\":\"device\"", 0) == 0 ? 1 : 0;
    last = line;
  }
  EXPECT_EQ(devices, 3);
  EXPECT_EQ(last.rfind("{\"event\":\"end\"", 0), 0u) << last;
  EXPECT_NE(last.find("\"exit\":0"), std::string::npos);
}

TEST(DeviceSimulatorTest, OtherLineEndingsAndNoEcho) {
  for (const LineEnd end : {LineEnd::kLfCr, LineEnd::kCr}) {
    SimOptions o = FastOptions();
    o.devices = 1;
    o.line_end = end;
    o.echo = false;
    Bench bench(o);
    const HostRun host = bench.Host(HostScript{});
    const SimResult result = bench.Wait();
    EXPECT_EQ(result.exit_code, 0) << LineEndName(end) << ": " << result.reason;
    EXPECT_EQ(host.successes, 1);
    EXPECT_EQ(host.stream.find("\r\n"), std::string::npos);
    EXPECT_EQ(host.stream.find("macprog2"), std::string::npos) << "echoed although off";
    if (end == LineEnd::kCr) {
      EXPECT_EQ(host.stream.find('\n'), std::string::npos);
    } else {
      EXPECT_NE(host.stream.find("boot console\n\r"), std::string::npos);
    }
  }
  // A console that ends lines in LF alone never completes a line for a CR host: the device
  // boots on, restarts and finally gives up.
  SimOptions o = FastOptions();
  o.line_end = LineEnd::kLf;
  o.interrupt_wait = milliseconds(10);
  o.boot_attempts = 2;
  Bench bench(o);
  HostScript script;
  script.stop_text = "Watchdog reset\n";
  const HostRun host = bench.Host(script);
  const SimResult result = bench.Wait();
  EXPECT_EQ(host.stream.find('\r'), std::string::npos);
  EXPECT_EQ(result.exit_code, 1);
  ASSERT_EQ(result.devices.size(), 1u);
  EXPECT_EQ(result.devices[0].result, "gave-up");
  EXPECT_EQ(result.devices[0].boots, 2);
}

TEST(DeviceSimulatorTest, ChunkingGapsAndByteDelayKeepTheDialogueWhole) {
  SimOptions o = FastOptions();
  o.devices = 2;
  o.chunking = true;
  o.chunk = {1, 7};
  o.gap_ms = {0, 2};
  o.byte_delay = std::chrono::microseconds(20);
  Bench bench(o);
  HostScript script;
  script.successes_wanted = 2;
  const auto start = std::chrono::steady_clock::now();
  const HostRun host = bench.Host(script);
  const SimResult result = bench.Wait();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.exit_code, 0) << result.reason;
  EXPECT_EQ(host.successes, 2);
  // The byte delay is a floor on the time the output takes.
  EXPECT_GE(elapsed, std::chrono::microseconds(20) * static_cast<long>(result.bytes_out));
}

TEST(DeviceSimulatorTest, ZeroBytesAndNoiseStayBetweenLines) {
  SimOptions o = FastOptions();
  o.devices = 1;
  o.zero_percent = 100;
  o.noise_percent = 100;
  Bench bench(o);
  const HostRun host = bench.Host(HostScript{});
  const SimResult result = bench.Wait();
  EXPECT_EQ(result.exit_code, 0) << result.reason;
  EXPECT_EQ(host.successes, 1);
  EXPECT_NE(host.stream.find(std::string("\r\n\0", 3)), std::string::npos);
  EXPECT_EQ(CountLinesWith(host, "CODE"), 1);
  EXPECT_EQ(CountLinesWith(host, "480"), 1);
  EXPECT_EQ(CountLinesWith(host, "done"), 1);
  // Every device line came with a noise line before it.
  EXPECT_GE(host.lines.size(), 2 * (ConsoleText::BootLines().size() + 4));
}

TEST(DeviceSimulatorTest, WrongReadbackIsNotSteppedOver) {
  SimOptions o = FastOptions();
  o.devices = 3;
  o.wrong_readback = {2};
  Bench bench(o);
  HostScript script;
  script.successes_wanted = 2;
  const HostRun host = bench.Host(script);
  const SimResult result = bench.Wait();
  EXPECT_EQ(host.successes, 2);
  EXPECT_EQ(host.mismatches, 1);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.reason, "device 2: wrong-readback");
  EXPECT_TRUE(result.host_errors.empty());
  ASSERT_EQ(result.devices.size(), 3u);
  EXPECT_NE(result.devices[1].shown, result.devices[1].written);
  // The host kept its address, and so must the next device expect it.
  EXPECT_EQ(result.devices[2].written, result.devices[1].written);
  EXPECT_EQ(result.devices[2].result, "ok");
}

TEST(DeviceSimulatorTest, DeviceThatNeverAnswers) {
  for (const MuteStage stage : {MuteStage::kBoot, MuteStage::kWrite}) {
    SimOptions o = FastOptions();
    o.devices = 2;
    o.mute_device = 1;
    o.mute_stage = stage;
    Bench bench(o);
    HostScript script;
    script.deadline = milliseconds(300);
    const HostRun host = bench.Host(script);
    const SimResult result = bench.Wait(/*stop=*/true);
    EXPECT_TRUE(host.timed_out);
    if (stage == MuteStage::kBoot) {
      EXPECT_TRUE(host.stream.empty());
    } else {
      EXPECT_EQ(host.written.size(), 1u);
      EXPECT_EQ(CountLinesWith(host, "done"), 0);
    }
    EXPECT_EQ(result.exit_code, 1);
    ASSERT_EQ(result.devices.size(), 1u);
    EXPECT_EQ(result.devices[0].result, "no-answer");
  }
}

TEST(DeviceSimulatorTest, BootsOnWithoutInterruptAndTakesLateAnswers) {
  SimOptions o = FastOptions();
  o.devices = 1;
  o.interrupt_wait = milliseconds(20);
  Bench bench(o);
  HostScript script;
  // A host held up (say by a dialog) reads the backlog late and answers every CODE line in
  // it: the extra interrupts are legitimate, the device just drops them.
  script.first_read_pause = milliseconds(200);
  const HostRun host = bench.Host(script);
  const SimResult result = bench.Wait();
  EXPECT_EQ(host.successes, 1);
  EXPECT_EQ(result.exit_code, 0) << result.reason;
  ASSERT_EQ(result.devices.size(), 1u);
  EXPECT_GE(result.devices[0].boots, 2);
  EXPECT_GE(CountLinesWith(host, "Starting kernel"), 1);
}

TEST(DeviceSimulatorTest, HangsUpAfterKDevicesAndRemovesTheLink) {
  SimOptions o = FastOptions();
  o.hangup_after = 1;
  o.link_path = ::testing::TempDir() + "devsim_hangup_link";
  Bench bench(o);
  ASSERT_EQ(::access(o.link_path.c_str(), F_OK), 0);
  HostScript script;
  script.until_hangup = true;
  const HostRun host = bench.Host(script);
  const SimResult result = bench.Wait();
  EXPECT_EQ(host.successes, 1);
  EXPECT_TRUE(host.hung_up);
  EXPECT_TRUE(result.hung_up);
  EXPECT_EQ(result.exit_code, 0) << result.reason;
  EXPECT_NE(::access(o.link_path.c_str(), F_OK), 0);
}

TEST(DeviceSimulatorTest, FloodWaitsForTheHostInsteadOfDroppingBytes) {
  SimOptions o = FastOptions();
  o.devices = 1;
  o.flood_bytes = 300000;
  Bench bench(o);
  HostScript script;
  script.first_read_pause = milliseconds(100);  // the port fills up meanwhile
  const HostRun host = bench.Host(script);
  const SimResult result = bench.Wait();
  EXPECT_EQ(result.exit_code, 0) << result.reason;
  EXPECT_EQ(host.successes, 1);
  EXPECT_GE(host.stream.size(), o.flood_bytes);
  EXPECT_EQ(CountLinesWith(host, "CODE"), 1);
  EXPECT_EQ(CountLinesWith(host, "480"), 1);
  EXPECT_EQ(CountLinesWith(host, "done"), 1);
}

struct Misbehaviour {
  const char* name;
  std::function<void(HostScript&)> apply;
  const char* reported;
};

TEST(DeviceSimulatorTest, ReportsWhatACorrectHostNeverTypes) {
  const std::vector<Misbehaviour> cases = {
      {"wrong command",
       [](HostScript& s) { s.write_command = [](std::uint64_t) { return "macprog 1\n"; }; },
       "unknown command"},
      {"carriage return",
       [](HostScript& s) {
         s.write_command = [](std::uint64_t a) {
           std::string c = testing::WriteCommand(a);
           return c.insert(c.size() - 1, "\r");
         };
       },
       "carriage return"},
      {"lower case",
       [](HostScript& s) {
         s.write_command = [](std::uint64_t) { return "macprog2 00-1a-2b-3c-4d-5e\n"; };
       },
       "lower-case"},
      {"address not stepped", [](HostScript& s) { s.step_address = false; }, "expected"},
      {"interrupt before CODE", [](HostScript& s) { s.before_anything = "\x03"; }, "no CODE line"},
      {"bytes while booting", [](HostScript& s) { s.before_anything = "hello\n"; },
       "unexpected byte"},
  };
  for (const auto& c : cases) {
    SimOptions o = FastOptions();
    o.devices = 2;
    o.boot_pause = milliseconds(5);
    Bench bench(o);
    HostScript script;
    script.successes_wanted = 2;
    script.deadline = milliseconds(1500);
    c.apply(script);
    bench.Host(script);
    const SimResult result = bench.Wait(/*stop=*/true);
    EXPECT_EQ(result.exit_code, 1) << c.name;
    ASSERT_FALSE(result.host_errors.empty()) << c.name;
    EXPECT_NE(result.host_errors.front().find(c.reported), std::string::npos)
        << c.name << ": " << result.host_errors.front();
    EXPECT_NE(result.reason.find("host error"), std::string::npos) << result.reason;
  }
}

TEST(DeviceSimulatorTest, SameSeedSameBytesAndChunks) {
  const auto play = [](std::uint64_t seed) {
    SimOptions o = FastOptions();
    o.devices = 2;
    o.seed = seed;
    o.chunking = true;
    o.chunk = {1, 16};
    o.gap_ms = {0, 1};
    o.zero_percent = 30;
    o.noise_percent = 30;
    Bench bench(o);
    HostScript script;
    script.successes_wanted = 2;
    const HostRun host = bench.Host(script);
    const SimResult result = bench.Wait();
    EXPECT_EQ(result.exit_code, 0) << result.reason;
    // What follows the last dump depends on when the host stopped reading.
    const auto dump_end = host.stream.find("4D 5F\r");
    EXPECT_NE(dump_end, std::string::npos);
    return std::make_tuple(host.stream.substr(0, dump_end), result.out_digest, result.chunk_digest);
  };
  const auto first = play(7);
  const auto again = play(7);
  const auto other = play(8);
  EXPECT_EQ(std::get<0>(first), std::get<0>(again));
  EXPECT_EQ(std::get<1>(first), std::get<1>(again));
  EXPECT_EQ(std::get<2>(first), std::get<2>(again));
  EXPECT_NE(std::get<0>(first), std::get<0>(other));
  EXPECT_NE(std::get<2>(first), std::get<2>(other));
}

TEST(DeviceSimulatorTest, StopsOnRequestAndWaitsForTheHostToOpen) {
  SimOptions o = FastOptions();
  o.wait_open = true;
  o.open_delay = milliseconds(1);
  o.interrupt_wait = milliseconds(-1);
  o.link_path = ::testing::TempDir() + "devsim_stop_link";
  Bench bench(o);
  // Nothing is printed before the host opens; once it has, the device boots and waits.
  HostScript script;
  script.stop_text = "CODE";
  const HostRun host = bench.Host(script);
  EXPECT_EQ(host.stream.rfind("\r\nPLX boot loader", 0), 0u) << host.stream.substr(0, 40);
  const SimResult result = bench.Wait(/*stop=*/true);
  EXPECT_EQ(result.exit_code, 0) << result.reason;
  EXPECT_NE(::access(o.link_path.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace pelorus::devsim
