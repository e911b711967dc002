#pragma once

#include <QString>
#include <memory>
#include <string>

#include "../pool/pool_store.h"
#include "pool/address_pool.h"
#include "ui/pelorus_dlg.h"

namespace pelorus::testing {

constexpr Mac48 kFirst = 0x001A2B3C0000ULL;
inline const std::string kStation = "bench1/COM1";

// The record of one pool, as the test reads it beside the window.
struct Record {
  Record(const std::string& location, Mac48 last) {
    pool = pool::AddressPool::Open(location, true, &error);
    ok = pool && pool->Create(pool::AddressPool::kDefaultName, kFirst, last, &error);
  }
  QString State(Mac48 address) {
    pool::AddressRecord r;
    pool->Check(address, &r, &error);
    return QStringLiteral("%1 %2").arg(pool::StateName(r.state)).arg(r.attempts);
  }
  std::unique_ptr<pool::AddressPool> pool;
  std::string error;
  bool ok = false;
};

inline std::unique_ptr<CPELORUSDlg> OpenWindow(const std::string& location) {
  std::string error;
  auto station =
      RunStation::Open({location, pool::AddressPool::kDefaultName, kStation, nullptr}, &error);
  if (!station) {
    qWarning("%s", error.c_str());
    return nullptr;
  }
  auto window = std::make_unique<CPELORUSDlg>(std::move(station));
  window->show();
  return window;
}

}  // namespace pelorus::testing
