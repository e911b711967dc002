#include "pool/postgres_pool.h"

#include <libpq-fe.h>

#include <unistd.h>

#include <cctype>
#include <cstring>
#include <regex>
#include <sstream>

namespace pelorus::pool {
namespace {

constexpr SqlPool::Dialect kPostgres = {
    "BEGIN",
    "BEGIN READ ONLY",
    " FOR UPDATE",
    "SELECT pg_advisory_xact_lock(7262050391)",
    "LOCK TABLE pelorus_pools IN SHARE ROW EXCLUSIVE MODE",
    "to_char(clock_timestamp() AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')",
    // Not information_schema: its views cost milliseconds, and every command opens the store.
    "SELECT 1 WHERE to_regclass(quote_ident(current_schema()) || '.' || quote_ident($1))"
    " IS NOT NULL",
};

// Rows a stream fetches at once: few enough to keep memory small, many enough that a
// round trip costs little per row.
constexpr int kStreamBatch = 4096;

constexpr const char* kClaimKey = "hashtextextended('pelorus:' || $1::text || '/' || $2::text, 0)";

std::string ThisProcess() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return std::string("pelorus ") + host + " " + std::to_string(getpid());
}

// libpq's messages may run over several lines; the operator gets one.
std::string OneLine(const char* message) {
  std::string text;
  for (const char* c = message != nullptr ? message : ""; *c != '\0'; ++c) {
    const bool blank = std::isspace(static_cast<unsigned char>(*c)) != 0;
    if (!blank) {
      text += *c;
    } else if (!text.empty() && text.back() != ' ') {
      text += ' ';
    }
  }
  if (!text.empty() && text.back() == ' ') {
    text.pop_back();
  }
  return text;
}

}  // namespace

bool PostgresPool::Names(const std::string& location) {
  static const std::regex key_value(R"(^\s*[A-Za-z_]+\s*=)");
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0 ||
         std::regex_search(location, key_value);
}

PostgresPool::PostgresPool(std::string where, pg_conn* connection)
    : SqlPool(std::move(where), kPostgres), connection_(connection) {}

PostgresPool::~PostgresPool() {
  PQfinish(connection_);
}

std::unique_ptr<PostgresPool> PostgresPool::Connect(const std::string& location,
                                                    std::string* error) {
  const std::string where = Shown(location);
  // Later keywords override earlier ones: what the location says wins over these. A server
  // that goes silent mid-step must not hold the window for the minutes TCP would wait, so
  // unanswered traffic fails the step within about the lock wait.
  const std::string timeout = std::to_string(kConnectTimeoutS);
  const std::string silence = std::to_string(kLockWaitMs + 1000);
  const std::string name = ThisProcess();
  const char* keywords[] = {
      "connect_timeout",  "tcp_user_timeout", "keepalives_idle", "keepalives_interval",
      "keepalives_count", "application_name", "dbname",          nullptr};
  const char* values[] = {timeout.c_str(), silence.c_str(),  "5",    "2", "2",
                          name.c_str(),    location.c_str(), nullptr};
  pg_conn* connection = PQconnectdbParams(keywords, values, 1);
  if (connection == nullptr) {
    *error = where + ": out of memory";
    return nullptr;
  }
  std::unique_ptr<PostgresPool> pool(new PostgresPool(where, connection));
  std::string detail;
  if (PQstatus(connection) != CONNECTION_OK) {
    *error = where + ": cannot reach the server: " + OneLine(PQerrorMessage(connection));
    return nullptr;
  }
  if (!pool->Configure(&detail)) {
    *error = where + ": " + detail;
    return nullptr;
  }
  return pool;
}

bool PostgresPool::Claim(const std::string& name, const std::string& station, std::string* error) {
  if (claimed_ && claim_held_ && name == claim_name_ && station == claim_station_) {
    return true;
  }
  Unclaim();
  claim_name_ = name;
  claim_station_ = station;
  std::string detail;
  Outcome outcome = PQstatus(connection_) == CONNECTION_OK ? TakeClaim(&detail) : Outcome::kLost;
  if (outcome == Outcome::kLost && Reconnect(&detail) == Outcome::kOk) {
    outcome = TakeClaim(&detail);
  }
  switch (outcome) {
    case Outcome::kOk:
      claimed_ = true;
      return true;
    case Outcome::kRefused:
      return Refuse(detail, error);
    default:
      return Failed("cannot claim station " + station + " of pool " + name + ": " + detail, error);
  }
}

