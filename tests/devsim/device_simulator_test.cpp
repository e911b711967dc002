// The simulated device driven in-process over a real pseudo-terminal by a scripted host.
#include "tools/devsim/device_simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "scripted_host.h"
#include "tools/devsim/console_text.h"
#include "tools/devsim/sim_options.h"

namespace pelorus::devsim {
namespace {

using std::chrono::milliseconds;
using testing::HostRun;
using testing::HostScript;
constexpr auto kNone = std::string::npos;

struct Played {
  HostRun host;
  SimResult result;
  std::chrono::steady_clock::duration elapsed{};
};

// One run of the simulator its command line makes (after short pauses and no console
// output), on its own thread; the host on this one, through the link when there is one. With
// `stop` the run is ended once the host is done.
Played Play(const std::string& options, const HostScript& script, bool stop = false) {
  std::istringstream words(
      "--boot-pause 1 --command-time 1 --power-cycle 5 --restart-pause 5 --interrupt-wait 5000 "
      "--quiet " +
      options);
  const ParsedOptions parsed = ParseSimOptions({std::istream_iterator<std::string>(words), {}});
  EXPECT_TRUE(parsed.ok) << parsed.error;
  const SimOptions& o = parsed.options;
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
  played.result = run.get();
  played.elapsed = std::chrono::steady_clock::now() - start;
  return played;
}

// Output a correct host must get through: every device is programmed in turn, the console
// shows what it should, and only the intended lines look like triggers to the host.
TEST(DeviceSimulatorTest, CorrectHostProgramsSeveralDevicesThroughOutputFaults) {
  struct Case {
    const char* options;
    milliseconds host_held_up;  // before it reads at all
    std::function<void(const Played&)> check;
  };
  const std::vector<Case> cases = {
      {"",
       {},
       [](const Played& p) {
         EXPECT_NE(p.host.stream.find("=> macprog2 00-00-00-00-FF-FF\r\n"), kNone);
         EXPECT_NE(p.host.stream.find("1fd0000c: 00 00 00 01 00 00\r\n"), kNone);
       }},
      {"--line-end lfcr --echo off",
       {},
       [](const Played& p) {
         EXPECT_EQ(p.host.stream.find("\r\n"), kNone);
         EXPECT_EQ(p.host.stream.find("macprog2"), kNone) << "echoed although off";
         EXPECT_NE(p.host.stream.find("boot console\n\r"), kNone);
       }},
      {"--chunk 1-7 --gap 0-2 --byte-delay 20 --zeros 100 --noise 100",
       {},
       [](const Played& p) {
         // The byte delay is a floor on the time the output takes.
         EXPECT_GE(p.elapsed, std::chrono::microseconds(20) * p.result.bytes_out);
         EXPECT_NE(p.host.stream.find(std::string("\r\n\0", 3)), kNone);
         // Every device line came with a noise line before it.
         EXPECT_GE(p.host.lines.size(), 3 * 2 * (ConsoleText::BootLines().size() + 4));
       }},
      // The port fills up while the host is held up.
      {"--line-end cr --flood 200000", milliseconds(100),
       [](const Played& p) {
         EXPECT_EQ(p.host.stream.find('\n'), kNone);
         EXPECT_GE(p.host.stream.size(), 3 * 200000u);
       }},
      // A host held up (say by a dialog) reads the backlog late and answers every CODE line
      // in it: the extra interrupts are legitimate, the device just drops them.
      {"--interrupt-wait 20", milliseconds(200),
       [](const Played& p) {
         EXPECT_GE(p.result.devices.at(0).boots, 2);
         EXPECT_GE(p.host.CountLinesWith("Starting kernel"), 1);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    HostScript script(3);
    script.address = 0x00000000FFFE;  // crosses an octet carry on the way
    script.first_read_pause = c.host_held_up;
    const Played p = Play(std::string("--devices 3 ") + c.options, script);
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

// Devices that fail the run, each saying what became of it. A wrong read-back is not stepped
// over: the host keeps its address, and so must the next device expect it. A device silent
// from some stage on has printed one more of its CODE, "480", "done" lines per stage. Lines
// that end in LF alone never complete, and the device gives up.
TEST(DeviceSimulatorTest, FailingDevicesFailTheRun) {
  Played p = Play("--devices 3 --wrong-readback 2", HostScript(2));
  EXPECT_EQ(p.host.successes, 2);
  EXPECT_EQ(p.host.mismatches, 1);
  EXPECT_EQ(p.result.exit_code, 1);
  EXPECT_EQ(p.result.reason, "device 2: wrong-readback");
  EXPECT_TRUE(p.result.host_errors.empty());
  ASSERT_EQ(p.result.devices.size(), 3u);
  EXPECT_NE(p.result.devices[1].shown, p.result.devices[1].written);
  EXPECT_EQ(p.result.devices[2].written, p.result.devices[1].written);
  EXPECT_EQ(p.result.devices[2].result, "ok");

  const std::string stages[] = {"boot", "interrupt", "write", "readback"};
  for (int printed = 0; printed < 4; ++printed) {
    p = Play("--devices 2 --no-answer 1:" + stages[printed], HostScript(1, milliseconds(300)),
             /*stop=*/true);
    EXPECT_TRUE(p.host.timed_out);
    EXPECT_EQ(p.host.CountLinesWith("CODE") + p.host.CountLinesWith("480") +
                  p.host.CountLinesWith("done") + p.host.CountLinesWith("1fd0000c: "),
              printed)
        << stages[printed];
    EXPECT_EQ(p.result.exit_code, 1);
    ASSERT_EQ(p.result.devices.size(), 1u);
    EXPECT_EQ(p.result.devices[0].result, "no-answer");
  }

  HostScript script;
  script.stop_text = "Watchdog reset\n";
  p = Play("--line-end lf --interrupt-wait 10 --boot-attempts 2", script);
  EXPECT_EQ(p.host.stream.find('\r'), kNone);
  EXPECT_EQ(p.result.exit_code, 1);
  ASSERT_EQ(p.result.devices.size(), 1u);
  EXPECT_EQ(p.result.devices[0].result, "gave-up");
  EXPECT_EQ(p.result.devices[0].boots, 2);
}

// Every board starts blank and holds what its flash took; the ledger says where each board
// went, under its serial number, and a board that left unconfirmed can come back as it was.
TEST(DeviceSimulatorTest, BoardsHoldWhatTheirFlashTookAndTheLedgerSaysSo) {
  struct Case {
    const char* options;
    int successes;
    std::vector<std::string> ledger;
  };
  const std::string a = "\"02:CA:00:00:00:01\"";
  const std::vector<Case> cases = {
      {"--devices 2 --readback-noise 100",
       2,
       {"{\"serial\":1,\"address\":" + a + ",\"confirmed\":true}",
        "{\"serial\":2,\"address\":\"02:CA:00:00:00:02\",\"confirmed\":true}"}},
      {"--devices 2 --serial-base 7 --bad-flash 100 --lenient",
       0,
       {"{\"serial\":7,\"address\":null,\"confirmed\":true}",
        "{\"serial\":8,\"address\":null,\"confirmed\":true}"}},
      {"--devices 2 --pull-after-write 100 --lenient",
       0,
       {"{\"serial\":1,\"address\":" + a + ",\"confirmed\":false}",
        "{\"serial\":2,\"address\":" + a + ",\"confirmed\":false}"}},
      {"--devices 3 --pull-after-write 100 --rebench 100 --lenient",
       0,
       {"{\"serial\":1,\"address\":" + a + ",\"confirmed\":false}",
        "{\"serial\":1,\"address\":" + a + ",\"confirmed\":false}",
        "{\"serial\":1,\"address\":" + a + ",\"confirmed\":false}"}},
  };
  const std::string ledger = ::testing::TempDir() + "devsim-ledger.jsonl";
  for (const Case& c : cases) {
    HostScript script(c.successes == 0 ? 1 : c.successes,
                      milliseconds(c.successes == 0 ? 1500 : 15000));
    script.address = 0x02CA00000001;
    const Played p = Play(std::string(c.options) + " --any-address --ledger " + ledger, script,
                          /*stop=*/c.successes == 0);
    EXPECT_EQ(p.host.successes, c.successes) << c.options;
    EXPECT_EQ(p.result.exit_code, 0) << c.options << ": " << p.result.reason;
    std::ifstream in(ledger);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    EXPECT_EQ(lines, c.ledger) << c.options;
  }
  // Line noise comes after the six bytes, beyond a blank: a byte no hex digit is made of.
  const Played noisy = Play("--devices 1 --readback-noise 100", HostScript(1));
  const auto dump = noisy.host.stream.find("1fd0000c: 00 1A 2B 3C 4D 5E ");
  ASSERT_NE(dump, kNone);
  EXPECT_GE(static_cast<unsigned char>(noisy.host.stream[dump + 28]), 0x80);
  // A host that goes quiet at the prompt finds the board booting again.
  HostScript quiet;
  quiet.write_command = [](std::uint64_t) { return std::string(); };
  quiet.stop_text = ConsoleText::RestartLine();
  const Played restarted = Play("--prompt-timeout 50", quiet, /*stop=*/true);
  EXPECT_FALSE(restarted.host.timed_out);
}

// The line hung up after a device, not to come back (replugging is the program's test): the
// run ends there.
TEST(DeviceSimulatorTest, HangsUpAfterKDevices) {
  const Played p = Play("--hangup-after 1", HostScript(2));  // reads on until the hang-up
  EXPECT_EQ(p.host.successes, 1);
  EXPECT_TRUE(p.host.hung_up);
  EXPECT_TRUE(p.result.hung_up);
  EXPECT_EQ(p.result.exit_code, 0) << p.result.reason;
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
    HostScript script(2, milliseconds(1500));
    script.before_anything = c.typed_at_once;
    if (!c.command.empty()) {
      script.write_command = [&c](std::uint64_t) { return c.command; };
    }
    const Played p =
        Play(std::string("--devices 2 --boot-pause 5") + (c.any_address ? " --any-address" : ""),
             script, /*stop=*/true);
    EXPECT_EQ(p.result.exit_code, 1);
    ASSERT_FALSE(p.result.host_errors.empty());
    EXPECT_NE(p.result.host_errors.front().find(c.reported), kNone) << p.result.host_errors.front();
    EXPECT_NE(p.result.reason.find("host error"), kNone) << p.result.reason;
  }
}

// The seed alone decides the bytes and how they are cut into chunks.
TEST(DeviceSimulatorTest, SeedDecidesBytesAndChunks) {
  const auto play = [](const std::string& seed) {
    const Played p = Play("--devices 1 --chunk 1-9 --gap 0-1 --noise 40 --zeros 40 --seed " + seed,
                          HostScript());
    EXPECT_EQ(p.host.successes, 1);
    // What follows the dump depends on when the host stopped reading.
    return p.host.stream.substr(0, p.host.stream.find("4D 5E\r")) + "|" +
           std::to_string(p.result.out_digest) + "|" + std::to_string(p.result.chunk_digest);
  };
  const std::string first = play("42");
  EXPECT_EQ(first, play("42"));
  EXPECT_NE(first, play("43"));
}

}  // namespace
}  // namespace pelorus::devsim
