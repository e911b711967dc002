// The windows: started as their bench and episode want them, their operators' lines read and
// judged as they come, ENDed and timed.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <regex>

#include "campaign_driver.h"

namespace pelorus::campaign {
namespace {

constexpr auto kRestartAfterExit = std::chrono::seconds(2);
constexpr auto kStartAfterMessage = std::chrono::milliseconds(1500);
constexpr auto kEndLimit = std::chrono::seconds(5);
constexpr auto kNoEndAfter = std::chrono::seconds(15);

std::string HostName() {
  char name[256] = {};
  return ::gethostname(name, sizeof(name) - 1) == 0 ? name : "localhost";
}

double SecondsSince(std::chrono::steady_clock::time_point then) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - then).count();
}

}  // namespace

std::string CampaignDriver::StationOf(const Window& w) const {
  switch (w.mode) {
    case Mode::kDirect:
      return w.index == config_.windows - 1 ? "rack-" + std::to_string(w.index + 1)
                                            : HostName() + ":" + benches_[w.index]->link;
    case Mode::kSharedStation:
      return "shared-rack";
    case Mode::kConsoleServer:
      return HostName() + ":tcp://127.0.0.1:" + std::to_string(w.server_port);
  }
  return {};
}

std::string CampaignDriver::LocationOf(const Window& w) const {
  if (relay_ && w.index == 0) {
    return "host=127.0.0.1 port=" + std::to_string(relay_->Port()) + " dbname=" + database_;
  }
  return location_;
}

void CampaignDriver::StartWindow(Window* w, bool press_start) {
  if (w->process.Running() || ending_) {
    return;
  }
  const std::string n = std::to_string(w->index + 1);
  ChildProcess::Spec spec;
  spec.argv = {config_.bin + "/pelorus-campaign-window", "--pool", LocationOf(*w)};
  spec.env["XDG_STATE_HOME"] = config_.out + "/state";
  spec.env["PELORUS_STATION"] = "";
  switch (w->mode) {
    case Mode::kDirect:
      spec.env["PELORUS_COM1"] = benches_[w->index]->link;
      spec.argv.insert(spec.argv.end(), {"--entry", " COM-1 "});
      // Most windows go by the default station name; the last one is named.
      if (w->index == config_.windows - 1) {
        spec.argv.insert(spec.argv.end(), {"--station", "rack-" + n});
      }
      break;
    case Mode::kSharedStation:
      spec.env["PELORUS_COM1"] = benches_[w->index]->link;
      spec.argv.insert(spec.argv.end(), {"--entry", " COM-1 ", "--station", "shared-rack"});
      break;
    case Mode::kConsoleServer:
      spec.env["PELORUS_TELNET"] = "tcp://127.0.0.1:" + std::to_string(w->server_port);
      spec.argv.insert(spec.argv.end(), {"--entry", " COM-6 "});
      break;
  }
  spec.stderr_file = config_.out + "/window-" + n + ".err";
  spec.stdin_pipe = true;
  std::string error;
  if (!w->process.Start(spec, &error)) {
    std::fprintf(stderr, "pelorus-campaign: window %s: %s\n", n.c_str(), error.c_str());
    return;
  }
  stations_.insert({LocationOf(*w), StationOf(*w)});
  w->expected_exit = false;
  w->end_pressed = {};
  if (press_start) {
    w->process.Send("start");
  }
}

double CampaignDriver::Now() const {
  return std::chrono::duration<double>(Clock::now() - start_).count();
}

void CampaignDriver::StopAll(const std::string& reason) {
  for (auto& w : windows_) {
    if (w->process.Running()) {
      OnWindowOutput(w.get());
      EndWindow(w.get(), reason, nullptr);
    }
  }
  if (rack_.process.Running() && rack_.stopped == Clock::time_point{}) {
    StopRack(reason);
  }
  // The relay forwards meanwhile: a window that is ending may still talk to its store.
  const auto deadline = Clock::now() + kNoEndAfter;
  const auto running = [this] {
    return rack_.process.Running() ||
           std::any_of(windows_.begin(), windows_.end(),
                       [](const auto& w) { return w->process.Running(); });
  };
  while (running() && Clock::now() < deadline) {
    PollSet set;
    if (relay_) {
      relay_->Watch(&set);
    }
    for (auto& w : windows_) {
      Window* window = w.get();
      set.Watch(w->process.ExitFd(), POLLIN, [this, window](short) { OnWindowExit(window); });
    }
    set.Watch(rack_.process.ExitFd(), POLLIN, [this](short) { OnRackExit(); });
    set.Wait(std::chrono::milliseconds(100));
  }
  if (rack_.process.Running()) {
    oracle_->AddFinding(
        6, "the rack station was still there 15 s after SIGTERM (" + reason + "); killed");
    rack_.process.Stop(SIGKILL, 0);
  }
  for (auto& w : windows_) {
    if (w->process.Running()) {
      oracle_->AddFinding(6, "window " + std::to_string(w->index + 1) +
                                 " was still there 15 s after END (" + reason + "); killed");
      OnWindowOutput(w.get());
      w->process.Stop(SIGKILL, 0);
    }
  }
}

