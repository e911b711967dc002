// How SqlPool runs a step: one transaction, run again while the store asks for it, and
// ended by Interrupt.
#include "pool/sql_transaction.h"

namespace pelorus::pool {
namespace {

constexpr int kMaxAttempts = 5;

// "5 s", or "250 ms" for a wait of less than a whole second.
std::string Span(std::chrono::milliseconds wait) {
  return wait.count() % 1000 == 0 ? std::to_string(wait.count() / 1000) + " s"
                                  : std::to_string(wait.count()) + " ms";
}

}  // namespace

bool SqlPool::InTransaction(const std::function<bool(Transaction&)>& step, std::string* error,
                            Access access) {
  const bool read = access == Access::kRead;
  refused_ = false;
  for (int attempt = 1;; ++attempt) {
    if (interruption_.Raised()) {
      return Failed("interrupted", error);
    }
    Transaction tx(*this);
    if (tx.Run(read ? dialect_.begin_read : dialect_.begin) && step(tx) &&
        (read || *dialect_.notify == '\0' || tx.Run(dialect_.notify)) && tx.Run("COMMIT")) {
      return true;
    }
    std::string ignored;
    Run("ROLLBACK", {}, nullptr, &ignored);
    if (!tx.refusal().empty()) {
      return Refuse(tx.refusal(), error);
    }
    switch (tx.outcome()) {
      case Outcome::kRetry:
        if (attempt < kMaxAttempts && !read) {
          continue;
        }
        return Failed("the store kept giving up on the step (" + tx.detail() + "); nothing changed",
                      error);
      case Outcome::kBusy:
        return Failed(
            "locked by another station for more than " + Span(lock_wait_) + "; nothing changed",
            error);
      case Outcome::kLost:
        return Failed("the connection was lost (" + tx.detail() + "); nothing changed", error);
      case Outcome::kInterrupted:
        return Failed("interrupted", error);
      case Outcome::kRefused:
        return Refuse(tx.detail(), error);
      case Outcome::kOk:
      case Outcome::kFailed:
        break;
    }
    return Failed(tx.detail(), error);
  }
}

void SqlPool::Interrupt() {
  interruption_.Raise();
  Interrupted();
}

void SqlPool::Resume() {
  interruption_.Clear();
}

void SqlPool::SetLockWait(std::chrono::milliseconds wait) {
  lock_wait_ = wait;
  LockWaitChanged();
}

bool SqlPool::Transaction::Going() {
  if (outcome_ == Outcome::kOk && pool_.interruption_.Raised()) {
    outcome_ = Outcome::kInterrupted;
  }
  return outcome_ == Outcome::kOk;
}

}  // namespace pelorus::pool
