#include "pool/postgres_connection.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "pool/interruption.h"

namespace pelorus::pool {
namespace {

constexpr Oid kByteaOid = 17;  // pg_type's bytea

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

// A column's value as text, a bytea column's as its bytes (the server sends those as hex text).
void Assign(const PGresult* result, int row, int column, std::optional<std::string>* value) {
  const char* text = PQgetvalue(result, row, column);
  const auto length = static_cast<std::size_t>(PQgetlength(result, row, column));
  if (PQftype(result, column) != kByteaOid) {
    if (*value) {
      (*value)->assign(text, length);
    } else {
      value->emplace(text, length);
    }
    return;
  }
  std::size_t size = 0;
  unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
  value->emplace(bytes != nullptr ? std::string(reinterpret_cast<const char*>(bytes), size)
                                  : std::string());
  PQfreemem(bytes);
}

// The connect time-out in force for session: the location's connect_timeout, else ours; as
// libpq takes it, none for 0 and at least 2 s.
std::optional<std::chrono::seconds> ConnectTimeout(PGconn* session) {
  int seconds = AddressPool::kConnectTimeoutS;
  PQconninfoOption* options = PQconninfo(session);
  for (const PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o) {
    if (std::string(o->keyword) == "connect_timeout" && o->val != nullptr && *o->val != '\0') {
      seconds = std::atoi(o->val);
    }
  }
  PQconninfoFree(options);
  if (seconds <= 0) {
    return std::nullopt;
  }
  return std::chrono::seconds(std::max(seconds, 2));
}

}  // namespace

PostgresPool::Connection::Connection(std::vector<std::string> keywords,
                                     std::vector<std::string> values,
                                     std::vector<std::string> secrets,
                                     const Interruption& interruption)
    : keywords_(std::move(keywords)),
      values_(std::move(values)),
      secrets_(std::move(secrets)),
      interruption_(interruption) {}

PostgresPool::Connection::~Connection() {
  PQfinish(session_);
}

std::string PostgresPool::Connection::Said(const char* message) const {
  // libpq and the server may quote what the location gave them (a database name that was
  // itself a location, say); a secret stays out of what is shown whatever quotes it.
  std::string said = OneLine(message);
  for (const std::string& secret : secrets_) {
    for (std::size_t at; secret.size() >= 4 && (at = said.find(secret)) != std::string::npos;) {
      said.replace(at, secret.size(), "****");
    }
  }
  return said;
}

bool PostgresPool::Connection::IsOpen() const {
  return session_ != nullptr && PQstatus(session_) == CONNECTION_OK;
}

int PostgresPool::Connection::BackendPid() const {
  return IsOpen() ? PQbackendPID(session_) : 0;
}

std::string PostgresPool::Connection::Reported(const char* name) const {
  const char* value = IsOpen() ? PQparameterStatus(session_, name) : nullptr;
  return value != nullptr ? value : "";
}

void PostgresPool::Connection::GiveUp() {
  if (session_ != nullptr && PQsocket(session_) >= 0) {
    // PQfinish would say goodbye on a socket that may never drain.
    shutdown(PQsocket(session_), SHUT_RDWR);
  }
  PQfinish(session_);
  session_ = nullptr;
  cancel_.reset();
}

PostgresPool::Connection::Wake PostgresPool::Connection::Await(
    short events, std::optional<std::chrono::steady_clock::time_point> deadline,
    bool watch_interruption) const {
  // Without a descriptor to wake the wait, or with one that a Resume racing an Interrupt left
  // readable, the flag is looked at every few milliseconds instead.
  bool by_descriptor = watch_interruption && interruption_.Fd() >= 0;
  for (;;) {
    if (watch_interruption && interruption_.Raised()) {
      return Wake::kInterrupted;
    }
    int timeout = -1;
    if (deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      timeout = static_cast<int>(std::max<long long>(0, left.count()));
    }
    if (watch_interruption && !by_descriptor) {
      timeout = timeout < 0 ? 10 : std::min(timeout, 10);
    }
    pollfd watched[2] = {{PQsocket(session_), events, 0}, {interruption_.Fd(), POLLIN, 0}};
    const int ready = poll(watched, by_descriptor ? 2 : 1, timeout);
    if (ready < 0 && errno != EINTR) {
      return Wake::kFailed;
    }
    if (ready > 0 && watched[0].revents != 0) {
      return Wake::kReady;
    }
    if (deadline && std::chrono::steady_clock::now() >= *deadline) {
      return Wake::kTimedOut;
    }
    by_descriptor = by_descriptor && !(watched[1].revents != 0 && !interruption_.Raised());
  }
}

SqlPool::Outcome PostgresPool::Connection::Open(std::string* detail) {
  PQfinish(session_);
  cancel_.reset();
  std::vector<const char*> keywords;
  std::vector<const char*> values;
  for (std::size_t i = 0; i < keywords_.size(); ++i) {
    keywords.push_back(keywords_[i].c_str());
    values.push_back(values_[i].c_str());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  session_ = PQconnectStartParams(keywords.data(), values.data(), 1);
  if (session_ == nullptr) {
    *detail = "out of memory";
    return Outcome::kFailed;
  }
  const auto timeout = ConnectTimeout(session_);
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (timeout) {
    deadline.emplace(std::chrono::steady_clock::now() + *timeout);
  }
  // PQconnectStartParams has begun to connect: wait until the socket takes what comes next.
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
    const short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
    switch (PQsocket(session_) < 0 ? Wake::kReady : Await(events, deadline, true)) {
      case Wake::kInterrupted:
        GiveUp();
        *detail = "interrupted";
        return Outcome::kInterrupted;
      case Wake::kTimedOut:
        GiveUp();
        *detail = "timeout expired after " + std::to_string(timeout->count()) + " s";
        return Outcome::kLost;
      case Wake::kFailed:
        state = PGRES_POLLING_FAILED;
        break;
      case Wake::kReady:
        state = PQconnectPoll(session_);
        break;
    }
  }
  if (PQstatus(session_) != CONNECTION_OK) {
    *detail = Said(PQerrorMessage(session_));
    GiveUp();
    return Outcome::kLost;
  }
  PQsetnonblocking(session_, 1);
  cancel_.reset(PQgetCancel(session_), PQfreeCancel);
  return Outcome::kOk;
}

std::shared_future<void> PostgresPool::Connection::Cancel() const {
  if (!cancel_) {
    return {};
  }
  auto done = std::make_shared<std::promise<void>>();
  std::shared_future<void> answered = done->get_future().share();
  std::thread([cancel = cancel_, done] {
    char why[256];
    PQcancel(cancel.get(), why, sizeof why);
    done->set_value();
  }).detach();
  return answered;
}

SqlPool::Outcome PostgresPool::Connection::AwaitResult(bool cancel_on_interrupt,
                                                       Interrupted* interrupted,
                                                       std::string* detail) {
  for (;;) {
    const int flushed = PQflush(session_);
    if (flushed < 0) {
      break;
    }
    if (flushed == 0 && PQisBusy(session_) == 0) {
      return Outcome::kOk;
    }
    const short events = static_cast<short>(POLLIN | (flushed == 1 ? POLLOUT : 0));
    const auto deadline = interrupted->seen ? std::optional(interrupted->deadline) : std::nullopt;
    switch (Await(events, deadline, !interrupted->seen)) {
      case Wake::kInterrupted:
        interrupted->seen = true;
        interrupted->deadline = std::chrono::steady_clock::now() + kGrace;
        if (cancel_on_interrupt) {
          interrupted->cancel = Cancel();
        }
        continue;
      case Wake::kTimedOut:
        GiveUp();
        *detail = "interrupted";
        return Outcome::kInterrupted;
      case Wake::kFailed:
        *detail = "cannot wait for the server";
        GiveUp();
        return Outcome::kLost;
      case Wake::kReady:
        break;
    }
    if (PQconsumeInput(session_) == 0) {
      break;
    }
  }
  *detail = Said(PQerrorMessage(session_));
  GiveUp();
  return Outcome::kLost;
}

SqlPool::Outcome PostgresPool::Connection::Execute(const std::string& sql,
                                                   const std::vector<Param>& params,
                                                   const std::function<void(const Row&)>& each,
                                                   std::string* detail) {
  if (!IsOpen()) {
    *detail = "no connection to the server";
    return Outcome::kLost;
  }
  std::vector<std::string> texts;
  texts.reserve(params.size());
  for (const Param& param : params) {
    if (const auto* number = std::get_if<std::int64_t>(&param)) {
      texts.push_back(std::to_string(*number));
    } else if (const auto* text = std::get_if<std::string>(&param)) {
      texts.push_back(*text);
    } else {
      texts.emplace_back();
    }
  }
  // Bytes go as binary, as they are; the rest as text.
  std::vector<const char*> values;
  std::vector<int> lengths;
  std::vector<int> formats;
  for (std::size_t i = 0; i < params.size(); ++i) {
    const auto* blob = std::get_if<Blob>(&params[i]);
    values.push_back(blob != nullptr                                     ? blob->bytes.data()
                     : std::holds_alternative<std::nullptr_t>(params[i]) ? nullptr
                                                                         : texts[i].c_str());
    lengths.push_back(blob != nullptr ? static_cast<int>(blob->bytes.size()) : 0);
    formats.push_back(blob != nullptr ? 1 : 0);
  }
  // A statement that begins interrupted (the rollback after an interrupted step) is waited
  // for as briefly, but not cancelled: it is what ends the step.
  const bool cancel_on_interrupt = !interruption_.Raised();
  if (PQsendQueryParams(session_, sql.c_str(), static_cast<int>(params.size()), nullptr,
                        values.data(), lengths.data(), formats.data(), 0) == 0) {
    *detail = Said(PQerrorMessage(session_));
    if (PQstatus(session_) != CONNECTION_OK) {
      GiveUp();
      return Outcome::kLost;
    }
    return Outcome::kFailed;
  }
  Interrupted interrupted;
  Outcome outcome = Outcome::kOk;
  for (;;) {
    const Outcome waited = AwaitResult(cancel_on_interrupt, &interrupted, detail);
    if (waited != Outcome::kOk) {
      return waited;
    }
    PGresult* result = PQgetResult(session_);
    if (result == nullptr) {
      break;
    }
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_TUPLES_OK && outcome == Outcome::kOk) {
      // One row, filled again for each of the result's: its strings keep their room.
      Row row(static_cast<std::size_t>(PQnfields(result)));
      for (int r = 0; r < PQntuples(result); ++r) {
        for (int c = 0; c < PQnfields(result); ++c) {
          auto& column = row[static_cast<std::size_t>(c)];
          if (PQgetisnull(result, r, c)) {
            column.reset();
          } else {
            Assign(result, r, c, &column);
          }
        }
        each(row);
      }
    } else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && outcome == Outcome::kOk) {
      const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
      const std::string code = state != nullptr ? state : "";
      *detail = Said(PQresultErrorMessage(result));
      if (PQstatus(session_) != CONNECTION_OK || code.rfind("08", 0) == 0 || code == "57P01") {
        outcome = Outcome::kLost;
      } else if (code == "57014" && interrupted.seen) {
        outcome = Outcome::kInterrupted;
        *detail = "interrupted";
      } else if (code == "40001" || code == "40P01") {
        outcome = Outcome::kRetry;
      } else if (code == "55P03") {
        outcome = Outcome::kBusy;
      } else {
        outcome = Outcome::kFailed;
      }
    }
    PQclear(result);
  }
  if (interrupted.cancel.valid() &&
      interrupted.cancel.wait_until(interrupted.deadline) != std::future_status::ready) {
    // The cancel request is still on its way: it must not find a later statement.
    GiveUp();
  }
  if (outcome == Outcome::kLost) {
    GiveUp();
  }
  return outcome;
}

}  // namespace pelorus::pool
