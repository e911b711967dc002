// pelorus-devsim: the simulated bench. See --help.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "device_simulator.h"
#include "sim_options.h"

namespace {

pelorus::devsim::DeviceSimulator* g_simulator = nullptr;

void OnSignal(int) {
  if (g_simulator != nullptr) {
    g_simulator->RequestStop();
  }
}

}  // namespace

int main(int argc, char** argv) {
  using pelorus::devsim::ParseSimOptions;
  const auto parsed = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.help) {
    std::fputs(pelorus::devsim::SimOptionsHelp().c_str(), stdout);
    return 0;
  }
  if (!parsed.version.empty()) {
    std::printf("%s\n", parsed.version.c_str());
    return 0;
  }
  if (!parsed.ok) {
    std::fprintf(stderr, "pelorus-devsim: %s\n", parsed.error.c_str());
    return 2;
  }

  pelorus::devsim::DeviceSimulator simulator(parsed.options);
  std::string error;
  if (!simulator.Open(&error)) {
    std::fprintf(stderr, "pelorus-devsim: %s\n", error.c_str());
    return 2;
  }
  g_simulator = &simulator;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(sig, &action, nullptr);
  }
  // A reader of stdout that went away must not kill the run before the link is removed.
  signal(SIGPIPE, SIG_IGN);
  // Always the first line, --quiet or not: scripts find the port here. It comes after the
  // handlers, so whoever reads it may stop the run with a signal right away.
  std::printf("pty %s\n", simulator.SlavePath().c_str());
  std::fflush(stdout);
  // A replugged port is a new pseudo-terminal, announced the same way.
  simulator.SetReplugListener([](const std::string& slave_path) {
    std::printf("pty %s\n", slave_path.c_str());
    std::fflush(stdout);
  });

  const auto result = simulator.Run();
  g_simulator = nullptr;
  if (result.exit_code != 0) {
    std::fprintf(stderr, "pelorus-devsim: %s\n", result.reason.c_str());
  }
  return result.exit_code;
}
