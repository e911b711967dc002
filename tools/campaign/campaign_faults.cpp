// The faults the campaign injects itself, each at a seeded moment, and the episodes (shared
// station, console server) that last a while before the windows go back to their benches;
// the scripts' rounds and, on PostgreSQL, the cuts of one window's line to the server.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "campaign_driver.h"

namespace pelorus::campaign {
namespace {

constexpr const char* kKill = "window killed and restarted";
constexpr const char* kReset = "RESET and START again";
constexpr const char* kLock = "SQLite file locked 6 s";
constexpr const char* kTerminate = "PostgreSQL sessions terminated";
constexpr const char* kRestart = "PostgreSQL server restarted";
constexpr const char* kShared = "two windows as one station";
constexpr const char* kServer = "two windows through a console server";
constexpr const char* kScripts = "two scripts of one station";
constexpr const char* kCut = "PostgreSQL line cut without a reset, its session left on the server";

// A loopback port nobody listens on just now.
int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  int port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(s);
  return port;
}

}  // namespace

std::chrono::milliseconds CampaignDriver::Between(int min_ms, int max_ms) {
  return std::chrono::milliseconds(
      min_ms + static_cast<int>(rng_() % static_cast<unsigned>(max_ms - min_ms)));
}

// The episodes cost two windows' runs twice over, and the store's outages every window's:
// they come half as often as the rest.
std::vector<std::string> CampaignDriver::FaultKinds() const {
  std::vector<std::string> kinds = {kKill, kKill, kReset, kReset, kShared, kServer};
  if (config_.store == "postgres") {
    kinds.push_back(kTerminate);
    if (!cluster_.empty()) {
      kinds.push_back(kRestart);
    }
  } else {
    kinds.push_back(kLock);
  }
  return kinds;
}

void CampaignDriver::ScheduleFault() {
  At(Between(8000, 14000), [this] {
    const auto kinds = FaultKinds();
    Inject(kinds[rng_() % kinds.size()]);
    ScheduleFault();
  });
}

void CampaignDriver::Inject(const std::string& kind) {
  const bool episode = kind == kShared || kind == kServer;
  const bool store = kind == kLock || kind == kTerminate || kind == kRestart;
  const bool window = kind == kKill || kind == kReset;
  if ((episode && (episode_ || FreePair().empty())) || (store && StoreBusy()) ||
      (window && AnyFreeWindow(Mode::kDirect) == nullptr)) {
    return;
  }
  ++faults_[kind];
  if (kind == kKill) {
    KillWindow();
  } else if (kind == kReset) {
    ResetWindow();
  } else if (kind == kLock) {
    store_busy_ = true;
    Holder("hold", [this](const std::string&) {
      At(std::chrono::seconds(6),
         [this] { Holder("release", [this](const std::string&) { store_busy_ = false; }); });
    });
  } else if (kind == kTerminate) {
    Holder("kill", [](const std::string&) {});
  } else if (kind == kRestart) {
    const auto slash = cluster_.find('/');
    RunHelper({"/usr/bin/pg_ctlcluster", cluster_.substr(0, slash), cluster_.substr(slash + 1),
               "restart"},
              "restart");
  } else if (kind == kShared) {
    SharedStation();
  } else {
    ConsoleServer();
  }
}

bool CampaignDriver::StoreBusy() const {
  return store_busy_ ||
         std::any_of(helpers_.begin(), helpers_.end(), [](const auto& h) { return h->Running(); });
}

CampaignDriver::Window* CampaignDriver::AnyFreeWindow(Mode mode) {
  std::vector<Window*> free;
  for (auto& w : windows_) {
    if (!w->busy && w->mode == mode && w->process.Running()) {
      free.push_back(w.get());
    }
  }
  return free.empty() ? nullptr : free[rng_() % free.size()];
}

std::vector<CampaignDriver::Window*> CampaignDriver::FreePair() {
  std::vector<Window*> free;
  for (auto& w : windows_) {
    if (!w->busy && w->mode == Mode::kDirect) {
      free.push_back(w.get());
    }
  }
  if (free.size() < 2) {
    return {};
  }
  const std::size_t a = rng_() % free.size();
  const std::size_t b = (a + 1 + rng_() % (free.size() - 1)) % free.size();
  return {free[a], free[b]};
}

void CampaignDriver::KillWindow() {
  Window* w = AnyFreeWindow(Mode::kDirect);
  OnWindowOutput(w);
  w->process.Stop(SIGKILL, 1000);
  At(std::chrono::milliseconds(300), [this, w] { StartWindow(w); });
}

void CampaignDriver::ResetWindow() {
  Window* w = AnyFreeWindow(Mode::kDirect);
  w->process.Send("reset");
  At(Between(300, 1500), [w] { w->process.Send("start"); });
}

void CampaignDriver::Holder(const std::string& command,
                            std::function<void(const std::string&)> answered) {
  if (!holder_.Running()) {
    At(std::chrono::milliseconds(0), [answered] { answered("failed the holder has gone"); });
    return;
  }
  holder_answers_.push_back(std::move(answered));
  holder_.Send(command);
}

