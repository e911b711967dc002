#include "scripted_station.h"

#include <poll.h>
#include <signal.h>

#include <fstream>
#include <regex>

#include "campaign_oracle.h"

namespace pelorus::campaign {
namespace {

constexpr int kLeaseTries = 10;
constexpr int kMarkTries = 5;
constexpr int kStopMs = 10000;
// One station, one device: both scripts name the same port, as two copies of a station's
// script would.
constexpr const char* kPort = "ttyUSB0";

// "02 CA 00 00 00 05", as a device's dump shows the address.
std::string DumpText(std::uint64_t address) {
  std::string text = AddressText(address);
  for (char& c : text) {
    c = c == ':' ? ' ' : c;
  }
  return text;
}

}  // namespace

ScriptedStation::ScriptedStation(Config config, Timer at, BoardNews news)
    : config_(std::move(config)),
      at_(std::move(at)),
      news_(std::move(news)),
      rng_(config_.seed),
      next_board_(config_.first_board) {
  scripts_[0].index = 1;
  scripts_[1].index = 2;
}

ScriptedStation::~ScriptedStation() {
  Stop();
}

void ScriptedStation::Begin(int boards) {
  if (Busy() || stopping_) {
    return;
  }
  for (Script& s : scripts_) {
    s.boards_left = boards;
    s.tries = 0;
    s.holds = false;
    Launch(&s, Step::kLease);
  }
}

bool ScriptedStation::Busy() const {
  return scripts_[0].step != Step::kIdle || scripts_[1].step != Step::kIdle;
}

void ScriptedStation::Watch(PollSet* set) {
  for (Script& s : scripts_) {
    Script* script = &s;
    set->Watch(s.process.ExitFd(), POLLIN, [this, script](short) { Ended(script); });
  }
}

// A step under way may still succeed, and what it did counts: it is waited for and read.
void ScriptedStation::Stop() {
  stopping_ = true;
  for (Script& s : scripts_) {
    if (s.process.Running()) {
      pollfd fd{s.process.ExitFd(), POLLIN, 0};
      if (::poll(&fd, 1, kStopMs) > 0) {
        Ended(&s);
      } else {
        s.process.Stop(SIGKILL, 0);
      }
    }
    s.step = Step::kIdle;
  }
}

void ScriptedStation::Launch(Script* s, Step step) {
  if (stopping_) {
    s->step = Step::kIdle;
    return;
  }
  s->step = step;
  ChildProcess::Spec spec;
  spec.env["XDG_STATE_HOME"] = config_.state_home;
  spec.stderr_file = config_.log;
  const std::string address = AddressText(s->address);
  switch (step) {
    case Step::kLease:
      spec.argv = {config_.tool, "lease", config_.location, "--station", config_.station};
      if (config_.tokens) {
        spec.argv.push_back("--json");
      }
      break;
    case Step::kWritten:
      spec.argv = {config_.tool, "written",       config_.location, address,
                   "--station",  config_.station, "--port",         kPort};
      break;
    case Step::kVerified:
      spec.argv = {config_.tool, "verified",      config_.location, address,
                   "--station",  config_.station, "--readback",     DumpText(s->address)};
      break;
    case Step::kIdle:
      return;
  }
  if (step != Step::kLease && config_.tokens) {
    spec.argv.insert(spec.argv.end(), {"--token", s->token});
  }
  std::string error;
  if (!s->process.Start(spec, &error)) {
    Log("script " + std::to_string(s->index) + ": " + error);
    s->step = Step::kIdle;
  }
}

void ScriptedStation::Ended(Script* s) {
  const auto lines = s->process.ReadLines();
  const int status = s->process.Reap();
  const std::string who = "script " + std::to_string(s->index) + ": ";
  Script& other = scripts_[s->index == 1 ? 1 : 0];
  switch (s->step) {
    case Step::kLease: {
      static const std::regex json(R"re("address":"([^"]+)","token":"([^"]*)")re");
      std::smatch m;
      const std::string out = lines.empty() ? std::string() : lines[0];
      const bool parsed =
          config_.tokens ? std::regex_search(out, m, json) && ReadAddress(m[1].str(), &s->address)
                         : ReadAddress(out, &s->address);
      Log(who + "lease -> " + std::to_string(status) + " " + out);
      if (status != 0 || !parsed) {
        Again(s, kLeaseTries);
        return;
      }
      s->token = config_.tokens ? m[2].str() : std::string();
      s->holds = true;
      s->tries = 0;
      if (other.holds && other.address == s->address) {
        ++shared_leases_;
      }
      // The board boots and reaches its prompt meanwhile.
      Later(s, 0, 300, Step::kWritten);
      return;
    }
    case Step::kWritten:
      Log(who + "written " + AddressText(s->address) + " -> " + std::to_string(status));
      if (status != 0) {
        Again(s, kMarkTries);
        return;
      }
      s->board = next_board_++;
      s->tries = 0;
      news_(s->board, s->address, false);
      Later(s, 100, 400, Step::kVerified);
      return;
    case Step::kVerified:
      Log(who + "verified " + AddressText(s->address) + " -> " + std::to_string(status));
      if (status != 0) {
        Again(s, kMarkTries);
        return;
      }
      news_(s->board, s->address, true);
      NextBoard(s);
      return;
    case Step::kIdle:
      return;
  }
}

// A step that failed is tried again after a pause, up to its limit; then the board is left
// as it is (blank when its address never went out, written when it never read back).
void ScriptedStation::Again(Script* s, int limit) {
  if (++s->tries < limit) {
    Later(s, 100, 300, s->step);
    return;
  }
  Log("script " + std::to_string(s->index) + ": gave up the board");
  NextBoard(s);
}

void ScriptedStation::NextBoard(Script* s) {
  s->holds = false;
  s->tries = 0;
  if (--s->boards_left <= 0) {
    s->step = Step::kIdle;
    return;
  }
  Later(s, 50, 200, Step::kLease);
}

// The script waits meanwhile: it counts as busy.
void ScriptedStation::Later(Script* s, int min_ms, int max_ms, Step step) {
  s->step = step;
  const auto pause = std::chrono::milliseconds(
      min_ms + static_cast<int>(rng_() % static_cast<std::uint64_t>(max_ms - min_ms + 1)));
  at_(pause, [this, s, step] { Launch(s, step); });
}

void ScriptedStation::Log(const std::string& line) const {
  std::ofstream(config_.log, std::ios::app) << line << '\n';
}

}  // namespace pelorus::campaign
