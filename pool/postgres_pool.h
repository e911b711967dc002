#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pool/sql_pool.h"

namespace pelorus::pool {

// The pool on a PostgreSQL server, for several benches sharing one block of addresses. One
// short transaction per step; concurrent leases of a pool take turns on the pool's row, the
// address's uniqueness is the last guard. A lost connection fails the step under way (the
// server rolls it back) and is made again for the next one. Connecting and every statement
// wait in poll() beside the interruption, so that Interrupt ends them (see Connection).
//
// A station's claim is a session-level advisory lock on hashtextextended('pelorus:POOL/
// STATION'); the session names its process ("pelorus HOST PID" as application_name, unless
// the location names it otherwise), so that a refused claimer can say who holds it. Every
// session has the server probe a silent client after 10 s, every 5 s, 3 times
// (tcp_keepalives_*), so that a session whose client was cut off ends, with its claim,
// within half a minute rather than the hours of the system's default; and until it has, this
// object's claim is not refused by such a session of its own but waits for it.
class PostgresPool : public SqlPool {
 public:
  class Connection;

  // True when location names a server rather than a file: a postgresql:// or postgres:// URI
  // or a libpq "key=value" string.
  static bool Names(const std::string& location);
  // Connects (at most kConnectTimeoutS unless the location says otherwise); the schema is not
  // looked at yet. Null with *error.
  static std::unique_ptr<PostgresPool> Connect(const std::string& location, std::string* error);
  ~PostgresPool() override;

  bool Claim(const std::string& name, const std::string& station, std::string* error) override;
  void Unclaim() override;

 protected:
  Outcome Run(const std::string& sql, const std::vector<Param>& params, std::vector<Row>* rows,
              std::string* detail) override;
  Outcome Stream(const std::string& sql, const std::vector<Param>& params,
                 const std::function<void(const Row&)>& each, std::string* detail) override;
  void LockWaitChanged() override;

 private:
  PostgresPool(std::string where, std::vector<std::string> keywords,
               std::vector<std::string> values, std::vector<std::string> secrets);
  // Sets what every session runs with (lock wait, messages, the server's keepalives).
  bool Configure(std::string* detail);
  Outcome Execute(const std::string& sql, const std::vector<Param>& params, std::vector<Row>* rows,
                  std::string* detail);
  // Makes the lost connection again; the new session holds no claim.
  Outcome Reconnect(std::string* detail);
  // Takes the claim of claim_name_ / claim_station_ in this session: kRefused with the holder
  // in *detail when another session has it; kFailed ("held by an earlier session ...,
  // waiting") when it is one of this object's own earlier sessions, which the server has not
  // yet seen gone.
  Outcome TakeClaim(std::string* detail);

  std::unique_ptr<Connection> connection_;
  bool claimed_ = false;     // this object claims claim_name_ / claim_station_
  bool claim_held_ = false;  // ... and the present session holds the lock
  std::string claim_name_;
  std::string claim_station_;
  // This object's sessions that took the claim: server process and since when (UTC), the
  // last few.
  std::vector<std::pair<int, std::string>> claim_sessions_;
};

}  // namespace pelorus::pool
