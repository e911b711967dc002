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
// the boxes the data exchange copies from and to. The wait numbered stop_at_wait (from 1)
// plays the operator pressing RESET during it. What is stored in the octet boxes is upper
// case, as in the window's.
class RecordingSurroundings : public DialogueSurroundings {
 public:
  void Attach(MacAddressFields& fields) { fields_ = &fields; }

  void LoadFields() override {
    calls.push_back("Load");
    for (int k = 1; k <= 6; ++k) {
      fields_->Octet(k) = octet_boxes[k - 1];
    }
    log = log_box;
  }
  void StoreFields() override {
    calls.push_back("Store");
    for (int k = 1; k <= 6; ++k) {
      octet_boxes[k - 1] = Upper(fields_->Octet(k));
    }
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
    if (next_address.empty()) {
      return NextAddress::kStep;
    }
    if (next_address == "none") {
      return NextAddress::kNone;
    }
    for (int k = 1; k <= 6; ++k) {
      fields_->Octet(k) = next_address.substr(3 * (k - 1), 2);
    }
    return NextAddress::kTaken;
  }

  // Puts the address into the octet boxes as it is, for the next load.
  void Type(const std::vector<std::string>& octets) {
    std::copy(octets.begin(), octets.end(), octet_boxes);
  }

  std::vector<std::string> calls;
  int waits = 0;
  int stop_at_wait = 0;
  // How a window that keeps the address on record answers: whether the write may go out,
  // whether the success was put on record, and the next address ("" to step, "none" for
  // none, else "XX:XX:XX:XX:XX:XX" put into the strings).
  bool write_allowed = true;
  bool verified_recorded = true;
  std::string next_address;
  std::string octet_boxes[6];
  std::string log;
  std::string log_box;

 private:
  static std::string Upper(std::string text) {
    for (char& c : text) {
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
  }

  MacAddressFields* fields_ = nullptr;
};

}  // namespace pelorus::testing
