// The simulated device driven in-process over a real pseudo-terminal by a scripted host.
#include "tools/devsim/device_simulator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "scripted_host.h"
#include "tools/devsim/console_text.h"

namespace pelorus::devsim {
namespace {

using std::chrono::milliseconds;
using testing::HostRun;
using testing::HostScript;
using Arrange = std::function<void(SimOptions&, HostScript&)>;
constexpr auto kNone = std::string::npos;

struct Played {
  HostRun host;
  SimResult result;
  std::chrono::steady_clock::duration elapsed{};
};

// Short pauses, no console output.
SimOptions Quick() {
  SimOptions o;
  o.boot_pause = milliseconds(1);
  o.command_time = milliseconds(1);
  o.power_cycle = milliseconds(5);
  o.restart_pause = milliseconds(5);
  o.interrupt_wait = milliseconds(5000);
  o.console_output = false;
  return o;
}

// Waits (bounded) for the run on `run` to end, stopping it if it does not.
SimResult Result(DeviceSimulator& sim, std::future<SimResult>& run) {
  if (run.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the simulator did not finish in time";
    sim.RequestStop();
  }
  return run.get();
}

// One run: the simulator on its own thread, the host on this one (through the link when
// there is one). With `stop` the run is ended once the host is done.
Played Play(const Arrange& setup, bool stop = false) {
  SimOptions o = Quick();
  HostScript script;
  setup(o, script);
  Played played;
  const auto start = std::chrono::steady_clock::now();
  DeviceSimulator sim(o);
  std::string error;
  if (!sim.Open(&error)) {
    ADD_FAILURE() << error;
    return played;
  }
  auto run = std::async(std::launch::async, [&sim] { return sim.Run(); });
  played.host = testing::RunHost(o.link_path.empty() ? sim.SlavePath() : o.link_path, script);
  if (stop) {
    sim.RequestStop();
  }
  played.result = Result(sim, run);
  played.elapsed = std::chrono::steady_clock::now() - start;
  return played;
}

// Output a correct host must get through: every device is programmed in turn, the console
// shows what it should, and only the intended lines look like triggers to the host.
TEST(DeviceSimulatorTest, CorrectHostProgramsSeveralDevicesThroughOutputFaults) {
  struct Case {
    const char* name;
    Arrange setup;
    std::function<void(const Played&)> check;
  };
  const std::vector<Case> cases = {
      {"plain", [](SimOptions&, HostScript&) {},
       [](const Played& p) {
         EXPECT_NE(p.host.stream.find("=> macprog2 00-00-00-00-FF-FF\r\n"), kNone);
         EXPECT_NE(p.host.stream.find("1fd0000c: 00 00 00 01 00 00\r\n"), kNone);
       }},
      {"lfcr without echo",
       [](SimOptions& o, HostScript&) {
         o.line_end = LineEnd::kLfCr;
         o.echo = false;
       },
       [](const Played& p) {
         EXPECT_EQ(p.host.stream.find("\r\n"), kNone);
         EXPECT_EQ(p.host.stream.find("macprog2"), kNone) << "echoed although off";
         EXPECT_NE(p.host.stream.find("boot console\n\r"), kNone);
       }},
      {"cr", [](SimOptions& o, HostScript&) { o.line_end = LineEnd::kCr; },
       [](const Played& p) { EXPECT_EQ(p.host.stream.find('\n'), kNone); }},
      {"chunks, gaps, byte delay, zeros and noise",
       [](SimOptions& o, HostScript&) {
         o.chunking = true;
         o.chunk = {1, 7};
         o.gap_ms = {0, 2};
         o.byte_delay = std::chrono::microseconds(20);
         o.zero_percent = o.noise_percent = 100;
       },
       [](const Played& p) {
         // The byte delay is a floor on the time the output takes.
         EXPECT_GE(p.elapsed, std::chrono::microseconds(20) * p.result.bytes_out);
         EXPECT_NE(p.host.stream.find(std::string("\r\n\0", 3)), kNone);
         // Every device line came with a noise line before it.
         EXPECT_GE(p.host.lines.size(), 3 * 2 * (ConsoleText::BootLines().size() + 4));
       }},
      {"flood while the host is held up",
       [](SimOptions& o, HostScript& s) {
         o.flood_bytes = 200000;
         s.first_read_pause = milliseconds(100);  // the port fills up meanwhile
       },
       [](const Played& p) { EXPECT_GE(p.host.stream.size(), 3 * 200000u); }},
      // A host held up (say by a dialog) reads the backlog late and answers every CODE line
      // in it: the extra interrupts are legitimate, the device just drops them.
      {"boots on, late answers",
       [](SimOptions& o, HostScript& s) {
         o.interrupt_wait = milliseconds(20);
         s.first_read_pause = milliseconds(200);
       },
       [](const Played& p) {
         EXPECT_GE(p.result.devices.at(0).boots, 2);
         EXPECT_GE(p.host.CountLinesWith("Starting kernel"), 1);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Played p = Play([&c](SimOptions& o, HostScript& s) {
      o.devices = 3;
      s.address = 0x00000000FFFE;  // crosses an octet carry on the way
      s.successes_wanted = 3;
      c.setup(o, s);
    });
    EXPECT_EQ(p.host.successes, 3);
    EXPECT_EQ(p.result.exit_code, 0) << p.result.reason;
    ASSERT_EQ(p.result.devices.size(), 3u);
    int boots = 0;
    for (std::size_t i = 0; i < 3; ++i) {
      const DeviceRecord& d = p.result.devices[i];
      EXPECT_EQ(d.result, "ok");
      EXPECT_EQ(d.written, 0x00000000FFFEULL + i);
      EXPECT_EQ(d.shown, d.written);
      const std::vector<double> steps = {d.power_on_ms, d.code_ms, d.interrupt_ms, d.prompt_ms,
                                         d.write_ms,    d.done_ms, d.read_ms,      d.dump_ms};
      EXPECT_TRUE(steps[0] >= 0 && std::is_sorted(steps.begin(), steps.end())) << i;
      boots += d.boots;
    }
    EXPECT_EQ(p.host.CountLinesWith("CODE"), boots);
    EXPECT_EQ(p.host.CountLinesWith("480"), 3);
    EXPECT_EQ(p.host.CountLinesWith("done"), 3);
    c.check(p);
  }
}

TEST(DeviceSimulatorTest, WrongReadbackIsNotSteppedOver) {
  const Played p = Play([](SimOptions& o, HostScript& s) {
    o.devices = 3;
    o.wrong_readback = {2};
    s.successes_wanted = 2;
  });
  EXPECT_EQ(p.host.successes, 2);
  EXPECT_EQ(p.host.mismatches, 1);
  EXPECT_EQ(p.result.exit_code, 1);
  EXPECT_EQ(p.result.reason, "device 2: wrong-readback");
  EXPECT_TRUE(p.result.host_errors.empty());
  ASSERT_EQ(p.result.devices.size(), 3u);
  EXPECT_NE(p.result.devices[1].shown, p.result.devices[1].written);
  // The host kept its address, and so must the next device expect it.
  EXPECT_EQ(p.result.devices[2].written, p.result.devices[1].written);
  EXPECT_EQ(p.result.devices[2].result, "ok");
}

TEST(DeviceSimulatorTest, DeviceThatNeverAnswers) {
  // Silent from each of these on, a device prints one more of its CODE, "480", "done" lines.
  const MuteStage stages[] = {MuteStage::kBoot, MuteStage::kInterrupt, MuteStage::kWrite,
                              MuteStage::kReadBack};
  for (int printed = 0; printed < 4; ++printed) {
    const Played p = Play(
        [&stages, printed](SimOptions& o, HostScript& s) {
          o.devices = 2;
          o.mute_device = 1;
          o.mute_stage = stages[printed];
          s.deadline = milliseconds(300);
        },
        /*stop=*/true);
    EXPECT_TRUE(p.host.timed_out);
    int seen = 0;
    for (const char* trigger : {"CODE", "480", "done", "1fd0000c: "}) {
      seen += p.host.CountLinesWith(trigger);
    }
    EXPECT_EQ(seen, printed) << printed;
    EXPECT_EQ(p.result.exit_code, 1);
    ASSERT_EQ(p.result.devices.size(), 1u);
    EXPECT_EQ(p.result.devices[0].result, "no-answer");
  }
}

TEST(DeviceSimulatorTest, LfEndingsNeverCompleteALineAndTheDeviceGivesUp) {
  const Played p = Play([](SimOptions& o, HostScript& s) {
    o.line_end = LineEnd::kLf;
    o.interrupt_wait = milliseconds(10);
    o.boot_attempts = 2;
    s.stop_text = "Watchdog reset\n";
  });
  EXPECT_EQ(p.host.stream.find('\r'), kNone);
  EXPECT_EQ(p.result.exit_code, 1);
  ASSERT_EQ(p.result.devices.size(), 1u);
  EXPECT_EQ(p.result.devices[0].result, "gave-up");
  EXPECT_EQ(p.result.devices[0].boots, 2);
}

// The line hung up after every K devices. Without replugging, the run ends there and takes
// its link along. Replugged, the adapter goes and comes back: a host that watches the link's
// folder sees the link go and reappear, reopens it and goes on with the address it holds, and
// with --wait-open the device waits for that open again.
TEST(DeviceSimulatorTest, HangsUpAfterKDevicesAndComesBackWhenReplugged) {
  {
    SCOPED_TRACE("no replug");
    const std::string link = ::testing::TempDir() + "devsim_hangup_link";
    const Played p = Play([&link](SimOptions& o, HostScript& s) {
      o.hangup_after = 1;
      o.link_path = link;
      s.successes_wanted = 2;  // reads on until the hang-up
    });
    EXPECT_EQ(p.host.successes, 1);
    EXPECT_TRUE(p.host.hung_up);
    EXPECT_TRUE(p.result.hung_up);
    EXPECT_EQ(p.result.exit_code, 0) << p.result.reason;
    EXPECT_NE(::access(link.c_str(), F_OK), 0);
  }

  SCOPED_TRACE("replug");
  std::string folder = ::testing::TempDir() + "devsim_replug_XXXXXX";
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  testing::FolderWatch watch(folder);
  SimOptions o = Quick();
  o.devices = 3;
  o.hangup_after = 1;
  o.replug = true;
  o.away = milliseconds(50);
  o.wait_open = true;
  o.open_delay = milliseconds(1);
  o.link_path = folder + "/port";
  DeviceSimulator sim(o);
  std::string error;
  ASSERT_TRUE(sim.Open(&error)) << error;
  std::vector<std::string> announced;
  sim.SetReplugListener([&announced](const std::string& slave) { announced.push_back(slave); });
  auto run = std::async(std::launch::async, [&sim] { return sim.Run(); });
  // On an early return too, rather than leave the run waiting for a host that is gone.
  struct StopOnExit {
    DeviceSimulator& sim;
    ~StopOnExit() { sim.RequestStop(); }
  } stop_on_exit{sim};

  constexpr std::uint64_t kFirst = 0x00000000FFFE;
  constexpr auto kLateOpen = milliseconds(200);
  for (std::uint64_t i = 0; i < 3; ++i) {
    ASSERT_EQ(watch.Next("port", milliseconds(5000)), testing::FolderWatch::Change::kCreated)
        << "device " << i + 1;
    if (i > 0) {
      std::this_thread::sleep_for(kLateOpen);
    }
    HostScript script;
    script.address = kFirst + i;
    script.successes_wanted = 2;
    const HostRun host = testing::RunHost(o.link_path, script);
    EXPECT_EQ(host.successes, 1) << "device " << i + 1;
    EXPECT_TRUE(host.hung_up) << "device " << i + 1;
    ASSERT_EQ(watch.Next("port", milliseconds(5000)), testing::FolderWatch::Change::kDeleted)
        << "device " << i + 1;
  }
  const SimResult r = Result(sim, run);
  EXPECT_EQ(r.exit_code, 0) << r.reason;
  EXPECT_TRUE(r.hung_up);
  EXPECT_EQ(r.unplugs, 2);
  ASSERT_EQ(r.devices.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const DeviceRecord& d = r.devices[i];
    EXPECT_EQ(d.number, static_cast<int>(i) + 1);
    EXPECT_EQ(d.result, "ok") << i;
    EXPECT_EQ(d.written, kFirst + i);
    if (i > 0) {
      EXPECT_EQ(d.expected, kFirst + i) << "the expected address did not carry over";
      // Powered on only after the host's late open of the new port.
      EXPECT_GE(d.power_on_ms - r.devices[i - 1].dump_ms, kLateOpen.count()) << i;
    }
  }
  ASSERT_EQ(announced.size(), 2u);
  for (const std::string& slave : announced) {
    EXPECT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
  }
  EXPECT_NE(::access(o.link_path.c_str(), F_OK), 0);
  ::rmdir(folder.c_str());
}

// The host starts at 00-1A-2B-3C-4D-5E; `command` (when not empty) is every address command.
TEST(DeviceSimulatorTest, ReportsWhatACorrectHostNeverTypes) {
  struct Case {
    std::string name, typed_at_once, command, reported;
    bool any_address = false;
  };
  const std::vector<Case> cases = {
      {"wrong command", "", "macprog 1\n", "unknown command"},
      {"carriage return", "", "macprog2 00-1A-2B-3C-4D-5E\r\n", "carriage return"},
      {"lower case", "", "macprog2 00-1a-2b-3c-4d-5e\n", "lower-case"},
      {"address not stepped", "", "macprog2 00-1A-2B-3C-4D-5E\n", "expected"},
      {"address twice on a line", "", "macprog2 00-1A-2B-3C-4D-5E\n", "holds already", true},
      {"interrupt before CODE", "\x03", "", "no CODE line"},
      {"bytes while booting", "hello\n", "", "unexpected byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Played p = Play(
        [&c](SimOptions& o, HostScript& s) {
          o.devices = 2;
          o.any_address = c.any_address;
          o.boot_pause = milliseconds(5);
          s.successes_wanted = 2;
          s.deadline = milliseconds(1500);
          s.before_anything = c.typed_at_once;
          if (!c.command.empty()) {
            s.write_command = [&c](std::uint64_t) { return c.command; };
          }
        },
        /*stop=*/true);
    EXPECT_EQ(p.result.exit_code, 1);
    ASSERT_FALSE(p.result.host_errors.empty());
    EXPECT_NE(p.result.host_errors.front().find(c.reported), kNone) << p.result.host_errors.front();
    EXPECT_NE(p.result.reason.find("host error"), kNone) << p.result.reason;
  }
}

TEST(DeviceSimulatorTest, WaitsForTheHostToOpenAndStopsOnRequest) {
  const std::string link = ::testing::TempDir() + "devsim_stop_link";
  const Played p = Play(
      [&link](SimOptions& o, HostScript& s) {
        o.wait_open = true;
        o.open_delay = milliseconds(1);
        o.interrupt_wait = milliseconds(-1);
        o.link_path = link;
        s.stop_text = "CODE";
      },
      /*stop=*/true);
  // Nothing is printed before the host opens; once it has, the device boots and waits.
  EXPECT_EQ(p.host.stream.rfind("\r\nPLX boot loader", 0), 0u) << p.host.stream.substr(0, 40);
  EXPECT_EQ(p.result.exit_code, 0) << p.result.reason;
  EXPECT_NE(::access(link.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace pelorus::devsim
