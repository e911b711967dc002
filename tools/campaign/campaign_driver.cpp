#include "campaign_driver.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>

namespace pelorus::campaign {
namespace {

constexpr std::uint64_t kFirst = 0x02CA00000000ULL;
constexpr std::uint64_t kLast = 0x02CA0000FFFFULL;
constexpr const char* kFirstText = "02-CA-00-00-00-00";
constexpr const char* kLastText = "02-CA-00-00-FF-FF";
constexpr int kSerialsPerBench = 1000000;
constexpr int kLastChanceMs = 10000;

}  // namespace

CampaignDriver::CampaignDriver(CampaignConfig config)
    : config_(std::move(config)),
      rng_(config_.seed),
      oracle_(std::make_unique<CampaignOracle>(kFirst, kLast)) {}

CampaignDriver::~CampaignDriver() = default;

void CampaignDriver::At(Clock::duration after, std::function<void()> action) {
  timers_.emplace(Clock::now() + after, std::move(action));
}

bool CampaignDriver::CreatePool(std::string* error) {
  if (config_.store == "postgres") {
    database_ =
        "pelorus_campaign_" + std::to_string(config_.seed) + "_" + std::to_string(::getpid());
    if (!RunToEnd(
            {{"/usr/bin/psql", "-X", "-q", "-d", "postgres", "-c", "CREATE DATABASE " + database_},
             {},
             config_.out + "/setup.log",
             config_.out + "/setup.log"},
            30000, error)) {
      *error = "cannot create the database (is a PostgreSQL server in the environment?): " + *error;
      return false;
    }
    location_ = "dbname=" + database_;
    // Only a server the campaign can name as a cluster of this host is restarted: the
    // throwaway one pg_virtualenv makes.
    ChildProcess name;
    if (name.Start({{"/usr/bin/psql", "-X", "-A", "-t", "-d", database_, "-c", "SHOW cluster_name"},
                    {},
                    "",
                    config_.out + "/setup.log"},
                   error)) {
      pollfd fd{name.ExitFd(), POLLIN, 0};
      ::poll(&fd, 1, 10000);
      const auto lines = name.ReadLines();
      if (name.Stop(SIGKILL, 0) == 0 && !lines.empty() && lines[0].find('/') != std::string::npos) {
        cluster_ = lines[0];
      }
    }
  } else {
    location_ = config_.out + "/line.db";
  }
  return RunToEnd({{config_.bin + "/pelorus-pool", "create", location_, "--first", kFirstText,
                    "--last", kLastText},
                   {},
                   config_.out + "/setup.log",
                   config_.out + "/setup.log"},
                  30000, error);
}

// The bench's report comes on its standard output beside its summary lines, so that the
// campaign hears of each step of a board as it happens; the campaign files it as it comes. The
// rack's benches pull boards and unplug their adapters more often: a port lost and waited for
// while the others go on is the rack's own path, and a short run has few boards on each port.
bool CampaignDriver::StartBench(int i, bool rack, std::string* error) {
  auto bench = std::make_unique<Bench>();
  bench->rack = rack;
  bench->name = rack ? "rack-" + std::to_string(i - config_.windows + 1) : std::to_string(i + 1);
  const std::string& n = bench->name;
  bench->link = config_.out + "/console-" + n;
  ChildProcess::Spec spec;
  spec.argv = {config_.bin + "/pelorus-devsim",
               "--link",
               bench->link,
               "--seed",
               std::to_string(config_.seed * 16 + static_cast<std::uint64_t>(i)),
               "--serial-base",
               std::to_string((i + 1) * kSerialsPerBench),
               "--any-address",
               "--lenient",
               "--no-delays",
               "--interrupt-wait",
               "3000",
               "--power-cycle",
               "300",
               "--prompt-timeout",
               "6000",
               "--bad-flash",
               "4",
               "--pull-after-write",
               rack ? "6" : "3",
               "--unplug-after-write",
               rack ? "8" : "3",
               "--replug",
               "--away",
               "1500",
               "--readback-noise",
               "10",
               "--rebench",
               "40",
               "--ledger",
               config_.out + "/ledger-" + n + ".jsonl",
               "--report",
               "/dev/stdout"};
  spec.stderr_file = config_.out + "/bench-" + n + ".err";
  if (!bench->process.Start(spec, error)) {
    return false;
  }
  benches_.push_back(std::move(bench));
  return true;
}

void CampaignDriver::OnBenchOutput(int i) {
  static const std::regex event_form(R"re(^\{"event":"(\w+)")re");
  static const std::regex written_form(R"re("address":"([0-9A-F-]{17})")re");
  static const std::regex serial_form(R"re("serial":(\d+))re");
  Bench& bench = *benches_[static_cast<std::size_t>(i)];
  std::ofstream report(config_.out + "/bench-" + bench.name + ".jsonl", std::ios::app);
  for (const auto& line : bench.process.ReadLines()) {
    std::smatch m;
    if (!std::regex_search(line, m, event_form)) {
      continue;
    }
    report << line << '\n';
    const std::string event = m[1].str();
    if (event == "device" && std::regex_search(line, m, serial_form)) {
      ++visits_;
      boards_.insert(std::stoi(m[1].str()));
    }
    if (event == "write" && std::regex_search(line, m, written_form)) {
      ReadAddress(m[1].str(), &bench.written);
    }
    if (i == 0 && cut_armed_ && (event == "prompt" || event == "done")) {
      Cut();
    }
    HoldBenchNews(i, event, line);
    RefusalBenchNews(i, event, line);
    RackBenchNews(static_cast<std::size_t>(i), event);
  }
}

bool CampaignDriver::Run(std::string* error) {
  ::mkdir(config_.out.c_str(), 0755);
  ::mkdir((config_.out + "/state").c_str(), 0755);
  if (!CreatePool(error)) {
    return false;
  }
  ChildProcess::Spec holder;
  holder.argv = {config_.self, "--hold-store", location_};
  holder.stderr_file = config_.out + "/holder.log";
  holder.stdin_pipe = true;
  if (!holder_.Start(holder, error)) {
    return false;
  }
  const char* host = std::getenv("PGHOST");
  const char* port = std::getenv("PGPORT");
  if (config_.store == "postgres" && (host == nullptr || host[0] != '/')) {
    relay_ = std::make_unique<TcpRelay>();
    if (!relay_->Start(host != nullptr && host[0] != '\0' ? host : "localhost",
                       port != nullptr ? std::atoi(port) : 5432, error)) {
      return false;
    }
  }
  ScriptedStation::Config scripts;
  scripts.tool = config_.bin + "/pelorus-pool";
  scripts.location = location_;
  scripts.station = "script-rack";
  scripts.state_home = config_.out + "/state";
  scripts.log = config_.out + "/scripts.log";
  scripts.tokens = ToolMentions({"lease", "--help"}, "--json");
  scripts.seed = config_.seed;
  stations_.insert({location_, scripts.station});
  scripts_ = std::make_unique<ScriptedStation>(
      scripts, [this](std::chrono::milliseconds after, std::function<void()> f) { At(after, f); },
      [this](int board, std::uint64_t address, bool verified) {
        oracle_->AddScriptedBoard(board, address, verified);
      });
  for (int i = 0; i < config_.windows; ++i) {
    if (!StartBench(i, false, error)) {
      return false;
    }
  }
  rack_.first_bench = benches_.size();
  for (int k = 0; k < config_.rack_ports; ++k) {
    if (!StartBench(config_.windows + k, true, error)) {
      return false;
    }
  }
  start_ = Clock::now();
  StartRack();
  for (int i = 0; i < config_.windows; ++i) {
    windows_.push_back(std::make_unique<Window>());
    windows_.back()->index = i;
    StartWindow(windows_.back().get());
  }
  ScheduleFault();
  ScheduleHold(true);
  ScheduleRefusal(true);
  ScheduleScripts(true);
  ScheduleCut(true);
  ScheduleRack(true);
  Loop();
  Finish();
  return Judge(error);
}

void CampaignDriver::Loop() {
  const auto deadline = start_ + std::chrono::seconds(config_.seconds);
  while (static_cast<int>(boards_.size()) < config_.boards && Clock::now() < deadline) {
    PollSet set;
    set.Watch(holder_.OutputFd(), POLLIN, [this](short) {
      for (const auto& line : holder_.ReadLines()) {
        if (!holder_answers_.empty()) {
          auto answered = std::move(holder_answers_.front());
          holder_answers_.pop_front();
          answered(line);
        }
      }
    });
    set.Watch(holder_.ExitFd(), POLLIN, [this](short) {
      std::fprintf(stderr, "pelorus-campaign: the store holder ended (status %d)\n",
                   holder_.Reap());
      while (!holder_answers_.empty()) {
        auto answered = std::move(holder_answers_.front());
        holder_answers_.pop_front();
        answered("failed the holder has gone");
      }
    });
    for (std::size_t i = 0; i < benches_.size(); ++i) {
      Bench* bench = benches_[i].get();
      set.Watch(bench->process.ExitFd(), POLLIN, [bench](short) {
        std::fprintf(stderr, "pelorus-campaign: a bench ended (status %d)\n",
                     bench->process.Reap());
      });
      set.Watch(bench->process.OutputFd(), POLLIN,
                [this, i](short) { OnBenchOutput(static_cast<int>(i)); });
    }
    for (auto& w : windows_) {
      Window* window = w.get();
      set.Watch(w->process.OutputFd(), POLLIN, [this, window](short) { OnWindowOutput(window); });
      set.Watch(w->process.ExitFd(), POLLIN, [this, window](short) { OnWindowExit(window); });
    }
    for (auto& h : helpers_) {
      ChildProcess* helper = h.get();
      set.Watch(h->ExitFd(), POLLIN, [helper](short) { helper->Reap(); });
    }
    set.Watch(rack_.process.ExitFd(), POLLIN, [this](short) { OnRackExit(); });
    if (relay_) {
      relay_->Watch(&set);
    }
    scripts_->Watch(&set);
    auto wake = deadline;
    if (!timers_.empty()) {
      wake = std::min(wake, timers_.begin()->first);
    }
    set.Wait(std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()));
    while (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
      auto action = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
      action();
    }
  }
  seconds_ = std::chrono::duration<double>(Clock::now() - start_).count();
}

// The store and the line to it come back first, and the faults' helpers end, so that every
// window can end as an operator's END ends it; then the windows and the rack, so that no host
// writes into a bench that is going; the benches then write the last ledger lines of the boards
// on them.
void CampaignDriver::Finish() {
  ending_ = true;
  timers_.clear();
  scripts_->Stop();
  // The holder lets go of the store at the end of its input.
  holder_answers_.clear();
  holder_.CloseInput();
  holder_.Stop(0, kLastChanceMs);
  if (relay_) {
    relay_->Reconnect();
    relay_->DropGhosts();
  }
  for (auto& h : helpers_) {
    h->Stop(0, kLastChanceMs);
  }
  StopAll("the campaign's end");
  if (console_server_) {
    console_server_->Stop(SIGTERM, 2000);
  }
  for (auto& b : benches_) {
    OnBenchOutput(static_cast<int>(&b - &benches_[0]));
    b->process.Stop(SIGTERM, 5000);
    OnBenchOutput(static_cast<int>(&b - &benches_[0]));
  }
}

}  // namespace pelorus::campaign
