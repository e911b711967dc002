#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace pelorus::devsim {

// What happened to one device. Times are milliseconds since the run started; negative:
// the step was not reached.
struct DeviceRecord {
  int number = 0;
  int serial = 0;  // the board's; a board put back on the bench comes again under its serial
  int boots = 0;
  // "ok", "wrong-address" (the host wrote another address than one above the previous
  // device's), "wrong-readback" (injected), "no-answer" (injected), "gave-up" (nobody sent
  // the interrupt), "pulled" or "unplugged" (injected, after the address command),
  // "incomplete" (the run ended first).
  std::string result = "incomplete";
  std::optional<std::uint64_t> expected;  // what a correct host writes; none for a free first
  std::optional<std::uint64_t> written;
  std::optional<std::uint64_t> shown;  // what the dump showed
  int host_errors = 0;
  double power_on_ms = -1;
  double code_ms = -1;       // the CODE line was out
  double interrupt_ms = -1;  // 0x03 arrived
  double prompt_ms = -1;     // the "480" line was out
  double write_ms = -1;      // the address command arrived
  double done_ms = -1;       // the "done" line was out
  double read_ms = -1;       // the read-back command arrived
  double dump_ms = -1;       // the dump line was out
};

struct SimResult {
  int exit_code = 1;   // 0 success, 1 failure
  std::string reason;  // one line
  std::vector<DeviceRecord> devices;
  std::vector<std::string> host_errors;
  bool hung_up = false;  // the run ended with a hang-up
  int unplugs = 0;       // hang-ups meant to come back (SimOptions::replug)
  std::uint64_t bytes_out = 0;
  std::uint64_t bytes_in = 0;
  std::uint64_t out_digest = 0;
  std::uint64_t chunk_digest = 0;
};

// One JSON object on one line, built field by field.
class JsonLine {
 public:
  explicit JsonLine(const std::string& event);
  JsonLine& Add(const std::string& key, const std::string& value);
  JsonLine& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
  JsonLine& Add(const std::string& key, long long value);
  JsonLine& Add(const std::string& key, int value) {
    return Add(key, static_cast<long long>(value));
  }
  JsonLine& AddMs(const std::string& key, double ms);  // 3 decimals; null when negative
  JsonLine& AddBool(const std::string& key, bool value);
  std::string Text() const { return text_ + "}"; }

 private:
  std::string text_;
};

// Where the run is told: the JSON lines report file (flushed per line, so a reader can
// follow it live), the readable summary on stdout and host errors on stderr.
class SimReport {
 public:
  SimReport() = default;
  ~SimReport();
  SimReport(const SimReport&) = delete;
  SimReport& operator=(const SimReport&) = delete;

  // `path` empty: no file. False with *error if the file cannot be created.
  bool Open(const std::string& path, bool console, std::string* error);

  void Event(const JsonLine& line);
  void Device(const DeviceRecord& device);
  void HostError(double t_ms, int device, const std::string& state, const std::string& what);
  void End(double t_ms, const SimResult& result);
  // A line on stdout (only with console output).
  void Say(const std::string& text);

 private:
  std::FILE* file_ = nullptr;
  bool console_ = false;
};

// Printable form of arbitrary bytes: \r, \n, \0, \xNN for the rest outside 0x20..0x7E.
std::string Escape(const std::string& bytes, std::size_t limit);

}  // namespace pelorus::devsim
