// The store held exactly while one window waits on it, in each of the four steps a run takes
// the store for, and RESET or END pressed meanwhile; the eight (step, button) pairs take turns.
//
// The hold is taken before the window can reach the step: before the first START of a window
// just started; once the window shows the address it leased after a banner (its next board's
// written mark is a power cycle away); once the bench has printed "done" (the read-back
// follows a second later); with the banner kept up.
// It is pressed once the window evidently waits: its operator says START was pressed; its
// bench has printed "480" (the window marks the address before it answers); its bench has
// shown the read-back of the written address; the banner was closed. A moment missed (the
// step came before the hold, the board left) gives the hold up, and the same pair is tried
// again later.
#include <algorithm>
#include <fstream>
#include <regex>

#include "campaign_driver.h"

namespace pelorus::campaign {
namespace {

constexpr const char* kStepNames[] = {"the claim and lease at START", "the written mark",
                                      "the verified mark", "the next lease"};
constexpr auto kArmingLimit = std::chrono::seconds(20);
constexpr auto kEnterLimit = std::chrono::seconds(3);
constexpr auto kReleaseAfterReset = std::chrono::milliseconds(300);
constexpr auto kStartAgain = std::chrono::milliseconds(300);
constexpr auto kEndLimit = std::chrono::seconds(5);

}  // namespace

void CampaignDriver::ScheduleHold(bool first) {
  At(first ? Between(3000, 5000) : Between(2000, 5000), [this] { BeginHold(); });
}

std::string CampaignDriver::HoldName() const {
  return std::string(hold_.end ? "END" : "RESET") + " during " +
         kStepNames[static_cast<int>(hold_.step)];
}

void CampaignDriver::NoteHold(const std::string& line) const {
  std::ofstream(config_.out + "/holds.log", std::ios::app)
      << Now() << " window " << (hold_.w != nullptr ? hold_.w->index + 1 : 0) << " " << HoldName()
      << ": " << line << '\n';
}

void CampaignDriver::BeginHold() {
  Window* w = StoreBusy() ? nullptr : AnyFreeWindow(Mode::kDirect);
  if (w == nullptr) {
    At(std::chrono::seconds(1), [this] { BeginHold(); });
    return;
  }
  const std::uint64_t generation = hold_.generation + 1;
  hold_ = StepHold{};
  hold_.generation = generation;
  hold_.phase = StepHold::Phase::kArming;
  hold_.w = w;
  // The seed picks where the turns begin, so that short runs of different seeds meet
  // different pairs.
  const int turn = hold_turn_ + static_cast<int>(config_.seed % 8);
  hold_.step = static_cast<HoldStep>(turn / 2 % 4);
  hold_.end = turn % 2 == 1;
  hold_.kill = config_.store == "postgres" && rng_() % 2 == 0;
  w->busy = true;
  store_busy_ = true;
  NoteHold(hold_.kill ? "armed, the sessions to be ended too" : "armed");
  At(kArmingLimit, [this, generation] {
    if (hold_.generation == generation && !hold_.entered && hold_.phase != StepHold::Phase::kIdle) {
      AbortHold("no moment came");
    }
  });
  switch (hold_.step) {
    case HoldStep::kStart:
      // A window just started has no run that could still be ending: its first START is
      // the claim's and the lease's.
      StopThen({w}, "a fresh START",
               [this, w, generation] { StartWindow(w, hold_.generation != generation); });
      break;
    case HoldStep::kLease:
      w->process.Send("hold-banner");
      hold_.banner_held = true;
      break;
    case HoldStep::kWritten:
    case HoldStep::kVerified:
      break;
  }
}

// PostgreSQL holds what the step waits for: the pool's row for a lease, the station's address
// rows for its marks; SQLite has one lock for everything.
void CampaignDriver::TakeHold(std::uint64_t generation, std::function<void()> then) {
  hold_.phase = StepHold::Phase::kTaking;
  const bool marks = hold_.step == HoldStep::kWritten || hold_.step == HoldStep::kVerified;
  const std::string command =
      config_.store == "postgres" && marks ? "hold-station " + StationOf(*hold_.w) : "hold";
  Holder(command, [this, generation, then](const std::string& answer) {
    if (hold_.generation != generation || hold_.phase != StepHold::Phase::kTaking) {
      return;
    }
    if (answer != "held") {
      AbortHold("the store could not be held: " + answer);
      return;
    }
    hold_.phase = StepHold::Phase::kHeld;
    NoteHold("held");
    // Every window waits while the store is held: a moment that does not come soon is given
    // up.
    At(kEnterLimit, [this, generation] {
      if (hold_.generation == generation && hold_.phase == StepHold::Phase::kHeld &&
          !hold_.entered) {
        AbortHold("the window did not reach the step");
      }
    });
    then();
  });
}

void CampaignDriver::HoldNews(Window* w, const std::string& line) {
  if (hold_.phase == StepHold::Phase::kIdle || w != hold_.w || ending_) {
    return;
  }
  if (line == "EXIT") {
    // The fresh START's own restart aside.
    const bool restarting =
        hold_.step == HoldStep::kStart && hold_.phase == StepHold::Phase::kArming;
    if (hold_.phase != StepHold::Phase::kPressed && !restarting) {
      AbortHold("the window ended");
    }
    return;
  }
  const bool after_banner = hold_.after_banner;
  hold_.after_banner = line.rfind("BANNER ", 0) == 0;
  if (hold_.step == HoldStep::kStart && hold_.phase == StepHold::Phase::kArming &&
      line == "READY") {
    TakeHold(hold_.generation, [w] { w->process.Send("start"); });
  } else if (hold_.step == HoldStep::kStart && hold_.phase == StepHold::Phase::kHeld &&
             !hold_.entered && line == "STARTED") {
    EnterStep();
  } else if (hold_.step == HoldStep::kWritten && hold_.phase == StepHold::Phase::kArming &&
             after_banner && line.rfind("ADDRESS ", 0) == 0) {
    // The next lease is in: the next board's written mark is a power cycle away.
    TakeHold(hold_.generation, [] {});
  } else if (hold_.step == HoldStep::kLease && hold_.phase == StepHold::Phase::kArming &&
             line.rfind("BANNER ", 0) == 0) {
    TakeHold(hold_.generation, [this] {
      hold_.w->process.Send("close");
      hold_.banner_held = false;
      EnterStep();
    });
  }
}

void CampaignDriver::HoldBenchNews(int bench, const std::string& event, const std::string& line) {
  if (hold_.phase == StepHold::Phase::kIdle || hold_.w->index != bench || hold_.entered ||
      ending_) {
    return;
  }
  const bool arming = hold_.phase == StepHold::Phase::kArming;
  const bool held = hold_.phase == StepHold::Phase::kHeld;
  if (hold_.step == HoldStep::kWritten) {
    if (event == "prompt" && !arming) {
      held ? EnterStep() : AbortHold("the 480 came before the hold");
    }
  } else if (hold_.step == HoldStep::kVerified) {
    static const std::regex shown_form(R"re("shown":"([0-9A-F ]{17})")re");
    std::smatch m;
    std::uint64_t shown = 0;
    if (arming && event == "done") {
      TakeHold(hold_.generation, [] {});
    } else if (!arming && (event == "pull" || event == "unplug_after_write")) {
      AbortHold("the board left before its read-back");
    } else if (!arming && event == "dump") {
      std::string text = std::regex_search(line, m, shown_form) ? m[1].str() : std::string();
      std::replace(text.begin(), text.end(), ' ', ':');
      if (!held) {
        AbortHold("the read-back came before the hold");
      } else if (!ReadAddress(text, &shown) || shown != benches_[bench]->written) {
        AbortHold("the read-back does not show the written address");
      } else {
        EnterStep();
      }
    }
  }
}

// The window waits on the store now: RESET or END comes while it still does (a step waits
// 5 s for a held store before it tries again), and on PostgreSQL the sessions may be ended
// halfway, so that the wait goes on through a reconnection.
void CampaignDriver::EnterStep() {
  hold_.entered = true;
  NoteHold("the window waits");
  const std::uint64_t generation = hold_.generation;
  const auto pause = Between(300, 2000);
  if (hold_.kill) {
    At(pause / 2, [this, generation] {
      if (hold_.generation == generation && hold_.phase == StepHold::Phase::kHeld) {
        Holder("kill", [](const std::string&) {});
      }
    });
  }
  At(pause, [this, generation] { Press(generation); });
}

void CampaignDriver::Press(std::uint64_t generation) {
  if (hold_.generation != generation || hold_.phase != StepHold::Phase::kHeld) {
    return;
  }
  hold_.phase = StepHold::Phase::kPressed;
  ++faults_[HoldName()];
  Window* w = hold_.w;
  NoteHold("pressed");
  if (!hold_.end) {
    w->process.Send("reset");
    At(kReleaseAfterReset, [this, generation] {
      if (hold_.generation == generation) {
        FinishHold();
      }
    });
    return;
  }
  // The hold stays until the window has gone, or for as long as it may take to go, so that
  // its END meets the store held.
  EndWindow(w, HoldName(), [this, generation, w] {
    if (hold_.generation == generation && hold_.phase == StepHold::Phase::kPressed) {
      FinishHold();
    }
    w->busy = false;
    At(kStartAgain, [this, w] { StartWindow(w); });
  });
  At(kEndLimit, [this, generation] {
    if (hold_.generation == generation && hold_.phase == StepHold::Phase::kPressed) {
      FinishHold();
    }
  });
}

void CampaignDriver::FinishHold() {
  NoteHold("released");
  Holder("release", [this](const std::string&) { store_busy_ = false; });
  // A window that was ENDed stays out of other faults' way until it has gone.
  Window* w = hold_.w;
  if (!hold_.end) {
    w->busy = false;
    At(kStartAgain, [w] { w->process.Send("start"); });
  }
  hold_.phase = StepHold::Phase::kIdle;
  ++hold_turn_;
  ScheduleHold(false);
}

void CampaignDriver::AbortHold(const std::string& why) {
  NoteHold("given up: " + why);
  if (hold_.phase == StepHold::Phase::kTaking || hold_.phase == StepHold::Phase::kHeld) {
    Holder("release", [this](const std::string&) { store_busy_ = false; });
  } else {
    store_busy_ = false;
  }
  Window* w = hold_.w;
  if (hold_.banner_held) {
    w->process.Send("close");
  }
  if (hold_.step == HoldStep::kStart) {
    StartWindow(w);
    At(kStartAgain, [w] { w->process.Send("start"); });
  }
  w->busy = false;
  hold_.phase = StepHold::Phase::kIdle;
  ScheduleHold(false);
}

}  // namespace pelorus::campaign
