// pelorus-pool: the address pool for whoever runs the line. See --help.
#include <pwd.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "pelorus_version.h"
#include "pool/address_pool.h"
#include "pool/sql_pool.h"
#include "pool/station.h"
#include "tools/pool/pool_report.h"
#include "tools/pool/record_commands.h"
#include "tools/pool/replacing_file.h"
#include "tools/pool/request.h"
#include "tools/pool/serve_command.h"
#include "tools/pool/station_steps.h"
#include "tools/pool/stations_command.h"

namespace {

using pelorus::Mac48;
using pelorus::pool::AddressPool;
using pelorus::pool::Fail;
using pelorus::pool::kAddressForm;
using pelorus::pool::ParseAddress;
using pelorus::pool::Request;

constexpr const char* kTimeForm = "UTC: 2026-12-06, 2026-12-06T09:41 or 2026-12-06T09:41:07.250";
constexpr const char* kExitStatus =
    "Exit status: 0 on success, 1 with a one-line reason on stderr otherwise.";

std::unique_ptr<AddressPool> OpenPool(const Request& request, bool create) {
  std::string error;
  auto pool = AddressPool::Open(request.location, create, &error);
  if (!pool) {
    Fail(error);
  }
  return pool;
}

bool Create(const Request& request) {
  Mac48 first = 0;
  Mac48 last = 0;
  if (!ParseAddress(request.first, &first) || !ParseAddress(request.last, &last)) {
    return false;
  }
  auto pool = OpenPool(request, true);
  std::string error;
  if (!pool || !pool->Create(request.name, first, last, &error)) {
    return pool && Fail(error);
  }
  std::cout << "pool " << request.name << " at " << pool->Where() << ": "
            << pelorus::FormatMac48(first) << " ... " << pelorus::FormatMac48(last) << " ("
            << last - first + 1 << " addresses)\n";
  return true;
}

bool Status(const Request& request) {
  auto pool = OpenPool(request, false);
  pelorus::pool::PoolStatus status;
  std::string error;
  if (!pool || !pool->Status(request.name, &status, &error)) {
    return pool && Fail(error);
  }
  if (request.json) {
    pelorus::pool::WriteStatusJson(std::cout, status, pool->Where());
  } else {
    pelorus::pool::WriteStatus(std::cout, status, pool->Where());
  }
  return true;
}

// Rows go out as the store hands them over. A file is written beside --csv and takes its
// place once whole: an export that fails leaves no half record, and an older one stays.
bool Export(const Request& request) {
  pelorus::pool::RecordFilter filter;
  filter.station = request.station;
  if (!request.since.empty()) {
    const auto since = pelorus::pool::RecordTime(request.since);
    if (!since) {
      return Fail("malformed time \"" + request.since + "\" (" + kTimeForm + ")");
    }
    filter.since = *since;
  }
  auto pool = OpenPool(request, false);
  if (!pool) {
    return false;
  }
  std::string error;
  pelorus::pool::ReplacingFile file(request.csv);
  if (!request.csv.empty() && !file.Open(&error)) {
    return Fail(error);
  }
  std::ostream& out = request.csv.empty() ? std::cout : file.Stream();
  bool exported = false;
  if (request.attempts) {
    pelorus::pool::CsvAttemptWriter writer(out);
    exported = pool->ExportAttempts(
        request.name, pelorus::pool::AttemptFilter{filter.since, "", filter.station},
        [&](const auto& attempt) { writer.Write(attempt); }, &error);
  } else {
    pelorus::pool::CsvRecordWriter writer(out);
    exported = pool->Export(
        request.name, filter, [&](const auto& record) { writer.Write(record); }, &error);
  }
  if (!exported) {
    return Fail(error);
  }
  if (request.csv.empty()) {
    std::cout.flush();
    return std::cout.good() || Fail("cannot write the record to standard output");
  }
  return file.Commit(&error) || Fail(error);
}

bool Check(const Request& request) {
  Mac48 address = 0;
  if (!ParseAddress(request.address, &address)) {
    return false;
  }
  auto pool = OpenPool(request, false);
  pelorus::pool::AddressRecord record;
  std::string error;
  if (!pool || !pool->Check(address, &record, &error)) {
    return pool && Fail(error);
  }
  if (request.json) {
    pelorus::pool::WriteCheckJson(std::cout, record);
  } else {
    pelorus::pool::WriteCheck(std::cout, record);
  }
  return true;
}

// A command on one address of the store.
bool Step(const Request& request,
          const std::function<bool(AddressPool&, Mac48, std::string*)>& step) {
  Mac48 address = 0;
  if (!ParseAddress(request.address, &address)) {
    return false;
  }
  auto pool = OpenPool(request, false);
  std::string error;
  if (!pool || !step(*pool, address, &error)) {
    return pool && Fail(error);
  }
  return true;
}

// Who gives an address back, when --by does not say: the user at this host.
std::string DefaultWho() {
  const char* user = std::getenv("USER");
  const passwd* entry = user == nullptr ? getpwuid(getuid()) : nullptr;
  std::string who = user != nullptr    ? user
                    : entry != nullptr ? entry->pw_name
                                       : "uid " + std::to_string(getuid());
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') {
    who += std::string("@") + host;
  }
  return who;
}

