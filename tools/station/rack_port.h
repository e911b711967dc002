#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "run/run.h"
#include "tools/station/event_sink.h"
#include "tools/station/rack_config.h"

namespace pelorus {

// One port of a rack station: a run on the port's device as the station PREFIX/NAME, with no
// one at it. Where a window shows its banner, the port writes the attempt's event line and
// goes on to the next board at once; everything else the run reports becomes a log line.
class RackPort : private RunObserver {
 public:
  // ended is called (on the run's thread, and must return at once) when a run of the port has
  // ended, whether it ran or could not start; the rack decides when to start it again.
  RackPort(const RackConfig::Port& port, std::unique_ptr<RunStation> station, EventSink& sink,
           std::function<void(RackPort&)> ended);
  // Stops the run and waits for its thread: the port is closed and the claim given back, and
  // a verified mark the store did not take is in the station's journal.
  ~RackPort() override;
  RackPort(const RackPort&) = delete;
  RackPort& operator=(const RackPort&) = delete;

  const std::string& Name() const { return port_.name; }
  // Starts a run (between runs only).
  void Start();
  // Ends the run under way without waiting for it.
  void Stop();
  // Ends the run and waits for its thread; the counts are then final. The port is done.
  void Finish();

  // Whether the last run got its port open; the boards so far (any thread).
  bool Started() const { return started_; }
  std::uint64_t Verified() const { return verified_; }
  std::uint64_t Failed() const { return failed_; }

 private:
  void RunStarted(std::uint64_t run, const std::string& address_line) override;
  void RunFailed(std::uint64_t run, const std::string& text, const std::string& detail) override;
  void RunEnded(std::uint64_t run) override;
  void Log(const std::string&) override {}
  void LogNote(const std::string& note) override;
  void Address(std::uint64_t, const std::array<std::string, 6>&) override {}
  void Banner(std::uint64_t run, const std::string& text) override;
  void Message(std::uint64_t run, MessageKind kind, const std::string& text,
               const std::string& detail) override;
  void Status(StatusKind kind, const std::string& text) override;
  void StationAddress(std::optional<Mac48>) override {}
  void PoolLine(const std::string&) override {}
  void AttemptRecorded(std::uint64_t run, const pool::Attempt& attempt) override;

  void Say(EventSink::Tone tone, const std::string& text);

  const RackConfig::Port port_;
  EventSink& sink_;
  const std::function<void(RackPort&)> ended_;
  std::atomic<bool> started_{false};
  std::atomic<std::uint64_t> verified_{0};
  std::atomic<std::uint64_t> failed_{0};
  bool port_lost_ = false;    // the run's thread's
  std::unique_ptr<Run> run_;  // last: its news may come as soon as it exists
  // The run, for its own thread's calls: valid until its thread has ended, as run_ is not.
  Run* const run_itself_;
};

}  // namespace pelorus
