// The rack station as a line runs it: the real program, one simulated bench per port on a
// pseudo-terminal, a real pool.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "pool/address_pool.h"
#include "pool/station_state.h"

namespace pelorus::testing {
namespace {

std::string Folder(const std::string& name) {
  const std::string folder = ::testing::TempDir() + name + "-" + std::to_string(getpid());
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

std::string FieldOf(const std::string& json, const std::string& name) {
  std::smatch match;
  const std::regex field("\"" + name + "\":(\"([^\"]*)\"|([0-9]+))");
  if (!std::regex_search(json, match, field)) {
    return {};
  }
  return match[2].matched ? match[2].str() : match[3].str();
}

// Each station's state as the line sees it: "verified 02-00-...", "port lost /dev/...".
std::map<std::string, std::string> States(const std::string& store) {
  std::string error;
  std::vector<pool::StationState> states;
  auto pool = pool::AddressPool::Open(store, false, &error);
  EXPECT_TRUE(pool && pool->StationStates("default", &states, &error)) << error;
  std::map<std::string, std::string> shown;
  for (const pool::StationState& state : states) {
    shown[state.station] = std::string(pool::ActivityText(state.activity)) +
                           (state.detail.empty() ? "" : " " + state.detail);
  }
  return shown;
}

// Asks the store until the station shows what is wanted: the publisher writes on a thread of
// its own, a moment after the change.
bool Shows(const std::string& store, const std::string& station, const std::string& wanted) {
  for (int k = 0; k < 400; ++k) {
    if (States(store)[station].rfind(wanted, 0) == 0) {
      return true;
    }
    usleep(50000);
  }
  ADD_FAILURE() << station << " shows " << States(store)[station] << ", not " << wanted;
  return false;
}

// A bench of boards behind a link, quick: count boards, then the bench is unplugged for good.
std::unique_ptr<Child> Bench(const std::string& link, int boards, int seed) {
  return std::make_unique<Child>(
      std::vector<std::string>{PELORUS_DEVSIM, "--link", link, "--devices", std::to_string(boards),
                               "--any-address", "--quiet", "--seed", std::to_string(seed),
                               "--boot-pause", "5", "--command-time", "5", "--power-cycle", "50"},
      link + ".err");
}

// Three ports whose benches are there, and a fourth whose adapter is plugged in only later:
// every port programs its own boards, the late one once its device appears, none waits for
// another; SIGTERM ends the station with every board on record and every claim given back.
TEST(StationProgramTest, ProgramsEveryPortsBoardsAndEndsCleanlyOnSignal) {
  const std::string folder = Folder("rack");
  const std::string store = folder + "/pool.db";
  std::string error;
  {
    auto pool = pool::AddressPool::Open(store, true, &error);
    ASSERT_TRUE(pool) << error;
    ASSERT_TRUE(pool->Create("default", 0x020000000000, 0x02000000FFFF, &error)) << error;
  }
  constexpr int kBoards = 2;
  std::vector<std::unique_ptr<Child>> benches;
  for (int k = 1; k <= 3; ++k) {
    benches.push_back(Bench(folder + "/d" + std::to_string(k), kBoards, k));
    std::string line;
    ASSERT_TRUE(benches.back()->ReadLine(&line));  // "pty ...": the link is in place
  }
  Child station({PELORUS_STATION, "--pool", store, "--station-prefix", "rack", "--port",
                 "A1=" + folder + "/d1", "--port", "A2=" + folder + "/d2", "--port",
                 "A3=" + folder + "/d3", "--port", "A4=" + folder + "/d4"},
                folder + "/station.err");
  ASSERT_TRUE(station.ok());

  std::map<std::string, int> verified;
  std::set<std::string> addresses;
  auto read_events = [&](int count) {
    for (std::string line; count > 0 && station.ReadLine(&line); --count) {
      EXPECT_EQ(FieldOf(line, "outcome"), "verified") << line;
      EXPECT_NE(FieldOf(line, "id"), "0") << line;
      EXPECT_EQ(FieldOf(line, "station"), "rack/" + FieldOf(line, "port")) << line;
      EXPECT_TRUE(addresses.insert(FieldOf(line, "address")).second) << line;
      ++verified[FieldOf(line, "port")];
    }
  };
  read_events(3 * kBoards);
  EXPECT_EQ(verified,
            (std::map<std::string, int>{{"A1", kBoards}, {"A2", kBoards}, {"A3", kBoards}}));
  // The line sees every port: the late one failing to open, the others' last boards.
  EXPECT_TRUE(Shows(store, "rack/A4", "failed A4 would not open"));
  for (const char* station : {"rack/A1", "rack/A2", "rack/A3"}) {
    const std::string shown = States(store)[station];
    EXPECT_TRUE(shown.rfind("verified 02-00-00-00-00-0", 0) == 0 ||
                shown.rfind("port lost", 0) == 0)
        << station << ": " << shown;
  }
  benches.push_back(Bench(folder + "/d4", kBoards, 4));
  read_events(kBoards);
  EXPECT_EQ(verified["A4"], kBoards);

  station.Signal(SIGTERM);
  EXPECT_EQ(station.Wait(20000), 0);
  const std::string err = station.Err();
  for (const char* port : {"A1", "A2", "A3", "A4"}) {
    EXPECT_NE(err.find(std::string(port) + ": 2 verified, 0 failed"), std::string::npos) << err;
  }
  EXPECT_NE(err.find("A4 (" + folder + "/d4) is not ready"), std::string::npos) << err;
  EXPECT_NE(err.find("station ended: 4 ports, 8 verified, 0 failed"), std::string::npos) << err;

  auto pool = pool::AddressPool::Open(store, false, &error);
  ASSERT_TRUE(pool) << error;
  pool::PoolStatus status;
  ASSERT_TRUE(pool->Status("default", &status, &error)) << error;
  EXPECT_EQ(status.verified, 4u * kBoards);
  EXPECT_EQ(
      States(store),
      (std::map<std::string, std::string>{
          {"rack/A1", "idle"}, {"rack/A2", "idle"}, {"rack/A3", "idle"}, {"rack/A4", "idle"}}));
  for (const char* port : {"A1", "A2", "A3", "A4"}) {
    EXPECT_TRUE(pool->Claim("default", std::string("rack/") + port, &error)) << error;
    pool->Unclaim();
  }
}

// Nothing opens for a pool that is not there: the station names the port and the reason.
TEST(StationProgramTest, RefusesAPoolThatIsNotThere) {
  const std::string folder = Folder("rack-nopool");
  const std::string store = folder + "/pool.db";
  std::string error;
  ASSERT_TRUE(pool::AddressPool::Open(store, true, &error)) << error;
  Child station(
      {PELORUS_STATION, "--pool", store, "--pool-name", "LINE-B", "--port", "A1=" + folder + "/d1"},
      folder + "/station.err");
  EXPECT_EQ(station.Wait(20000), 1);
  EXPECT_NE(station.Err().find("port A1: "), std::string::npos) << station.Err();
  EXPECT_NE(station.Err().find("LINE-B"), std::string::npos) << station.Err();
}

// The service unit as systemd reads it, with the program where this build put it.
TEST(StationServiceTest, TheUnitIsOneSystemdTakes) {
  if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no systemd-analyze here";
  }
  const std::string folder = Folder("unit");
  std::ifstream in(PELORUS_UNIT);
  std::string unit((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_NE(unit.find("ExecStart=/usr/bin/pelorus-station "), std::string::npos);
  unit = std::regex_replace(unit, std::regex("/usr/bin/pelorus-station"), PELORUS_STATION);
  std::ofstream(folder + "/pelorus-station@.service") << unit;
  for (const char* needed :
       {"SupplementaryGroups=dialout", "StateDirectory=pelorus", "Restart=on-failure"}) {
    EXPECT_NE(unit.find(needed), std::string::npos) << needed;
  }
  EXPECT_FALSE(std::regex_search(unit, std::regex("^PrivateDevices=", std::regex::multiline)));
  const std::string command = "systemd-analyze verify --man=no '" + folder +
                              "/pelorus-station@rack1.service' >'" + folder + "/verify.out' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << std::ifstream(folder + "/verify.out").rdbuf();
}

}  // namespace
}  // namespace pelorus::testing
