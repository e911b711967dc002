#include "pool/postgres_pool.h"

#include <libpq-fe.h>

#include <cctype>
#include <cstring>
#include <regex>

namespace pelorus::pool {
namespace {

constexpr SqlPool::Dialect kPostgres = {
    "BEGIN",
    " FOR UPDATE",
    "SELECT pg_advisory_xact_lock(7262050391)",
    "LOCK TABLE pelorus_pools IN SHARE ROW EXCLUSIVE MODE",
    "to_char(clock_timestamp() AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')",
    "SELECT table_name FROM information_schema.tables"
    " WHERE table_schema = current_schema() AND table_name = $1",
};

// The location as shown to people: a password does not belong on a screen or in a log.
std::string WithoutPassword(const std::string& location) {
  static const std::regex uri_password(R"(^(postgres(?:ql)?://[^:/?#@]*:)[^@/?#]*@)");
  static const std::regex key_password(R"((^|\s)password\s*=\s*('([^'\\]|\\.)*'|\S+))");
  std::string shown = std::regex_replace(location, uri_password, "$1****@");
  return std::regex_replace(shown, key_password, "$1password=****");
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

std::unique_ptr<PostgresPool> PostgresPool::Open(const std::string& location, bool create,
                                                 std::string* error) {
  const std::string where = WithoutPassword(location);
  // Later keywords override earlier ones: what the location says wins over these. A server
  // that goes silent mid-step must not hold the window for the minutes TCP would wait, so
  // unanswered traffic fails the step within about the lock wait.
  const std::string timeout = std::to_string(kConnectTimeoutS);
  const std::string silence = std::to_string(kLockWaitMs + 1000);
  const char* keywords[] = {
      "connect_timeout",  "tcp_user_timeout", "keepalives_idle", "keepalives_interval",
      "keepalives_count", "application_name", "dbname",          nullptr};
  const char* values[] = {timeout.c_str(), silence.c_str(),  "5",    "2", "2",
                          "pelorus",       location.c_str(), nullptr};
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
  if (!pool->PrepareSchema(create, error)) {
    return nullptr;
  }
  return pool;
}

// Every session waits for a lock at most as long as the SQLite store does, and keeps its
// messages quiet.
bool PostgresPool::Configure(std::string* detail) {
  const std::string wait = "SET lock_timeout = " + std::to_string(kLockWaitMs);
  return Run(wait, {}, nullptr, detail) == Outcome::kOk &&
         Run("SET client_min_messages = warning", {}, nullptr, detail) == Outcome::kOk;
}

SqlPool::Outcome PostgresPool::Run(const std::string& sql, const std::vector<Param>& params,
                                   std::vector<Row>* rows, std::string* detail) {
  // A connection lost between steps is made again before the next one; within a step the
  // loss fails the step.
  if (PQstatus(connection_) != CONNECTION_OK && sql.rfind("BEGIN", 0) == 0) {
    PQreset(connection_);
    if (PQstatus(connection_) != CONNECTION_OK || !Configure(detail)) {
      *detail = "cannot reach the server: " + OneLine(PQerrorMessage(connection_));
      return Outcome::kLost;
    }
  }
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
  if (status == PGRES_TUPLES_OK && rows != nullptr) {
    for (int r = 0; r < PQntuples(result); ++r) {
      Row row;
      for (int c = 0; c < PQnfields(result); ++c) {
        row.push_back(PQgetisnull(result, r, c)
                          ? std::nullopt
                          : std::optional<std::string>(PQgetvalue(result, r, c)));
      }
      rows->push_back(std::move(row));
    }
  } else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    const std::string code = state != nullptr ? state : "";
    *detail = OneLine(PQerrorMessage(connection_));
    if (PQstatus(connection_) != CONNECTION_OK || code.rfind("08", 0) == 0 || code == "57P01") {
      outcome = Outcome::kLost;
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
