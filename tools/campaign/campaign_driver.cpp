#include "campaign_driver.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace pelorus::campaign {
namespace {

constexpr std::uint64_t kFirst = 0x02CA00000000ULL;
constexpr std::uint64_t kLast = 0x02CA0000FFFFULL;
constexpr const char* kFirstText = "02-CA-00-00-00-00";
constexpr const char* kLastText = "02-CA-00-00-FF-FF";
constexpr int kSerialsPerBench = 1000000;
constexpr auto kRestartAfterExit = std::chrono::seconds(2);
constexpr auto kStartAfterMessage = std::chrono::milliseconds(1500);
constexpr int kWindowStopMs = 4000;

// Runs a program to its end (bounded) and tells whether it succeeded.
bool RunToEnd(const ChildProcess::Spec& spec, int ms, std::string* error) {
  ChildProcess child;
  if (!child.Start(spec, error)) {
    return false;
  }
  pollfd fd{child.ExitFd(), POLLIN, 0};
  const int status = ::poll(&fd, 1, ms) > 0 ? child.Reap() : child.Stop(SIGKILL, 0);
  if (status != 0) {
    *error = spec.argv[0] + " failed (status " + std::to_string(status) + ")";
    return false;
  }
  return true;
}

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

bool CampaignDriver::StartBench(int i, std::string* error) {
  auto bench = std::make_unique<Bench>();
  const std::string n = std::to_string(i + 1);
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
               "3",
               "--unplug-after-write",
               "3",
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
               config_.out + "/bench-" + n + ".jsonl"};
  spec.stderr_file = config_.out + "/bench-" + n + ".err";
  if (!bench->process.Start(spec, error)) {
    return false;
  }
  benches_.push_back(std::move(bench));
  return true;
}

void CampaignDriver::StartWindow(Window* w) {
  if (w->process.Running() || ending_) {
    return;
  }
  const std::string n = std::to_string(w->index + 1);
  ChildProcess::Spec spec;
  spec.argv = {config_.bin + "/pelorus-campaign-window", "--pool", location_};
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
  w->expected_exit = false;
  w->process.Send("start");
}

void CampaignDriver::StopWindow(Window* w) {
  if (!w->process.Running()) {
    return;
  }
  w->expected_exit = true;
  OnWindowOutput(w);
  w->process.Send("end");
  w->process.Stop(0, kWindowStopMs);
}

void CampaignDriver::OnWindowOutput(Window* w) {
  std::ofstream log(config_.out + "/window-" + std::to_string(w->index + 1) + ".log",
                    std::ios::app);
  for (const auto& line : w->process.ReadLines()) {
    log << line << '\n';
    oracle_->AddBanner(line, std::to_string(w->index + 1));
    if (line.rfind("MESSAGE ", 0) == 0 && !ending_) {
      // An operator who sees a message box presses START again.
      At(kStartAfterMessage, [w] { w->process.Send("start"); });
    }
  }
}

void CampaignDriver::OnWindowExit(Window* w) {
  OnWindowOutput(w);
  const int status = w->process.Reap();
  std::ofstream(config_.out + "/window-" + std::to_string(w->index + 1) + ".log", std::ios::app)
      << "EXIT " << status << '\n';
  if (!w->expected_exit && !ending_) {
    ++faults_["window refused or ended on its own"];
    At(kRestartAfterExit, [this, w] { StartWindow(w); });
  }
}

bool CampaignDriver::Run(std::string* error) {
  ::mkdir(config_.out.c_str(), 0755);
  ::mkdir((config_.out + "/state").c_str(), 0755);
  if (!CreatePool(error)) {
    return false;
  }
  for (int i = 0; i < config_.windows; ++i) {
    if (!StartBench(i, error)) {
      return false;
    }
  }
  start_ = Clock::now();
  for (int i = 0; i < config_.windows; ++i) {
    windows_.push_back(std::make_unique<Window>());
    windows_.back()->index = i;
    StartWindow(windows_.back().get());
  }
  ScheduleFault();
  Loop();
  Finish();
  return Judge(error);
}

