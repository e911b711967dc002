// The rack station's command line and configuration file: what it runs, and bad input refused
// with the place at fault before anything opens.
#include "tools/station/rack_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace pelorus {
namespace {

struct Parsed {
  int status;
  std::string text;
  RackConfig config;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "pelorus-station");
  std::vector<const char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(arg.c_str());
  }
  Parsed parsed{};
  parsed.status = ParseRackCommandLine(static_cast<int>(argv.size()), argv.data(), &parsed.config,
                                       &parsed.text);
  return parsed;
}

std::string ConfigFile(const std::string& name, const std::string& text) {
  const std::string path = ::testing::TempDir() + name + "-" + std::to_string(getpid()) + ".conf";
  std::ofstream(path) << text;
  return path;
}

TEST(RackConfigTest, ReadsARackFromItsFileAndTheCommandLine) {
  const std::string file = ConfigFile("rack", R"(# rack 1
pool = /var/lib/pelorus/pool.db
pool-name = LINE-A

port = A1=/dev/ttyUSB0
port = A2=tcp://console-7:3001
events = /tmp/rack.events
)");
  Parsed parsed = Parse({"--config", file, "--station-prefix", "rack1"});
  ASSERT_EQ(parsed.status, -1) << parsed.text;
  EXPECT_EQ(parsed.config.pool, "/var/lib/pelorus/pool.db");
  EXPECT_EQ(parsed.config.pool_name, "LINE-A");
  EXPECT_EQ(parsed.config.events, "/tmp/rack.events");
  ASSERT_EQ(parsed.config.ports.size(), 2u);
  EXPECT_EQ(parsed.config.StationOf(parsed.config.ports[0]), "rack1/A1");
  EXPECT_EQ(parsed.config.ports[0].device, "/dev/ttyUSB0");
  EXPECT_EQ(parsed.config.ports[1].name, "A2");
  EXPECT_EQ(parsed.config.ports[1].device, "tcp://console-7:3001");

  // Without a prefix the host names the stations; the command line's ports replace the file's.
  parsed = Parse({"--config=" + file, "--port", "B1=/dev/ttyACM0"});
  ASSERT_EQ(parsed.status, -1) << parsed.text;
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  ASSERT_EQ(parsed.config.ports.size(), 1u);
  EXPECT_EQ(parsed.config.StationOf(parsed.config.ports[0]), std::string(host) + "/B1");

  parsed = Parse({"--help"});
  EXPECT_EQ(parsed.status, 0);
  EXPECT_NE(parsed.text.find("--port"), std::string::npos);
}

TEST(RackConfigTest, RefusesBadInputNamingWhereItIs) {
  const std::string dir = ::testing::TempDir() + "rack-devices-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/ttyUSB3");
  std::filesystem::create_symlink(dir + "/ttyUSB3", dir + "/by-id-adapter");

  const std::string unknown =
      ConfigFile("unknown", "pool = /p.db\nport = A1=/dev/a\nbaud = 9600\nport = A2=/dev/b\n");
  const std::string twice =
      ConfigFile("twice", "pool = /p.db\nport = A1=/dev/a\nport = A2=/dev/b\nport = A1=/dev/c\n");
  const std::string one_device = ConfigFile(
      "one-device", "pool=/p.db\nport=A1=" + dir + "/ttyUSB3\nport=A2=" + dir + "/by-id-adapter\n");
  const std::string no_pool = ConfigFile("no-pool", "port = A1=/dev/a\n");
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{"--config", unknown}, unknown + ":3: "},
      {{"--config", twice}, twice + ":4: port A1 named twice"},
      {{"--config", one_device},
       one_device + ":3: ports A1 and A2 are on one device (" + dir + "/ttyUSB3)"},
      {{"--config", no_pool}, "--pool is required"},
      {{"--pool", "/p.db", "--port", "A1=/dev/a", "--port", "A1=tcp://h:1"},
       "--port A1=tcp://h:1: port A1 named twice"},
      {{"--pool", "/p.db", "--port", "A1=TCP://Host:1", "--port", "A2=tcp://host:1"},
       "--port A2=tcp://host:1: ports A1 and A2 are on one device"},
      {{"--pool", "/p.db", "--port", "A/1=/dev/a"}, "--port A/1=/dev/a: port name A/1 may hold"},
      {{"--pool", "/p.db", "--port", "=/dev/a"}, "--port =/dev/a: a port has no name"},
      {{"--pool", "/p.db", "--port", "A1"}, "--port A1: port A1 has no device"},
      {{"--pool", "/p.db"}, "no port"},
      {{"--pool", "/p.db", "--port", "A1=/dev/a", "--bogus"}, "--bogus"},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(c.args);
    EXPECT_EQ(parsed.status, 2) << c.says;
    EXPECT_NE(parsed.text.find(c.says), std::string::npos) << parsed.text;
  }
}

}  // namespace
}  // namespace pelorus
