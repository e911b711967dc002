#pragma once

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "programming/dialogue_surroundings.h"
#include "programming/mac_address_fields.h"

namespace pelorus::testing {

// Stands in for the window: records every call in order as a short text ("Load", "Store",
// "Scroll", "Log:<bytes>", "Write:<bytes>", "Alert:<text>", "Modal", "Wait:<ms>",
// "Stop:<reason>", "AboutToWrite:<address>", "Verified:<address>|<line>", "Next") and keeps
// the octet boxes the data exchange copies from and to, upper case as the window's are. The
// wait numbered stop_at_wait (from 1) plays the operator pressing RESET during it.
class RecordingSurroundings : public DialogueSurroundings {
 public:
  void LoadFields() override {
    calls.push_back("Load");
    Put(boxes);
    log = log_box;
  }
  void StoreFields() override {
    calls.push_back("Store");
    boxes = fields.Joined(":");
    std::transform(boxes.begin(), boxes.end(), boxes.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    log_box = log;
  }
  void ScrollLogToEnd() override { calls.push_back("Scroll"); }
  void AppendLog(const char* bytes, std::size_t count) override {
    calls.push_back("Log:" + std::string(bytes, count));
    log.append(bytes, count);
  }
  void Write(std::size_t count, const char* bytes) override {
    calls.push_back("Write:" + std::string(bytes, count));
  }
  void SetAlert(const std::string& text) override { calls.push_back("Alert:" + text); }
  void DoModal() override { calls.push_back("Modal"); }
  void BeginWait(std::chrono::milliseconds duration) override {
    calls.push_back("Wait:" + std::to_string(duration.count()));
  }
  bool EndWait() override { return ++waits != stop_at_wait; }
  void StopRun(const std::string& reason) override { calls.push_back("Stop:" + reason); }
  bool AboutToWrite(const std::string& address) override {
    calls.push_back("AboutToWrite:" + address);
    return write_allowed;
  }
  bool Verified(const std::string& address, const std::string& line) override {
    calls.push_back("Verified:" + address + "|" + line);
    return verified_recorded;
  }
  NextAddress TakeNextAddress() override {
    calls.push_back("Next");
    if (next_address.empty() || next_address == "none") {
      return next_address.empty() ? NextAddress::kStep : NextAddress::kNone;
    }
    Put(next_address);
    return NextAddress::kTaken;
  }

  MacAddressFields fields{*this};  // the strings the data exchange copies to and from
  std::vector<std::string> calls;
  int waits = 0;
  int stop_at_wait = 0;
  // How a window that keeps the address on record answers: whether the write may go out,
  // whether the success was put on record, and the next address ("" to step, "none" for
  // none, else "XX:XX:XX:XX:XX:XX" put into the strings).
  bool write_allowed = true;
  bool verified_recorded = true;
  std::string next_address;
  std::string boxes = "00:1A:2B:3C:4D:5E";  // the six octet boxes' text joined by ':'
  std::string log;
  std::string log_box;

 private:
  // Puts "o1:o2:o3:o4:o5:o6" into the octet strings as it is.
  void Put(const std::string& address) {
    std::size_t at = 0;
    for (int k = 1; k <= 6; ++k, at = address.find(':', at) + 1) {
      fields.Octet(k) = address.substr(at, address.find(':', at) - at);
    }
  }
};

}  // namespace pelorus::testing