void CampaignDriver::Loop() {
  const auto deadline = start_ + std::chrono::seconds(config_.seconds);
  while (visits_ < config_.boards && Clock::now() < deadline) {
    std::vector<pollfd> fds;
    std::vector<std::function<void()>> handlers;
    const auto watch = [&](int fd, std::function<void()> handler) {
      if (fd >= 0) {
        fds.push_back({fd, POLLIN, 0});
        handlers.push_back(std::move(handler));
      }
    };
    for (auto& b : benches_) {
      watch(b->process.ExitFd(), [this, bench = b.get()] {
        std::fprintf(stderr, "pelorus-campaign: a bench ended (status %d)\n",
                     bench->process.Reap());
      });
      watch(b->process.OutputFd(), [this, bench = b.get()] {
        for (const auto& line : bench->process.ReadLines()) {
          visits_ += line.rfind("device ", 0) == 0 ? 1 : 0;
        }
      });
    }
    for (auto& w : windows_) {
      watch(w->process.OutputFd(), [this, window = w.get()] { OnWindowOutput(window); });
      watch(w->process.ExitFd(), [this, window = w.get()] { OnWindowExit(window); });
    }
    for (auto& h : helpers_) {
      watch(h->ExitFd(), [helper = h.get()] { helper->Reap(); });
    }
    auto wake = deadline;
    if (!timers_.empty()) {
      wake = std::min(wake, timers_.begin()->first);
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(0, left)));
    if (ready > 0) {
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents != 0) {
          handlers[i]();
        }
      }
    }
    while (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
      auto action = std::move(timers_.begin()->second);
      timers_.erase(timers_.begin());
      action();
    }
  }
  seconds_ = std::chrono::duration<double>(Clock::now() - start_).count();
}

// Windows first, so that no host writes into a bench that is going; the benches then write
// the last ledger lines of the boards still on them.
void CampaignDriver::Finish() {
  ending_ = true;
  timers_.clear();
  for (auto& w : windows_) {
    StopWindow(w.get());
  }
  if (console_server_) {
    console_server_->Stop(SIGTERM, 2000);
  }
  for (auto& h : helpers_) {
    h->Stop(0, 10000);
  }
  for (auto& b : benches_) {
    b->process.ReadLines();
    b->process.Stop(SIGTERM, 5000);
  }
}

bool CampaignDriver::Judge(std::string* error) {
  const std::string record = config_.out + "/record.csv";
  // A server just restarted may still be starting: give the export a few tries.
  bool exported = false;
  for (int attempt = 0; attempt < 5 && !exported; ++attempt) {
    exported = RunToEnd({{config_.bin + "/pelorus-pool", "export", location_, "--csv", record},
                         {},
                         config_.out + "/setup.log",
                         config_.out + "/setup.log"},
                        30000, error);
    if (!exported) {
      ::sleep(2);
    }
  }
  if (!exported || !oracle_->ReadRecord(record, error)) {
    return false;
  }
  for (std::size_t i = 1; i <= benches_.size(); ++i) {
    if (!oracle_->ReadLedger(config_.out + "/ledger-" + std::to_string(i) + ".jsonl", error)) {
      return false;
    }
  }
  // What the benches did to their boards, from their reports.
  const std::map<std::string, std::string> bench_faults = {
      {"\"event\":\"bad_flash\"", "bad flash (write ignored)"},
      {"\"event\":\"pull\"", "board pulled after the write"},
      {"\"event\":\"unplug_after_write\"", "adapter unplugged after the write"},
      {"\"event\":\"readback_noise\"", "line noise in the read-back"},
      {"\"event\":\"prompt_timeout\"", "board restarted at a silent prompt"}};
  for (std::size_t i = 1; i <= benches_.size(); ++i) {
    std::ifstream report(config_.out + "/bench-" + std::to_string(i) + ".jsonl");
    for (std::string line; std::getline(report, line);) {
      for (const auto& [event, kind] : bench_faults) {
        if (line.find(event) != std::string::npos) {
          ++faults_[kind];
        }
      }
    }
  }
  if (!database_.empty()) {
    std::string ignored;
    RunToEnd({{"/usr/bin/psql", "-X", "-q", "-d", "postgres", "-c",
               "DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)"},
              {},
              config_.out + "/setup.log",
              config_.out + "/setup.log"},
             30000, &ignored);
  }
  return true;
}

}  // namespace pelorus::campaign
