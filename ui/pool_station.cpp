#include "ui/pool_station.h"

#include <QString>
#include <QSysInfo>
#include <utility>

namespace pelorus {
namespace {

// 1234567 as "1,234,567".
std::string Grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

}  // namespace

std::unique_ptr<PoolStation> PoolStation::Open(const Config& config, std::string* error) {
  auto pool = pool::AddressPool::Open(config.location, false, error);
  pool::PoolStatus status;
  if (!pool || !pool->Status(config.name, &status, error)) {
    return nullptr;
  }
  return std::unique_ptr<PoolStation>(new PoolStation(config, std::move(pool)));
}

PoolStation::PoolStation(Config config, std::unique_ptr<pool::AddressPool> pool)
    : config_(std::move(config)),
      pool_(std::move(pool)),
      host_(QSysInfo::machineHostName().toStdString()) {
  station_ = config_.station;
}

void PoolStation::SetPort(const std::string& port) {
  station_ = config_.station.empty() ? host_ + "/" + port : config_.station;
}

bool PoolStation::Current(std::optional<Mac48>* address, std::string* error) {
  return pool_->OpenAddress(config_.name, station_, address, error);
}

bool PoolStation::Lease(Mac48* address, std::string* error) {
  if (unrecorded_) {
    if (!pool_->MarkVerified(unrecorded_->address, station_, unrecorded_->readback, error)) {
      return false;
    }
    unrecorded_.reset();
  }
  return pool_->Lease(config_.name, station_, address, error);
}

bool PoolStation::MarkWritten(Mac48 address, const std::string& port, std::string* error) {
  return pool_->MarkWritten(address, station_, port, error);
}

bool PoolStation::MarkVerified(Mac48 address, const std::string& readback, std::string* error) {
  if (!pool_->MarkVerified(address, station_, readback, error)) {
    if (!pool_->Refused()) {
      unrecorded_ = Verification{address, readback};
      *error += " (it is put on record before the station's next lease)";
    }
    return false;
  }
  ++verified_;
  return true;
}

std::string PoolStation::StatusLine() {
  pool::PoolStatus status;
  std::string error;
  const std::string station = "this station " + std::to_string(verified_);
  if (!pool_->Status(config_.name, &status, &error)) {
    return "pool " + config_.name + ": not reachable · " + station;
  }
  return "pool " + config_.name + ": " + Grouped(status.issued) + " / " + Grouped(status.total) +
         " used · " + station;
}

}  // namespace pelorus
