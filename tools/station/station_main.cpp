// pelorus-station: a rack of ports in one process, without a window.
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "tools/station/rack_station.h"

int main(int argc, char** argv) {
  pelorus::RackConfig config;
  std::string text;
  const int status = pelorus::ParseRackCommandLine(argc, argv, &config, &text);
  if (status >= 0) {
    (status == 0 ? std::cout : std::cerr) << text << (status == 0 ? "" : "\n");
    return status;
  }

  // Before any thread starts, so that every thread leaves the signals to the descriptor.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int stop_fd = signalfd(-1, &stops, SFD_CLOEXEC);
  if (stop_fd < 0) {
    std::cerr << "pelorus-station: no signal descriptor: " << std::strerror(errno) << "\n";
    return 1;
  }

  int events_fd = STDOUT_FILENO;
  if (!config.events.empty()) {
    events_fd = open(config.events.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (events_fd < 0) {
      std::cerr << "pelorus-station: " << config.events << ": " << std::strerror(errno) << "\n";
      return 1;
    }
  }
  pelorus::EventSink sink(events_fd, STDERR_FILENO, isatty(STDERR_FILENO) == 1);
  std::string error;
  std::unique_ptr<pelorus::RackStation> rack = pelorus::RackStation::Open(config, sink, &error);
  if (!rack) {
    sink.Log(pelorus::EventSink::Tone::kBad, "pelorus-station: " + error);
    return 1;
  }
  sink.Log(pelorus::EventSink::Tone::kPlain,
           pelorus::pool::UtcNowText() + " station " + config.station_prefix + ": " +
               std::to_string(config.ports.size()) + " ports on pool " + config.pool_name + " (" +
               pelorus::pool::AddressPool::Shown(config.pool) + ")");
  return rack->Serve(stop_fd);
}
