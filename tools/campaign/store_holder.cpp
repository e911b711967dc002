#include "store_holder.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <regex>

namespace pelorus::campaign {
namespace {

std::string OneLine(std::string text) {
  for (char& c : text) {
    c = c == '\n' ? ' ' : c;
  }
  return text;
}

class Holder {
 public:
  virtual ~Holder() = default;
  // Each returns the answer line.
  virtual std::string Hold(const std::string& station, bool cut) = 0;
  virtual std::string Kill() = 0;
  virtual std::string Release() = 0;
};

class SqliteHolder : public Holder {
 public:
  explicit SqliteHolder(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
      // Longer than any step of the windows holds the lock, so the hold waits its turn.
      sqlite3_busy_timeout(db_, 30000);
    }
  }
  ~SqliteHolder() override { sqlite3_close(db_); }

  std::string Hold(const std::string&, bool) override {
    if (held_) {
      return "held";
    }
    char* message = nullptr;
    if (sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string why = message != nullptr ? message : "cannot lock";
      sqlite3_free(message);
      return "failed " + why;
    }
    held_ = true;
    return "held";
  }
  std::string Kill() override { return "killed"; }
  std::string Release() override {
    if (held_) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      held_ = false;
    }
    return "released";
  }

 private:
  sqlite3* db_ = nullptr;
  bool held_ = false;
};

// Connects to location; with maintenance, to the server's postgres database instead.
PGconn* Connect(const std::string& location, bool maintenance) {
  const char* keywords[] = {"dbname", maintenance ? "dbname" : nullptr, nullptr};
  const char* values[] = {location.c_str(), "postgres", nullptr};
  return PQconnectdbParams(keywords, values, 1);
}

class PostgresHolder : public Holder {
 public:
  explicit PostgresHolder(const std::string& location)
      : location_(location), connection_(Connect(location, false)) {}
  ~PostgresHolder() override {
    Release();
    PQfinish(connection_);
  }

  std::string Hold(const std::string& station, bool cut) override {
    if (cut) {
      return Cut();
    }
    // A session the campaign's own faults ended shows only once it is used: one more try, on
    // a new one.
    for (int tries = 0; tries < 2; ++tries) {
      if (Reachable() && Lock(station)) {
        return "held";
      }
      if (PQstatus(connection_) == CONNECTION_OK) {
        break;
      }
    }
    return "failed " + Error();
  }

  std::string Kill() override {
    for (int tries = 0; tries < 2; ++tries) {
      if (Reachable() && Run("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                             "datname = current_database() AND pid <> pg_backend_pid()")) {
        return "killed";
      }
    }
    return "failed " + Error();
  }

  std::string Release() override {
    if (in_transaction_) {
      Run("ROLLBACK");
      in_transaction_ = false;
    }
    if (!cut_.empty()) {
      PGconn* other = Connect(location_, true);
      const bool done = Run(other, "ALTER DATABASE " + cut_ + " WITH ALLOW_CONNECTIONS true");
      const std::string why = PQerrorMessage(other);
      PQfinish(other);
      if (!done) {
        return "failed " + OneLine(why);
      }
      cut_.clear();
    }
    return "released";
  }

 private:
  bool Lock(const std::string& station) {
    if (!in_transaction_) {
      if (!Run("BEGIN")) {
        return false;
      }
      in_transaction_ = true;
    }
    return station.empty()
               ? Run("SELECT 1 FROM pelorus_pools FOR UPDATE")
               : Run("SELECT 1 FROM pelorus_addresses WHERE station = " + Literal(station) +
                     " AND state IN ('leased', 'written') FOR UPDATE");
  }

  // A database takes no new connection only when told so from another one; then every
  // session of it is ended, this holder's own too.
  std::string Cut() {
    const std::string database = PQdb(connection_);
    char* quoted = PQescapeIdentifier(connection_, database.c_str(), database.size());
    const std::string name = quoted != nullptr ? quoted : "";
    PQfreemem(quoted);
    PGconn* other = Connect(location_, true);
    const bool done =
        !name.empty() && Run(other, "ALTER DATABASE " + name + " WITH ALLOW_CONNECTIONS false") &&
        Run(other, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = " +
                       Literal(database));
    const std::string why = PQerrorMessage(other);
    PQfinish(other);
    if (!done) {
      return "failed " + OneLine(why);
    }
    in_transaction_ = false;
    cut_ = name;
    return "held";
  }

  // A session the campaign's own faults ended (the server restarted, sessions terminated)
  // is made again; an open transaction died with it.
  bool Reachable() {
    if (PQstatus(connection_) == CONNECTION_OK) {
      return true;
    }
    in_transaction_ = false;
    PQreset(connection_);
    return PQstatus(connection_) == CONNECTION_OK;
  }
  static bool Run(PGconn* connection, const std::string& sql) {
    PGresult* result = PQexec(connection, sql.c_str());
    const auto status = PQresultStatus(result);
    PQclear(result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  }
  bool Run(const std::string& sql) {
    const bool ok = Run(connection_, sql);
    if (!ok && PQstatus(connection_) != CONNECTION_OK) {
      in_transaction_ = false;
    }
    return ok;
  }
  std::string Literal(const std::string& text) {
    char* quoted = PQescapeLiteral(connection_, text.c_str(), text.size());
    std::string literal = quoted != nullptr ? quoted : "''";
    PQfreemem(quoted);
    return literal;
  }
  std::string Error() const { return OneLine(PQerrorMessage(connection_)); }

  std::string location_;
  PGconn* connection_;
  bool in_transaction_ = false;
  std::string cut_;  // the database that takes no connection, quoted; empty: none
};

}  // namespace

int HoldStore(const std::string& location) {
  static const std::regex postgres(R"(^(postgres(ql)?://|\s*[A-Za-z_]+\s*=))");
  std::unique_ptr<Holder> holder;
  if (std::regex_search(location, postgres)) {
    holder = std::make_unique<PostgresHolder>(location);
  } else {
    holder = std::make_unique<SqliteHolder>(location);
  }
  for (std::string line; std::getline(std::cin, line);) {
    std::string answer;
    if (line == "hold" || line == "cut") {
      answer = holder->Hold({}, line == "cut");
    } else if (line.rfind("hold-station ", 0) == 0) {
      answer = holder->Hold(line.substr(13), false);
    } else if (line == "kill") {
      answer = holder->Kill();
    } else if (line == "release") {
      answer = holder->Release();
    } else {
      answer = "failed unknown command " + line;
    }
    std::printf("%s\n", answer.c_str());
    std::fflush(stdout);
  }
  holder->Release();
  return 0;
}

}  // namespace pelorus::campaign
