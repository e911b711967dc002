// Throughput of the console dialogue: device output fed through OnPortData in port-sized
// chunks, with surroundings that do nothing, or that keep a real log of a given size.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "programming/dialogue_surroundings.h"
#include "programming/mac_address_fields.h"
#include "programming/programming_dialogue.h"

namespace pelorus {
namespace {

constexpr std::size_t kChunkSize = 4095;

class NullSurroundings : public DialogueSurroundings {
 public:
  void LoadFields() override {}
  void StoreFields() override {}
  void ScrollLogToEnd() override {}
  void AppendLog(const char*, std::size_t) override {}
  void Write(std::size_t, const char*) override {}
  void SetAlert(const std::string&) override {}
  void DoModal() override {}
  void BeginWait(std::chrono::milliseconds) override {}
  bool EndWait() override { return true; }
  void StopRun(const std::string&) override {}
  bool AboutToWrite(const std::string&) override { return true; }
  bool Verified(const std::string&, const std::string&) override { return true; }
  NextAddress TakeNextAddress() override { return NextAddress::kStep; }
};

// Keeps the log as a window would keep its text: one string that only grows.
class LoggingSurroundings : public NullSurroundings {
 public:
  void AppendLog(const char* bytes, std::size_t count) override { log.append(bytes, count); }
  std::string log;
};

// About 1 MiB of what a device's console prints: boot messages, kernel lines and, once per
// boot, the lines that drive a programming run.
std::string ConsoleText() {
  std::string boot =
      "\r\nU-Boot 2011.12 (Mar 02 2015 - 10:41:27)\r\n"
      "DRAM:  128 MiB\r\nFlash: 16 MiB\r\nIn:    serial\r\nOut:   serial\r\nErr:   serial\r\n"
      "Net:   eth0, eth1\r\nPress CODE to stop autoboot:  1 \b\b\b 0 \r\n";
  char line[160];
  for (int i = 0; i < 120; ++i) {
    std::snprintf(line, sizeof line,
                  "[%5d.%06d] bus: device %02x:%02x.%d probed, irq %d, mmio 0x%08x-0x%08x\r\n",
                  i / 40, i * 7919 % 1000000, i % 32, i % 8, i % 4, 16 + i % 64,
                  0x1f000000 + i * 0x1000, 0x1f000fff + i * 0x1000);
    boot += line;
  }
  boot += "cpu0: clock 480 MHz, ready\r\nmacprog2: write ok\r\nprogramming done\r\n";
  boot += "1fd0000c: 00 1A 2B 3C 4D 5E\r\n# \r\n";
  std::string text;
  while (text.size() < (1u << 20)) {
    text += boot;
  }
  return text;
}

void FeedOnce(ProgrammingDialogue& dialogue, const std::string& text) {
  for (std::size_t at = 0; at < text.size(); at += kChunkSize) {
    dialogue.OnPortData(text.data() + at, std::min(kChunkSize, text.size() - at));
  }
}

void SetAddress(MacAddressFields& fields) {
  fields.OCTET1 = "00";
  fields.OCTET2 = "1A";
  fields.OCTET3 = "2B";
  fields.OCTET4 = "3C";
  fields.OCTET5 = "4D";
  fields.OCTET6 = "5E";
}

void BM_OnPortData(benchmark::State& state) {
  const std::string text = ConsoleText();
  NullSurroundings surroundings;
  MacAddressFields fields(surroundings);
  SetAddress(fields);
  ProgrammingDialogue dialogue(fields, surroundings);
  for (auto _ : state) {
    FeedOnce(dialogue, text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_OnPortData);

// The same feed after state.range(0) MiB have been logged: the cost per chunk must not grow
// with the log. The log is cut back to its starting size now and then so that it neither
// grows without end nor reallocates while being timed.
void BM_OnPortDataAfterLog(benchmark::State& state) {
  const std::string text = ConsoleText();
  const std::size_t logged = static_cast<std::size_t>(state.range(0)) << 20;
  LoggingSurroundings surroundings;
  // Touch all the memory the log will use up front, so page faults are not timed.
  surroundings.log.assign(logged + (64u << 20), 'x');
  surroundings.log.resize(logged);
  MacAddressFields fields(surroundings);
  SetAddress(fields);
  ProgrammingDialogue dialogue(fields, surroundings);
  for (auto _ : state) {
    FeedOnce(dialogue, text);
    if (surroundings.log.size() > logged + (32u << 20)) {
      surroundings.log.resize(logged);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["chunks/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * ((text.size() + kChunkSize - 1) / kChunkSize)),
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OnPortDataAfterLog)->Arg(1)->Arg(64);

}  // namespace
}  // namespace pelorus
