#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pool/postgres_pool.h"

struct pg_cancel;
struct pg_conn;

namespace pelorus::pool {

// One session with the server at a time, every wait of which (connecting, a statement's
// answer) watches the pool's Interruption. Raised while a statement is under way, it cancels
// the statement on the server (PQcancel, on a thread of its own, so that a server that does
// not answer holds nobody up) and gives the answer a short while (kGrace); a session that does
// not answer in that while, or whose cancel request has not been taken by then, is given up,
// so that a late cancel never reaches a later statement. Not thread-safe.
class PostgresPool::Connection {
 public:
  // How long an interrupted statement's answer is waited for.
  static constexpr std::chrono::milliseconds kGrace{500};

  // keywords and values as PQconnectStartParams takes them (the last dbname a location to
  // expand); secrets are left out of every message.
  Connection(std::vector<std::string> keywords, std::vector<std::string> values,
             std::vector<std::string> secrets, const Interruption& interruption);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens a new session, giving up the one there was: kOk; kLost with *detail when the server
  // cannot be reached within the connect time-out (the location's, or kConnectTimeoutS);
  // kInterrupted.
  Outcome Open(std::string* detail);
  bool IsOpen() const;
  // Runs one statement ($1, $2 ... for params), each row handed to each; the outcomes as
  // SqlPool::Run's. A session lost or given up is closed: IsOpen() is false after.
  Outcome Execute(const std::string& sql, const std::vector<Param>& params,
                  const std::function<void(const Row&)>& each, std::string* detail);
  // The server process of the session, 0 when none.
  int BackendPid() const;
  // A setting the server reported for the session ("application_name"), empty when none.
  std::string Reported(const char* name) const;
  // A message of libpq's or the server's on one line, the secrets left out.
  std::string Said(const char* message) const;

 private:
  // What ended a wait for the session's socket.
  enum class Wake { kReady, kInterrupted, kTimedOut, kFailed };
  // Where an interrupted statement stands.
  struct Interrupted {
    bool seen = false;
    std::chrono::steady_clock::time_point deadline{};
    std::shared_future<void> cancel;  // valid once a cancel request went out
  };

  // Waits for events on the session's socket until deadline (none: for ever), and for the
  // interruption when watch_interruption.
  Wake Await(short events, std::optional<std::chrono::steady_clock::time_point> deadline,
             bool watch_interruption) const;
  // Sends what is queued and reads until a whole result has come; kOk, or the outcome that
  // ended the wait (the session given up when it does not answer once interrupted).
  Outcome AwaitResult(bool cancel_on_interrupt, Interrupted* interrupted, std::string* detail);
  // Asks the server, from another thread, to cancel the statement under way.
  std::shared_future<void> Cancel() const;
  // Closes the session without waiting for the server to hear of it.
  void GiveUp();

  std::vector<std::string> keywords_;
  std::vector<std::string> values_;
  std::vector<std::string> secrets_;
  const Interruption& interruption_;
  pg_conn* session_ = nullptr;
  std::shared_ptr<pg_cancel> cancel_;
};

}  // namespace pelorus::pool
