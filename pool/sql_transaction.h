#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pool/sql_pool.h"

// What the parts of SqlPool share inside the pool module: one transaction's statements, and
// how a row's text becomes values.
namespace pelorus::pool {

inline AddressState StateFromName(const std::string& name) {
  if (name == "leased") {
    return AddressState::kLeased;
  }
  if (name == "written") {
    return AddressState::kWritten;
  }
  if (name == "verified") {
    return AddressState::kVerified;
  }
  return AddressState::kFree;
}

inline std::int64_t Number(const std::optional<std::string>& text) {
  return text ? std::stoll(*text) : 0;
}

inline std::string Text(const std::optional<std::string>& text) {
  return text.value_or("");
}

inline std::int64_t Param64(Mac48 address) {
  return static_cast<std::int64_t>(address);
}

// One transaction's statements; the first that fails ends the transaction's work.
class SqlPool::Transaction {
 public:
  explicit Transaction(SqlPool& pool) : pool_(pool) {}

  bool Run(const std::string& sql, const std::vector<Param>& params = {},
           std::vector<Row>* rows = nullptr) {
    if (!Going()) {
      return false;
    }
    outcome_ = pool_.Run(sql, params, rows, &detail_);
    return outcome_ == Outcome::kOk;
  }
  bool Stream(const std::string& sql, const std::vector<Param>& params,
              const std::function<void(const Row&)>& each) {
    if (!Going()) {
      return false;
    }
    outcome_ = pool_.Stream(sql, params, each, &detail_);
    return outcome_ == Outcome::kOk;
  }
  // Rows of a query; empty when it failed (check failed()).
  std::vector<Row> Query(const std::string& sql, const std::vector<Param>& params = {}) {
    std::vector<Row> rows;
    Run(sql, params, &rows);
    return rows;
  }
  bool Refuse(std::string why) {
    refusal_ = std::move(why);
    return false;
  }
  bool failed() const { return outcome_ != Outcome::kOk; }
  Outcome outcome() const { return outcome_; }
  const std::string& detail() const { return detail_; }
  const std::string& refusal() const { return refusal_; }

 private:
  // Whether the next statement may run: none after one failed, and none once interrupted.
  bool Going();

  SqlPool& pool_;
  Outcome outcome_ = Outcome::kOk;
  std::string detail_;
  std::string refusal_;
};

}  // namespace pelorus::pool
