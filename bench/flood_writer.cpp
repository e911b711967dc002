#include "flood_writer.h"

#include <chrono>
#include <cstddef>

namespace pelorus::bench {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

// Lines as a board prints them, with none of the dialogue's triggers ("CODE", "480", "done"):
// line numbers in base 7 with the digits 1235679 hold no "480".
std::string FloodText(std::size_t bytes) {
  static constexpr char kDigits[] = "1235679";
  std::string text;
  for (std::uint64_t n = 0; text.size() < bytes; ++n) {
    std::string number(7, kDigits[0]);
    for (std::uint64_t v = n, i = 0; i < 7; ++i, v /= 7) {
      number[6 - i] = kDigits[v % 7];
    }
    text += "flood " + number + " probe: scanning bus, slot quiet, retry queue empty, ok\r\n";
  }
  return text;
}

}  // namespace

FloodWriter::FloodWriter(PtyDevice& device) : device_(device), text_(FloodText(kChunk)) {}

FloodWriter::~FloodWriter() {
  Stop();
}

void FloodWriter::Start() {
  stop_ = false;
  done_ = false;
  started_ = PtyDevice::Clock::now();
  thread_ = std::thread([this] {
    while (!stop_ && device_.Send(text_) != PtyDevice::Clock::time_point{}) {
      bytes_ += text_.size();
    }
    done_ = true;
  });
}

void FloodWriter::Stop() {
  if (!thread_.joinable()) {
    return;
  }
  stop_ = true;
  // A reader that stopped reading would leave the writer stuck in the full port.
  while (!done_) {
    device_.Discard();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  thread_.join();
  seconds_ += std::chrono::duration<double>(PtyDevice::Clock::now() - started_).count();
}

double FloodWriter::MBPerSecond() const {
  return seconds_ > 0 ? static_cast<double>(bytes_) / 1e6 / seconds_ : 0;
}

}  // namespace pelorus::bench