bool Release(const Request& request) {
  if (request.unconfirmed) {
    if (request.reason.find_first_not_of(" \t") == std::string::npos) {
      return Fail("--unconfirmed needs a --reason: what was checked on the board");
    }
    Request checked = request;
    checked.by = request.by.empty() ? DefaultWho() : request.by;
    return pelorus::pool::ReleaseUnconfirmedStep(checked);
  }
  return Step(request, [](AddressPool& pool, Mac48 address, std::string* error) {
    const bool released = pool.Release(address, error);
    if (released) {
      std::cout << "released " << pelorus::FormatMac48(address) << '\n';
    }
    return released;
  });
}

bool Upgrade(const Request& request) {
  std::vector<std::string> steps;
  std::string error;
  if (!AddressPool::Upgrade(request.location, &steps, &error)) {
    return Fail(error);
  }
  for (const std::string& step : steps) {
    std::cout << step << '\n';
  }
  if (steps.empty()) {
    std::cout << "schema is current (version " << pelorus::pool::SqlPool::kSchemaVersion << ")\n";
  }
  return true;
}

bool Unconfirmed(const Request& request) {
  auto pool = OpenPool(request, false);
  std::vector<pelorus::pool::AddressRecord> records;
  std::string error;
  if (!pool || !pool->Unconfirmed(request.name, request.station, &records, &error)) {
    return pool && Fail(error);
  }
  pelorus::pool::WriteUnconfirmed(std::cout, records);
  return true;
}

// One subcommand: its LOCATION, and the command that runs once the line has been parsed.
class Commands {
 public:
  Commands(CLI::App& app, Request& request) : app_(app), request_(request) {}

  CLI::App* Add(const char* name, const char* description, bool (*command)(const Request&)) {
    CLI::App* sub = app_.add_subcommand(name, description);
    sub->add_option("LOCATION", request_.location,
                    "the store: a SQLite file, or a postgresql:// URI or libpq key=value string")
        ->required();
    sub->callback([this, sub, command] {
      const CLI::Option* name = sub->get_option_no_throw("--name");
      request_.name_given = name != nullptr && name->count() > 0;
      command_ = command;
    });
    return sub;
  }
  void AddName(CLI::App* sub, const char* description = "the pool's name (default: default)") {
    sub->add_option("--name", request_.name, description)->check(pelorus::pool::UsableName("pool"));
  }
  void AddAddress(CLI::App* sub) {
    sub->add_option("ADDRESS", request_.address, kAddressForm)->required();
  }
  // A station of a pool: its name, and the pool's.
  void AddStation(CLI::App* sub) {
    sub->add_option("--station", request_.station, "the station's name")
        ->required()
        ->check(pelorus::pool::UsableName("station"));
    AddName(sub);
  }
  // A station's mark of ADDRESS, made under a lease's token (or without one).
  void AddMark(CLI::App* sub) {
    AddAddress(sub);
    sub->add_option("--station", request_.station, "the station's name")->required();
    AddName(sub, "the pool's name (default: the pool ADDRESS lies in)");
    sub->add_option("--token", request_.token,
                    "the token of the lease the address came with (lease --json); without "
                    "it, the station's leased address is written once and no mark replayed");
  }
  bool Run() const { return command_ != nullptr && command_(request_); }

 private:
  CLI::App& app_;
  Request& request_;
  bool (*command_)(const Request&) = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  // Only iostreams write here, and a record runs to gigabytes.
  std::ios::sync_with_stdio(false);
  Request request;
  CLI::App app(
      "The address pool and production record: the addresses that the windows (and scripts) "
      "write into devices, each issued once, and what became of each.",
      "pelorus-pool");
  app.footer(kExitStatus);
  app.set_version_flag("--version", "pelorus-pool " PELORUS_VERSION_TEXT);
  app.require_subcommand(1);
  Commands commands(app, request);

  CLI::App* create =
      commands.Add("create", "Add a pool (a range of addresses) to the store", Create);
  create->add_option("--first", request.first, "the range's first address")->required();
  create->add_option("--last", request.last, "the range's last address")->required();
  commands.AddName(create);

  CLI::App* status = commands.Add(
      "status",
      "Range, issued, verified, written (unconfirmed), leased, free and released addresses",
      Status);
  commands.AddName(status);
  status->add_flag("--json", request.json,
                   "one JSON object on one line: pool, location, first, last (text); total, "
                   "issued, verified, written, leased, free, released (numbers); running_low "
                   "(true when fewer than 1 % or 100 addresses are free)");
  CLI::App* export_command = commands.Add(
      "export",
      "The production record as CSV (RFC 4180), every address ever issued, in address order",
      Export);
  commands.AddName(export_command);
  export_command
      ->add_option("--csv", request.csv,
                   "write to FILE instead of standard output: a temporary file "
                   "beside it takes its place once the record is whole")
      ->type_name("FILE");
  export_command
      ->add_option("--since", request.since,
                   std::string("only addresses with a step (lease, written, verified, "
                               "release) at or after TIME (") +
                       kTimeForm + ")")
      ->type_name("TIME");
  export_command
      ->add_option("--station", request.station,
                   "only this station's addresses (with --attempts: its attempts)")
      ->type_name("NAME")
      ->check(pelorus::pool::UsableName("station"));
  export_command->add_flag("--attempts", request.attempts,
                           "every attempt of a board instead, in the order they ended, without "
                           "transcripts (--since applies to when they ended)");