// Helpers run beside the loop; the loop reaps them when they end.
void CampaignDriver::RunHelper(const std::vector<std::string>& argv, const std::string& name) {
  helpers_.erase(
      std::remove_if(helpers_.begin(), helpers_.end(), [](const auto& h) { return !h->Running(); }),
      helpers_.end());
  auto helper = std::make_unique<ChildProcess>();
  ChildProcess::Spec spec;
  spec.argv = argv;
  spec.stdout_file = spec.stderr_file = config_.out + "/" + name + ".log";
  std::string error;
  if (helper->Start(spec, &error)) {
    helpers_.push_back(std::move(helper));
  }
}

// Two windows on different benches, started under one station name.
void CampaignDriver::SharedStation() {
  episode_ = true;
  const std::vector<Window*> pair = FreePair();
  for (Window* w : pair) {
    w->busy = true;
  }
  StopThen(pair, "two windows as one station", [this, pair] {
    for (Window* w : pair) {
      w->mode = Mode::kSharedStation;
      StartWindow(w);
    }
    At(Between(8000, 15000), [this, pair] { EndEpisode(pair); });
  });
}

// Two windows reach their benches through raw TCP consoles, by their default station names.
void CampaignDriver::ConsoleServer() {
  episode_ = true;
  const std::vector<Window*> pair = FreePair();
  for (Window* w : pair) {
    w->busy = true;
  }
  StopThen(pair, "two windows through a console server", [this, pair] {
    const std::string config = config_.out + "/ser2net.yaml";
    std::ofstream yaml(config);
    yaml << "%YAML 1.1\n---\n";
    for (Window* w : pair) {
      w->server_port = FreePort();
      w->mode = Mode::kConsoleServer;
      yaml << "connection: &bench" << w->index + 1 << "\n  accepter: tcp,127.0.0.1,"
           << w->server_port << "\n  connector: serialdev," << benches_[w->index]->link
           << ",115200n81,local\n";
    }
    yaml.close();
    console_server_ = std::make_unique<ChildProcess>();
    ChildProcess::Spec spec;
    spec.argv = {"/usr/sbin/ser2net", "-n", "-d", "-c", config};
    spec.stdout_file = spec.stderr_file = config_.out + "/ser2net.log";
    std::string error;
    if (!console_server_->Start(spec, &error)) {
      std::fprintf(stderr, "pelorus-campaign: ser2net: %s\n", error.c_str());
    }
    At(std::chrono::milliseconds(500), [this, pair] {
      for (Window* w : pair) {
        StartWindow(w);
      }
    });
    At(Between(10000, 18000), [this, pair] { EndEpisode(pair); });
  });
}

void CampaignDriver::EndEpisode(std::vector<Window*> windows) {
  StopThen(windows, "back to their benches", [this, windows] {
    if (console_server_) {
      console_server_->Stop(SIGTERM, 2000);
      console_server_.reset();
    }
    for (Window* w : windows) {
      w->mode = Mode::kDirect;
      w->busy = false;
      StartWindow(w);
    }
    episode_ = false;
  });
}

// A round of the scripts now and then; the first one early, so that short runs have one.
void CampaignDriver::ScheduleScripts(bool first) {
  At(first ? Between(2000, 4000) : Between(40000, 70000), [this] {
    if (!scripts_->Busy()) {
      ++faults_[kScripts];
      scripts_->Begin(3 + static_cast<int>(rng_() % 3));
    }
    ScheduleScripts(false);
  });
}

// The cut waits for window 1 to be mid-board (OnBenchOutput), so that its session holds the
// station's claim when the line goes silent.
void CampaignDriver::ScheduleCut(bool first) {
  if (!relay_) {
    return;
  }
  At(first ? Between(6000, 10000) : Between(20000, 35000), [this] { cut_armed_ = true; });
}

// The line stays silent, then the window's side is closed; the server's side stays, its
// session a ghost, until the campaign ends it as the server's keepalive would.
void CampaignDriver::Cut() {
  cut_armed_ = false;
  ++cuts_;
  ++faults_[kCut];
  relay_->Cut();
  At(Between(3000, 7000), [this] {
    relay_->Reconnect();
    At(Between(3000, 8000), [this] {
      std::ostringstream ports;
      for (int port : relay_->GhostPorts()) {
        ports << (ports.tellp() > 0 ? "," : "") << port;
      }
      if (ports.tellp() > 0) {
        RunHelper({"/usr/bin/psql", "-X", "-q", "-d", database_, "-c",
                   "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE client_port IN (" +
                       ports.str() + ")"},
                  "ghosts");
      }
      // The server has let the sessions go; the relay's ends of them follow.
      At(std::chrono::seconds(1), [this] { relay_->DropGhosts(); });
      ScheduleCut(false);
    });
  });
}

}  // namespace pelorus::campaign