void PostgresPool::Unclaim() {
  if (claimed_ && claim_held_ && PQstatus(connection_) == CONNECTION_OK) {
    std::string ignored;
    Execute(std::string("SELECT pg_advisory_unlock(") + kClaimKey + ")",
            {claim_name_, claim_station_}, nullptr, &ignored);
  }
  claimed_ = false;
  claim_held_ = false;
}

SqlPool::Outcome PostgresPool::TakeClaim(std::string* detail) {
  std::vector<Row> taken;
  Outcome outcome = Execute(std::string("SELECT pg_try_advisory_lock(") + kClaimKey + ")",
                            {claim_name_, claim_station_}, &taken, detail);
  if (outcome != Outcome::kOk) {
    return outcome;
  }
  if (!taken.empty() && taken[0][0].value_or("") == "t") {
    claim_held_ = true;
    return Outcome::kOk;
  }
  // A bigint advisory key shows in pg_locks as its high and low 32 bits.
  std::vector<Row> holders;
  outcome = Execute(std::string("WITH claim AS (SELECT ") + kClaimKey +
                        " AS key) SELECT a.application_name, host(a.client_addr), a.pid"
                        " FROM claim, pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid"
                        " WHERE l.locktype = 'advisory' AND l.granted AND l.objsubid = 1"
                        " AND l.classid::bigint = (claim.key >> 32) & 4294967295"
                        " AND l.objid::bigint = claim.key & 4294967295",
                    {claim_name_, claim_station_}, &holders, detail);
  if (outcome != Outcome::kOk) {
    return outcome;
  }
  std::string holder = "another session, gone meanwhile";
  if (!holders.empty()) {
    const std::string application = holders[0][0].value_or("");
    std::istringstream words(application);
    std::string program;
    std::string host;
    std::string pid;
    words >> program >> host >> pid;
    holder = program == "pelorus" && !pid.empty()
                 ? "host " + host + ", process " + pid
                 : "\"" + application + "\" (server process " + holders[0][2].value_or("") + ")";
    if (holders[0][1]) {
      holder += ", connected from " + *holders[0][1];
    }
  }
  *detail = "station " + claim_station_ + " of pool " + claim_name_ + " is claimed by " + holder;
  return Outcome::kRefused;
}

SqlPool::Outcome PostgresPool::Reconnect(std::string* detail) {
  claim_held_ = false;
  PQreset(connection_);
  if (PQstatus(connection_) != CONNECTION_OK || !Configure(detail)) {
    *detail = "cannot reach the server: " + OneLine(PQerrorMessage(connection_));
    return Outcome::kLost;
  }
  return Outcome::kOk;
}

// Every session waits for a lock at most as long as the SQLite store does, and keeps its
// messages quiet.
bool PostgresPool::Configure(std::string* detail) {
  const std::string wait = "SET lock_timeout = " + std::to_string(kLockWaitMs);
  return Execute(wait, {}, nullptr, detail) == Outcome::kOk &&
         Execute("SET client_min_messages = warning", {}, nullptr, detail) == Outcome::kOk;
}

SqlPool::Outcome PostgresPool::Run(const std::string& sql, const std::vector<Param>& params,
                                   std::vector<Row>* rows, std::string* detail) {
  if (sql.rfind("BEGIN", 0) != 0) {
    return Execute(sql, params, rows, detail);
  }
  // A connection lost between steps, whether seen before or only when the step begins, is
  // made again, and the claim taken again, before anything else; within a step the loss
  // fails the step.
  for (int tries = 1;; ++tries) {
    Outcome outcome = Outcome::kOk;
    if (PQstatus(connection_) != CONNECTION_OK) {
      outcome = Reconnect(detail);
    }
    if (outcome == Outcome::kOk && claimed_ && !claim_held_) {
      outcome = TakeClaim(detail);
    }
    if (outcome == Outcome::kOk) {
      outcome = Execute(sql, params, rows, detail);
    }
    if (outcome != Outcome::kLost || tries == 2) {
      return outcome;
    }
  }
}