  CLI::App* check = commands.Add("check", "Where one address stands", Check);
  commands.AddAddress(check);
  check->add_flag("--json", request.json,
                  "one JSON object on one line: address, pool, state, station, port, leased_at, "
                  "written_at, verified_at, readback, released_at, released_by, release_reason "
                  "(text, empty where the step has not happened) and attempts (a number)");
  CLI::App* release = commands.Add(
      "release",
      "Give back an address that was leased and never written, or (--unconfirmed) one that was "
      "written and never verified once a person has checked that no board holds it",
      Release);
  commands.AddAddress(release);
  CLI::Option* unconfirmed = release->add_flag("--unconfirmed", request.unconfirmed,
                                               "give back a written, never verified address");
  release->add_option("--reason", request.reason, "what was checked (kept on record)")
      ->needs(unconfirmed);
  release->add_option("--by", request.by, "who checked it (default: $USER@host)")
      ->needs(unconfirmed);
  release->footer(
      std::string("With --unconfirmed, takes the claim of the station that wrote the address "
                  "for the command (refused, naming the holder, while a window or a script "
                  "holds it) and first puts that station's journal on record: an address "
                  "whose mark waits there is not given back.\n") +
      kExitStatus);

  commands.Add("upgrade", "Bring the store's schema to this build's, one step a line", Upgrade);
  CLI::App* unconfirmed_command =
      commands.Add("unconfirmed", "The written, never verified addresses, one a line", Unconfirmed);
  commands.AddName(unconfirmed_command);
  unconfirmed_command->add_option("--station", request.station, "only this station's")
      ->check(pelorus::pool::UsableName("station"));

  const std::string station_footer =
      "Takes the station's claim for the command (refused, naming the holder, while a window "
      "or another script holds it) and first puts the station's journal on record.\n";
  CLI::App* lease = commands.Add(
      "lease", "Lease an address to a station and print it (the station's leased one first)",
      pelorus::pool::LeaseStep);
  commands.AddStation(lease);
  lease->add_flag("--json", request.json,
                  "print one JSON object on one line: address, and token, the lease's token "
                  "for written and verified (a new one each time; the one before it no longer "
                  "writes the address)");
  lease->footer(station_footer + kExitStatus);

  CLI::App* written =
      commands.Add("written", "Record that the address-write command is about to go out",
                   pelorus::pool::WrittenStep);
  commands.AddMark(written);
  written->add_option("--port", request.port, "the device's port, as the station names it");
  written->footer(station_footer + kExitStatus +
                  " With 1, the command must not go out. The same mark again with the same "
                  "--token is success.");

  CLI::App* verified = commands.Add("verified", "Record that the device read the address back",
                                    pelorus::pool::VerifiedStep);
  commands.AddMark(verified);
  verified->add_option("--readback", request.readback, "the device's line that showed it");
  verified->footer(station_footer +
                   "When the store fails, the mark goes into the station's journal instead, "
                   "with a note on stderr, and on record at the station's next step (or with "
                   "pelorus-pool journal).\nExit status: 0 when the mark is on record or "
                   "journaled, 1 with a one-line reason on stderr when it is neither.");

  commands.AddStation(
      commands.Add("journal", "Put a station's journal on record and say what became of each mark",
                   pelorus::pool::JournalStep));

  CLI::App* stations = commands.Add(
      "stations",
      "Each station's latest state, one a line: activity, since when, the heartbeat's age, who "
      "publishes it",
      pelorus::pool::StationsStep);
  stations
      ->add_option("--pool,--name", request.name,
                   "the pool's name (default: the store's only pool, or else default)")
      ->check(pelorus::pool::UsableName("pool"));
  stations->add_flag("--json", request.json,
                     "one JSON object per station and line: station, activity, detail, since, "
                     "heartbeat_at, holder (text), heartbeat_age_s (a number)");
  CLI::App* serve = commands.Add(
      "serve", "The line's live view in a browser: read-only, until stopped (SIGINT, SIGTERM)",
      pelorus::pool::ServeStep);
  serve
      ->add_option("--pool,--name", request.name,
                   "the pool's name (default: the store's only pool, or else default)")
      ->check(pelorus::pool::UsableName("pool"));
  serve->add_option("--listen", request.listen,
                    "HOST:PORT to listen on (default 127.0.0.1:8080; the page has no login)");

  pelorus::pool::RecordCommands record(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      return app.exit(e);
    }
    std::cerr << "pelorus-pool: " << e.what() << " (try --help)\n";
    return 1;
  }
  return (record.Chosen() ? record.Run() : commands.Run()) ? 0 : 1;
}
