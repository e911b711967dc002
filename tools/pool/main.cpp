// pelorus-pool: the address pool for whoever runs the line. See --help.
#include <CLI/CLI.hpp>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "pool/address_pool.h"
#include "tools/pool/pool_report.h"

namespace {

using pelorus::Mac48;
using pelorus::pool::AddressPool;

constexpr const char* kAddressForm = "six octets of two hex digits, - or : between them";

// What one command needs; filled in by the command line.
struct Request {
  std::string location;
  std::string name = AddressPool::kDefaultName;
  std::string address;
  std::string first;
  std::string last;
  std::string station;
  std::string port;
  std::string readback;
  std::string csv;
};

bool Fail(const std::string& reason) {
  std::cerr << "pelorus-pool: " << reason << '\n';
  return false;
}

bool ParseAddress(const std::string& text, Mac48* address) {
  const auto parsed = pelorus::ParseMac48(text);
  if (!parsed) {
    return Fail("malformed address \"" + text + "\" (" + kAddressForm + ")");
  }
  *address = *parsed;
  return true;
}

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
  pelorus::pool::WriteStatus(std::cout, status, pool->Where());
  return true;
}

bool Export(const Request& request) {
  auto pool = OpenPool(request, false);
  if (!pool) {
    return false;
  }
  std::ofstream file;
  if (!request.csv.empty()) {
    file.open(request.csv, std::ios::binary | std::ios::trunc);
    if (!file) {
      return Fail("cannot write " + request.csv);
    }
  }
  pelorus::pool::CsvRecordWriter writer(request.csv.empty() ? std::cout : file);
  std::string error;
  if (!pool->Export(
          request.name, [&](const auto& record) { writer.Write(record); }, &error)) {
    return Fail(error);
  }
  if (request.csv.empty()) {
    std::cout.flush();
    return std::cout.good() || Fail("cannot write the record to standard output");
  }
  file.close();
  return !file.fail() || Fail("cannot write " + request.csv);
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
  pelorus::pool::WriteCheck(std::cout, record);
  return true;
}

// The steps a station takes, for stations that program devices with a script of their own.
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

bool Lease(const Request& request) {
  auto pool = OpenPool(request, false);
  Mac48 address = 0;
  std::string error;
  if (!pool || !pool->Lease(request.name, request.station, &address, &error)) {
    return pool && Fail(error);
  }
  std::cout << pelorus::FormatMac48(address) << '\n';
  return true;
}

bool Release(const Request& request) {
  return Step(request, [](AddressPool& pool, Mac48 address, std::string* error) {
    if (!pool.Release(address, error)) {
      return false;
    }
    std::cout << "released " << pelorus::FormatMac48(address) << '\n';
    return true;
  });
}

bool Written(const Request& request) {
  return Step(request, [&request](AddressPool& pool, Mac48 address, std::string* error) {
    return pool.MarkWritten(address, request.station, request.port, error);
  });
}

bool Verified(const Request& request) {
  return Step(request, [&request](AddressPool& pool, Mac48 address, std::string* error) {
    return pool.MarkVerified(address, request.station, request.readback, error);
  });
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
    sub->callback([this, command] { command_ = command; });
    return sub;
  }
  void AddName(CLI::App* sub) {
    sub->add_option("--name", request_.name, "the pool's name (default: default)");
  }
  void AddAddress(CLI::App* sub) {
    sub->add_option("ADDRESS", request_.address, kAddressForm)->required();
  }
  void AddStation(CLI::App* sub) {
    sub->add_option("--station", request_.station, "the station's name")->required();
  }
  bool Run() const { return command_ != nullptr && command_(request_); }

 private:
  CLI::App& app_;
  Request& request_;
  bool (*command_)(const Request&) = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  Request request;
  CLI::App app(
      "The address pool and production record: the addresses that the windows (and scripts) "
      "write into devices, each issued once, and what became of each.",
      "pelorus-pool");
  app.footer("Exit status: 0 on success, 1 with a one-line reason on stderr otherwise.");
  app.require_subcommand(1);
  Commands commands(app, request);

  CLI::App* create =
      commands.Add("create", "Add a pool (a range of addresses) to the store", Create);
  create->add_option("--first", request.first, "the range's first address")->required();
  create->add_option("--last", request.last, "the range's last address")->required();
  commands.AddName(create);

  commands.AddName(commands.Add(
      "status", "Range, issued, verified, written, leased and free addresses", Status));
  CLI::App* export_command =
      commands.Add("export", "The production record as CSV (RFC 4180)", Export);
  commands.AddName(export_command);
  export_command->add_option("--csv", request.csv, "write to FILE instead of standard output");

  commands.AddAddress(commands.Add("check", "Where one address stands", Check));
  commands.AddAddress(
      commands.Add("release", "Give back an address that was leased and never written", Release));

  CLI::App* lease = commands.Add(
      "lease", "Lease an address to a station and print it (the station's open one first)", Lease);
  commands.AddStation(lease);
  commands.AddName(lease);

  CLI::App* written =
      commands.Add("written", "Record that the address-write command is about to go out", Written);
  commands.AddAddress(written);
  commands.AddStation(written);
  written->add_option("--port", request.port, "the device's port, as the station names it");

  CLI::App* verified =
      commands.Add("verified", "Record that the device read the address back", Verified);
  commands.AddAddress(verified);
  commands.AddStation(verified);
  verified->add_option("--readback", request.readback, "the device's line that showed it");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      return app.exit(e);
    }
    std::cerr << "pelorus-pool: " << e.what() << " (try --help)\n";
    return 1;
  }
  return commands.Run() ? 0 : 1;
}
