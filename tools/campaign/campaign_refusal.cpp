// A window whose START is refused (another window holds its station) and that, later in the
// same process, meets the store out of reach while its verified mark is due, and then again
// at the START that puts the mark from its journal on record. The refusal must not colour
// what comes after it: the mark goes into the journal, the banner shows, and the replay waits
// for the store rather than give the mark up.
#include <algorithm>
#include <fstream>
#include <regex>

#include "campaign_driver.h"

namespace pelorus::campaign {
namespace {

constexpr const char* kRefusalThenOutage =
    "a START refused, then the store out at a verified mark and a journal replay";
constexpr int kBoardsTried = 4;
constexpr auto kRefusalLimit = std::chrono::seconds(25);
constexpr auto kEpisodeLimit = std::chrono::seconds(90);
constexpr auto kAnnouncedLimit = std::chrono::seconds(12);

}  // namespace

void CampaignDriver::ScheduleRefusal(bool first) {
  At(first ? Between(5000, 9000) : Between(50000, 80000), [this] { BeginRefusal(); });
}

void CampaignDriver::BeginRefusal() {
  const std::vector<Window*> pair = episode_ ? std::vector<Window*>() : FreePair();
  if (pair.empty() || ending_) {
    At(std::chrono::seconds(2), [this] { BeginRefusal(); });
    return;
  }
  episode_ = true;
  for (Window* w : pair) {
    w->busy = true;
  }
  StopThen(pair, "a START to be refused", [this, pair] {
    for (Window* w : pair) {
      w->mode = Mode::kSharedStation;
    }
    const std::uint64_t generation = refusal_.generation + 1;
    refusal_ = RefusalEpisode{};
    refusal_.generation = generation;
    refusal_.a = pair[0];
    refusal_.b = pair[1];
    refusal_.phase = RefusalEpisode::Phase::kHolderStarts;
    NoteRefusal("window " + std::to_string(refusal_.b->index + 1) + " takes the station");
    StartWindow(refusal_.b);
    StartWindow(refusal_.a, false);
    At(kEpisodeLimit, [this, generation] {
      if (refusal_.generation == generation && refusal_.phase != RefusalEpisode::Phase::kIdle &&
          refusal_.phase != RefusalEpisode::Phase::kDone) {
        EndRefusal("it took too long");
      }
    });
    At(kRefusalLimit, [this, generation] {
      if (refusal_.generation == generation &&
          (refusal_.phase == RefusalEpisode::Phase::kHolderStarts ||
           refusal_.phase == RefusalEpisode::Phase::kRefusing)) {
        EndRefusal("no refusal came");
      }
    });
  });
}

void CampaignDriver::RefusalNews(Window* w, const std::string& line) {
  using Phase = RefusalEpisode::Phase;
  if (refusal_.phase == Phase::kIdle || w != refusal_.a || ending_) {
    return;
  }
  if (line == "EXIT") {
    EndRefusal("the window ended");
  } else if (refusal_.phase == Phase::kRefusing && line.rfind("MESSAGE ", 0) == 0 &&
             line.find("no address") != std::string::npos) {
    // Refused; its operator presses START again in a while, and by then the station is free.
    NoteRefusal("refused");
    refusal_.phase = Phase::kRunning;
    Window* b = refusal_.b;
    StopThen({b}, "its station given up", [this, b] {
      b->mode = Mode::kDirect;
      b->busy = false;
      StartWindow(b);
    });
  } else if (refusal_.phase == Phase::kRead &&
             (line.rfind("BANNER ", 0) == 0 || line.rfind("MESSAGE The device shows ", 0) == 0)) {
    // The mark is in the journal (or, wrongly, given up): RESET and START again while the
    // store is still out, so that the claim's replay meets it too.
    NoteRefusal(line.substr(0, 60));
    refusal_.phase = Phase::kReplay;
    const std::uint64_t generation = refusal_.generation;
    At(std::chrono::milliseconds(1000), [w] { w->process.Send("reset"); });
    At(std::chrono::milliseconds(1500), [w] { w->process.Send("start"); });
    At(std::chrono::milliseconds(5000), [this, generation] {
      if (refusal_.generation == generation && refusal_.phase == Phase::kReplay) {
        RefusalStoreBack(true);
        At(std::chrono::seconds(3), [this, generation] {
          if (refusal_.generation == generation) {
            EndRefusal({});
          }
        });
      }
    });
  }
}

void CampaignDriver::RefusalBenchNews(int bench, const std::string& event,
                                      const std::string& line) {
  using Phase = RefusalEpisode::Phase;
  if (refusal_.phase == Phase::kIdle || ending_) {
    return;
  }
  if (refusal_.phase == Phase::kHolderStarts && bench == refusal_.b->index && event == "prompt") {
    // b has the station's claim: a's START is refused now.
    refusal_.phase = Phase::kRefusing;
    refusal_.a->process.Send("start");
    return;
  }
  if (bench != refusal_.a->index) {
    return;
  }
  const std::uint64_t generation = refusal_.generation;
  if (refusal_.phase == Phase::kRunning && event == "done" && !StoreBusy()) {
    refusal_.phase = Phase::kTaking;
    store_busy_ = true;
    Holder("cut", [this, generation](const std::string& answer) {
      if (refusal_.generation != generation || refusal_.phase != Phase::kTaking) {
        return;
      }
      if (answer != "held") {
        RefusalStoreBack(false);
        EndRefusal("the store could not be cut off: " + answer);
        return;
      }
      refusal_.phase = Phase::kHeld;
      NoteRefusal("the store is out");
    });
    return;
  }
  const bool out = refusal_.phase == Phase::kTaking || refusal_.phase == Phase::kHeld;
  std::string missed;
  if (out && (event == "pull" || event == "unplug_after_write")) {
    missed = "the board left before its read-back";
  } else if (out && event == "dump") {
    static const std::regex shown_form(R"re("shown":"([0-9A-F ]{17})")re");
    std::smatch m;
    std::string text = std::regex_search(line, m, shown_form) ? m[1].str() : std::string();
    std::replace(text.begin(), text.end(), ' ', ':');
    std::uint64_t shown = 0;
    if (refusal_.phase == Phase::kTaking) {
      missed = "the read-back came first";
    } else if (!ReadAddress(text, &shown) || shown != benches_[bench]->written) {
      missed = "the read-back does not show the written address";
    } else {
      NoteRefusal("read back");
      refusal_.phase = Phase::kRead;
      At(kAnnouncedLimit, [this, generation] {
        if (refusal_.generation == generation && refusal_.phase == Phase::kRead) {
          RefusalStoreBack(false);
          EndRefusal("neither a banner nor a message came");
        }
      });
    }
  }
  if (!missed.empty()) {
    // The store comes back, and the next board of a is tried.
    NoteRefusal(missed);
    RefusalStoreBack(false);
    if (++refusal_.tries >= kBoardsTried) {
      EndRefusal(missed);
    } else {
      refusal_.phase = Phase::kRunning;
    }
  }
}

void CampaignDriver::RefusalStoreBack(bool count) {
  NoteRefusal("the store is back");
  Holder("release", [this](const std::string&) { store_busy_ = false; });
  refusal_.phase = RefusalEpisode::Phase::kDone;
  if (count) {
    ++faults_[kRefusalThenOutage];
  }
}

void CampaignDriver::NoteRefusal(const std::string& line) const {
  std::ofstream(config_.out + "/refusal.log", std::ios::app)
      << Now() << " window " << refusal_.a->index + 1 << ": " << line << '\n';
}

void CampaignDriver::EndRefusal(const std::string& why) {
  using Phase = RefusalEpisode::Phase;
  NoteRefusal(why.empty() ? "over" : "given up: " + why);
  if (refusal_.phase != Phase::kDone && refusal_.phase != Phase::kIdle &&
      refusal_.phase != Phase::kHolderStarts && refusal_.phase != Phase::kRefusing &&
      refusal_.phase != Phase::kRunning) {
    RefusalStoreBack(false);
  }
  refusal_.phase = Phase::kIdle;
  std::vector<Window*> shared;
  for (Window* w : {refusal_.a, refusal_.b}) {
    if (w->mode != Mode::kDirect) {
      shared.push_back(w);
    }
  }
  StopThen(shared, "back to their benches", [this, shared] {
    for (Window* w : shared) {
      w->mode = Mode::kDirect;
      StartWindow(w);
    }
    refusal_.a->busy = false;
    refusal_.b->busy = false;
    episode_ = false;
    ScheduleRefusal(false);
  });
}

}  // namespace pelorus::campaign
