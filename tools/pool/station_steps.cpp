#include "tools/pool/station_steps.h"

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "pool/station.h"
#include "tools/pool/pool_choice.h"

namespace pelorus::pool {
namespace {

std::unique_ptr<Station> OpenStation(const Request& request) {
  Station::Config config;
  config.location = request.location;
  config.name = request.name;
  config.station = request.station;
  std::string error;
  auto station = Station::Open(config, &error);
  if (!station) {
    Fail(error);
  }
  return station;
}

// The station of a station step, its claim taken for the command and its journal put on
// record first (what became of each waiting mark goes to stderr). Null once the reason is
// out; when the store fails (rather than refuses) and `journal_on_failure`, the station
// still, so that a verified mark can go into its journal.
std::unique_ptr<Station> ClaimStation(const Request& request, bool journal_on_failure) {
  auto station = OpenStation(request);
  std::vector<std::string> notes;
  std::string error;
  const Outcome claimed = station ? station->Claim(&error, &notes) : Outcome::kUnavailable;
  for (const std::string& note : notes) {
    std::cerr << "pelorus-pool: journal of " << request.station << ": " << note << '\n';
  }
  if (station && claimed != Outcome::kDone &&
      (claimed == Outcome::kRefused || !journal_on_failure)) {
    Fail(error);
    return nullptr;
  }
  return station;
}

// The mark's address and the pool it lies in (--name, when given, must be that pool). When
// the store cannot tell and `journal_on_failure`, the pool --name gives (or the default), so
// that the mark can still go into that station's journal.
bool MarkOf(const Request& request, bool journal_on_failure, LeasedAddress* leased,
            Request* in_pool) {
  if (!ParseAddress(request.address, &leased->address)) {
    return false;
  }
  leased->token = request.token;
  std::string error;
  auto pool = AddressPool::Open(request.location, false, &error);
  *in_pool = request;
  const Outcome found =
      pool ? PoolOfAddress(*pool, leased->address, request.name_given ? request.name : "",
                           &in_pool->name, &error)
           : Outcome::kUnavailable;
  return found == Outcome::kDone || (found == Outcome::kUnavailable && journal_on_failure) ||
         Fail(error);
}

}  // namespace

bool LeaseStep(const Request& request) {
  auto station = ClaimStation(request, false);
  LeasedAddress leased;
  std::string error;
  if (!station || station->Lease(&leased, &error) != Outcome::kDone) {
    return station && Fail(error);
  }
  if (request.json) {
    std::cout << "{\"address\":\"" << FormatMac48(leased.address) << "\",\"token\":\""
              << leased.token << "\"}\n";
  } else {
    std::cout << FormatMac48(leased.address) << '\n';
  }
  return true;
}

bool WrittenStep(const Request& request) {
  LeasedAddress leased;
  Request in_pool;
  if (!MarkOf(request, false, &leased, &in_pool)) {
    return false;
  }
  auto station = ClaimStation(in_pool, false);
  std::string error;
  if (!station || station->MarkWritten(leased, request.port, &error) != Outcome::kDone) {
    return station && Fail(error);
  }
  return true;
}

bool VerifiedStep(const Request& request) {
  LeasedAddress leased;
  Request in_pool;
  if (!MarkOf(request, true, &leased, &in_pool)) {
    return false;
  }
  auto station = ClaimStation(in_pool, true);
  if (!station) {
    return false;
  }
  std::string error;
  switch (station->MarkVerified(leased, request.readback, &error)) {
    case Station::Verification::kOnRecord:
      return true;
    case Station::Verification::kJournaled:
      std::cerr << "pelorus-pool: " << error << "; the mark is journaled and goes on record at "
                << "station " << request.station << "'s next step\n";
      return true;
    case Station::Verification::kRefused:
    case Station::Verification::kFailed:
      break;
  }
  return Fail(error);
}

bool JournalStep(const Request& request) {
  auto station = OpenStation(request);
  std::vector<std::string> notes;
  std::string error;
  const Outcome replayed = station ? station->Claim(&error, &notes) : Outcome::kUnavailable;
  for (const std::string& note : notes) {
    std::cout << note << '\n';
  }
  if (replayed != Outcome::kDone) {
    return station && Fail(error);
  }
  if (notes.empty()) {
    std::cout << "journal empty\n";
  }
  return true;
}

bool ReleaseUnconfirmedStep(const Request& request) {
  Mac48 address = 0;
  if (!ParseAddress(request.address, &address)) {
    return false;
  }
  std::string error;
  auto pool = AddressPool::Open(request.location, false, &error);
  AddressRecord record;
  if (!pool || !pool->Check(address, &record, &error)) {
    return Fail(error);
  }
  // An address no station wrote has no station to wait for: the store says why it cannot
  // be given back this way. The claim fails while any mark of the station's journal cannot
  // be put on record, so none of this address's is left behind in it.
  std::unique_ptr<Station> station;
  if (record.state == AddressState::kWritten) {
    Request writer = request;
    writer.name = record.pool;
    writer.station = record.station;
    station = ClaimStation(writer, false);
    if (!station) {
      return false;
    }
    // Given back and written by another station before the claim was taken: that
    // station's claim is the one to hold.
    if (!pool->Check(address, &record, &error)) {
      return Fail(error);
    }
    if (record.state == AddressState::kWritten && record.station != writer.station) {
      return Fail(FormatMac48(address) + " was written by station " + record.station +
                  " meanwhile: try again");
    }
  }
  const bool released = pool->ReleaseUnconfirmed(address, request.by, request.reason, &error);
  if (station) {
    station->Unclaim();
  }
  if (!released) {
    return Fail(error);
  }
  std::cout << "released " << FormatMac48(address) << '\n';
  return true;
}

}  // namespace pelorus::pool
