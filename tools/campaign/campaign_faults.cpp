// The faults the campaign injects itself, each at a seeded moment, and the episodes (shared
// station, console server) that last a while before the windows go back to their benches.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

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

std::vector<std::string> CampaignDriver::FaultKinds() const {
  std::vector<std::string> kinds = {kKill, kReset, kShared, kServer};
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
  const auto pause = std::chrono::milliseconds(1500 + rng_() % 3000);
  At(pause, [this] {
    const auto kinds = FaultKinds();
    Inject(kinds[rng_() % kinds.size()]);
    ScheduleFault();
  });
}

void CampaignDriver::Inject(const std::string& kind) {
  const bool episode = kind == kShared || kind == kServer;
  if ((episode && (episode_ || config_.windows < 2)) ||
      ((kind == kRestart || kind == kLock) &&
       std::any_of(helpers_.begin(), helpers_.end(), [](const auto& h) { return h->Running(); }))) {
    return;
  }
  ++faults_[kind];
  if (kind == kKill) {
    KillWindow();
  } else if (kind == kReset) {
    ResetWindow();
  } else if (kind == kLock) {
    RunHelper({config_.self, "--hold-lock", location_, "--for-ms", "6000"}, "lock");
  } else if (kind == kTerminate) {
    RunHelper({"/usr/bin/psql", "-X", "-q", "-d", database_, "-c",
               "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE datname = "
               "current_database() AND pid <> pg_backend_pid()"},
              "terminate");
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

void CampaignDriver::KillWindow() {
  Window* w = windows_[rng_() % windows_.size()].get();
  if (w->process.Running()) {
    OnWindowOutput(w);
    w->process.Stop(SIGKILL, 1000);
  }
  At(std::chrono::milliseconds(300), [this, w] { StartWindow(w); });
}

void CampaignDriver::ResetWindow() {
  Window* w = windows_[rng_() % windows_.size()].get();
  w->process.Send("reset");
  At(std::chrono::milliseconds(300 + rng_() % 1200), [w] { w->process.Send("start"); });
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
  const std::size_t a = rng_() % windows_.size();
  const std::size_t b = (a + 1 + rng_() % (windows_.size() - 1)) % windows_.size();
  std::vector<Window*> pair = {windows_[a].get(), windows_[b].get()};
  for (Window* w : pair) {
    StopWindow(w);
    w->mode = Mode::kSharedStation;
    StartWindow(w);
  }
  At(std::chrono::milliseconds(8000 + rng_() % 7000), [this, pair] { EndEpisode(pair); });
}

// Two windows reach their benches through raw TCP consoles, by their default station names.
void CampaignDriver::ConsoleServer() {
  episode_ = true;
  const std::size_t a = rng_() % windows_.size();
  const std::size_t b = (a + 1 + rng_() % (windows_.size() - 1)) % windows_.size();
  std::vector<Window*> pair = {windows_[a].get(), windows_[b].get()};
  const std::string config = config_.out + "/ser2net.yaml";
  std::ofstream yaml(config);
  yaml << "%YAML 1.1\n---\n";
  for (Window* w : pair) {
    StopWindow(w);
    w->server_port = FreePort();
    w->mode = Mode::kConsoleServer;
    yaml << "connection: &bench" << w->index + 1 << "\n  accepter: tcp,127.0.0.1," << w->server_port
         << "\n  connector: serialdev," << benches_[w->index]->link << ",115200n81,local\n";
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
  At(std::chrono::milliseconds(10000 + rng_() % 8000), [this, pair] { EndEpisode(pair); });
}

void CampaignDriver::EndEpisode(std::vector<Window*> windows) {
  for (Window* w : windows) {
    StopWindow(w);
    w->mode = Mode::kDirect;
  }
  if (console_server_) {
    console_server_->Stop(SIGTERM, 2000);
    console_server_.reset();
  }
  for (Window* w : windows) {
    StartWindow(w);
  }
  episode_ = false;
}

}  // namespace pelorus::campaign
