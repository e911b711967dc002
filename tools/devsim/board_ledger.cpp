#include "board_ledger.h"

#include <cerrno>
#include <cstring>

#include "sim_address.h"

namespace pelorus::devsim {

BoardLedger::~BoardLedger() {
  if (file_ != nullptr) {
    std::fclose(file_);
  }
}

bool BoardLedger::Open(const std::string& path, std::string* error) {
  if (path.empty()) {
    return true;
  }
  file_ = std::fopen(path.c_str(), "we");
  if (file_ == nullptr) {
    *error = "cannot create the ledger " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void BoardLedger::Leave(int serial, std::uint64_t flash, bool confirmed) {
  if (file_ == nullptr) {
    return;
  }
  const std::string address =
      flash == kBlankFlash ? std::string("null") : "\"" + FormatAddress(flash, ':') + "\"";
  std::fprintf(file_, "{\"serial\":%d,\"address\":%s,\"confirmed\":%s}\n", serial, address.c_str(),
               confirmed ? "true" : "false");
  std::fflush(file_);
}

}  // namespace pelorus::devsim