SqlPool::Outcome PostgresPool::Execute(const std::string& sql, const std::vector<Param>& params,
                                       std::vector<Row>* rows, std::string* detail) {
  if (rows == nullptr) {
    return Query(
        sql, params, [](const Row&) {}, detail);
  }
  return Query(
      sql, params, [rows](const Row& row) { rows->push_back(row); }, detail);
}

SqlPool::Outcome PostgresPool::Stream(const std::string& sql, const std::vector<Param>& params,
                                      const std::function<void(const Row&)>& each,
                                      std::string* detail) {
  // A cursor of the step's transaction: the server keeps the rows, and hands over a batch
  // at a time.
  Outcome outcome =
      Execute("DECLARE pelorus_stream NO SCROLL CURSOR FOR " + sql, params, nullptr, detail);
  const std::string fetch = "FETCH " + std::to_string(kStreamBatch) + " FROM pelorus_stream";
  int fetched = kStreamBatch;
  while (outcome == Outcome::kOk && fetched == kStreamBatch) {
    fetched = 0;
    outcome = Query(
        fetch, {},
        [&](const Row& row) {
          ++fetched;
          each(row);
        },
        detail);
  }
  return outcome == Outcome::kOk ? Execute("CLOSE pelorus_stream", {}, nullptr, detail) : outcome;
}

SqlPool::Outcome PostgresPool::Query(const std::string& sql, const std::vector<Param>& params,
                                     const std::function<void(const Row&)>& each,
                                     std::string* detail) {
  std::vector<std::string> texts;
  texts.reserve(params.size());
  std::vector<const char*> values;
  for (const Param& param : params) {
    if (const auto* number = std::get_if<std::int64_t>(&param)) {
      texts.push_back(std::to_string(*number));
    } else if (const auto* text = std::get_if<std::string>(&param)) {
      texts.push_back(*text);
    } else {
      texts.emplace_back();
    }
  }
  for (std::size_t i = 0; i < params.size(); ++i) {
    values.push_back(std::holds_alternative<std::nullptr_t>(params[i]) ? nullptr
                                                                       : texts[i].c_str());
  }
  PGresult* result = PQexecParams(connection_, sql.c_str(), static_cast<int>(params.size()),
                                  nullptr, values.data(), nullptr, nullptr, 0);
  const ExecStatusType status = PQresultStatus(result);
  Outcome outcome = Outcome::kOk;
  if (status == PGRES_TUPLES_OK) {
    // One row, filled again for each of the result's: its strings keep their room.
    Row row(static_cast<std::size_t>(PQnfields(result)));
    for (int r = 0; r < PQntuples(result); ++r) {
      for (int c = 0; c < PQnfields(result); ++c) {
        auto& column = row[static_cast<std::size_t>(c)];
        const char* text = PQgetvalue(result, r, c);
        const auto length = static_cast<std::size_t>(PQgetlength(result, r, c));
        if (PQgetisnull(result, r, c)) {
          column.reset();
        } else if (column) {
          column->assign(text, length);
        } else {
          column.emplace(text, length);
        }
      }
      each(row);
    }
  } else if (status != PGRES_COMMAND_OK) {
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    const std::string code = state != nullptr ? state : "";
    *detail = OneLine(PQerrorMessage(connection_));
    if (PQstatus(connection_) != CONNECTION_OK || code.rfind("08", 0) == 0 || code == "57P01") {
      outcome = Outcome::kLost;
      claim_held_ = false;
    } else if (code == "40001" || code == "40P01") {
      outcome = Outcome::kRetry;
    } else if (code == "55P03") {
      outcome = Outcome::kBusy;
    } else {
      outcome = Outcome::kFailed;
    }
  }
  PQclear(result);
  return outcome;
}

}  // namespace pelorus::pool
