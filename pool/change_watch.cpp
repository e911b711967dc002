// Change watches on both stores: a LISTEN connection, or a probe of SQLite's change counter.
#include "pool/change_watch.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sqlite3.h>

#include <thread>

#include "pool/address_pool.h"
#include "pool/postgres_pool.h"
#include "pool/store_file.h"

namespace pelorus::pool {
namespace {

using Clock = std::chrono::steady_clock;

class PostgresWatch : public ChangeWatch {
 public:
  explicit PostgresWatch(PGconn* session) : session_(session) {}
  ~PostgresWatch() override { PQfinish(session_); }

  Result Wait(std::chrono::milliseconds wait, std::string* error) override {
    const auto until = Clock::now() + wait;
    for (;;) {
      if (PQconsumeInput(session_) == 0) {
        *error = PQerrorMessage(session_);
        return Result::kFailed;
      }
      bool heard = false;
      while (PGnotify* notice = PQnotifies(session_)) {
        heard = true;
        PQfreemem(notice);
      }
      if (heard) {
        return Result::kChanged;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0) {
        return Result::kQuiet;
      }
      pollfd socket = {PQsocket(session_), POLLIN, 0};
      if (poll(&socket, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
        *error = "cannot wait for the server";
        return Result::kFailed;
      }
    }
  }

 private:
  PGconn* session_;
};

class SqliteWatch : public ChangeWatch {
 public:
  // opened: the file as the path named it before it was opened.
  SqliteWatch(sqlite3* db, std::string path, const StoreFile& opened)
      : db_(db), path_(std::move(path)), opened_(opened) {}
  ~SqliteWatch() override { sqlite3_close(db_); }

  // The counter as the file shows it now; false with *error when it cannot be read, or when
  // the path no longer names the file that was opened: a store moved away, deleted or put
  // back from a copy would otherwise leave the watch on a file nobody writes.
  bool Version(std::int64_t* version, std::string* error) {
    const auto now = StoreFile::Of(path_, error);
    if (!now) {
      return false;
    }
    if (*now != opened_) {
      *error = "the file was replaced";
      return false;
    }
    sqlite3_stmt* statement = nullptr;
    bool read =
        sqlite3_prepare_v2(db_, "PRAGMA data_version", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW;
    if (read) {
      *version = sqlite3_column_int64(statement, 0);
    } else {
      *error = sqlite3_errmsg(db_);
    }
    sqlite3_finalize(statement);
    return read;
  }

  // Takes the counter that later changes are told from.
  bool Start(std::string* error) { return Version(&version_, error); }

  Result Wait(std::chrono::milliseconds wait, std::string* error) override {
    const auto until = Clock::now() + wait;
    for (;;) {
      std::int64_t now = 0;
      if (!Version(&now, error)) {
        return Result::kFailed;
      }
      if (now != version_) {
        version_ = now;
        return Result::kChanged;
      }
      const auto left = until - Clock::now();
      if (left <= Clock::duration::zero()) {
        return Result::kQuiet;
      }
      std::this_thread::sleep_for(std::min<Clock::duration>(left, kProbeEvery));
    }
  }

 private:
  sqlite3* db_;
  std::string path_;
  StoreFile opened_;
  std::int64_t version_ = 0;
};

}  // namespace

std::unique_ptr<ChangeWatch> ChangeWatch::Open(const std::string& location, std::string* error) {
  const std::string where = AddressPool::Shown(location);
  if (PostgresPool::Names(location)) {
    const char* keywords[] = {"dbname", "connect_timeout", "application_name", nullptr};
    const std::string timeout = std::to_string(AddressPool::kConnectTimeoutS);
    const char* values[] = {location.c_str(), timeout.c_str(), "pelorus-pool serve", nullptr};
    PGconn* session = PQconnectdbParams(keywords, values, 1);
    PGresult* listen = PQstatus(session) == CONNECTION_OK
                           ? PQexec(session, (std::string("LISTEN ") + kChangeChannel).c_str())
                           : nullptr;
    const bool listening = listen != nullptr && PQresultStatus(listen) == PGRES_COMMAND_OK;
    PQclear(listen);
    if (!listening) {
      *error = where + ": " + (session != nullptr ? PQerrorMessage(session) : "out of memory");
      while (!error->empty() && error->back() == '\n') {
        error->pop_back();
      }
      PQfinish(session);
      return nullptr;
    }
    return std::make_unique<PostgresWatch>(session);
  }
  const auto opened = StoreFile::Of(location, error);
  if (!opened) {
    *error = where + ": " + *error;
    return nullptr;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(location.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    *error = where + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, AddressPool::kLockWaitMs);
  auto watch = std::make_unique<SqliteWatch>(db, location, *opened);
  if (!watch->Start(error)) {
    *error = where + ": " + *error;
    return nullptr;
  }
  return watch;
}

}  // namespace pelorus::pool