void CampaignDriver::EndWindow(Window* w, const std::string& reason, std::function<void()> after) {
  w->expected_exit = true;
  w->end_pressed = Clock::now();
  w->end_reason = reason;
  w->after_end = std::move(after);
  w->process.Send("end");
  At(kNoEndAfter, [this, w, pressed = w->end_pressed] {
    if (w->end_pressed != pressed || !w->process.Running()) {
      return;
    }
    oracle_->AddFinding(
        6, "window " + std::to_string(w->index + 1) + " was still there 15 s after END; killed");
    w->end_pressed = {};
    OnWindowOutput(w);
    w->process.Stop(SIGKILL, 1000);
    if (auto after_end = std::move(w->after_end)) {
      w->after_end = nullptr;
      after_end();
    }
  });
}

void CampaignDriver::StopThen(const std::vector<Window*>& windows, const std::string& reason,
                              std::function<void()> then) {
  auto left = std::make_shared<int>(1);
  const auto gone = [left, then] {
    if (--*left == 0) {
      then();
    }
  };
  for (Window* w : windows) {
    if (w->process.Running()) {
      ++*left;
      OnWindowOutput(w);
      EndWindow(w, reason, gone);
    }
  }
  gone();
}

void CampaignDriver::OnWindowOutput(Window* w) {
  static const std::regex own_process("process (\\d+)");
  std::ofstream log(config_.out + "/window-" + std::to_string(w->index + 1) + ".log",
                    std::ios::app);
  for (const auto& line : w->process.ReadLines()) {
    log << '[' << Now() << "] " << line << '\n';
    oracle_->AddWindowLine(line, std::to_string(w->index + 1));
    if (line.rfind("MESSAGE ", 0) != 0) {
      HoldNews(w, line);
      RefusalNews(w, line);
      continue;
    }
    // One finding per window and cut of its line: its operator presses START again and
    // again meanwhile.
    std::smatch m;
    if (std::regex_search(line, m, own_process) && std::stoi(m[1].str()) == w->process.Pid() &&
        w->own_refusal_cut != cuts_) {
      w->own_refusal_cut = cuts_;
      oracle_->AddFinding(7, "window " + std::to_string(w->index + 1) + ": " + line.substr(8));
    }
    if (!ending_) {
      // An operator who sees a message box presses START again.
      At(kStartAfterMessage, [w] { w->process.Send("start"); });
    }
    HoldNews(w, line);
    RefusalNews(w, line);
  }
}

void CampaignDriver::OnWindowExit(Window* w) {
  OnWindowOutput(w);
  const int status = w->process.Reap();
  const std::string n = std::to_string(w->index + 1);
  std::ofstream(config_.out + "/window-" + n + ".log", std::ios::app)
      << '[' << Now() << "] EXIT " << status << '\n';
  if (w->end_pressed != Clock::time_point{}) {
    const double took = SecondsSince(w->end_pressed);
    w->end_pressed = {};
    if (took > std::chrono::duration<double>(kEndLimit).count()) {
      oracle_->AddFinding(6, "window " + n + " took " + std::to_string(took).substr(0, 4) +
                                 " s to end after END (" + w->end_reason + ")");
    }
  }
  HoldNews(w, "EXIT");
  RefusalNews(w, "EXIT");
  if (w->after_end) {
    auto after = std::move(w->after_end);
    w->after_end = nullptr;
    after();
  } else if (!w->expected_exit && !ending_) {
    ++faults_["window refused or ended on its own"];
    At(kRestartAfterExit, [this, w] { StartWindow(w); });
  }
}

}  // namespace pelorus::campaign
