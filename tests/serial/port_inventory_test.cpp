// What `pelorus --list-ports` finds, on a /dev of the test's own: pseudo-terminals standing in
// for adapters, by-id links to them, and ports in each state.
#include "serial/port_inventory.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace pelorus {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using namespace std::string_literals;

// A pseudo-terminal pair; the slave stands for an adapter's device node.
struct Pty {
  Pty() { openpty(&master, &slave, name, nullptr, nullptr); }
  ~Pty() {
    close(master);
    close(slave);
  }
  int master = -1;
  int slave = -1;
  char name[256] = {};
};

TEST(PortInventoryTest, EachPortSaysWhereItLeadsAndWhyItWouldNotOpen) {
  const fs::path dev = fs::path(::testing::TempDir()) / ("dev" + std::to_string(getpid()));
  fs::create_directories(dev / "serial" / "by-id");
  Pty usb0;
  Pty usb1;
  Pty acm0;
  fs::create_symlink(usb0.name, dev / "ttyUSB0");
  fs::create_symlink(usb1.name, dev / "ttyUSB1");
  fs::create_symlink(acm0.name, dev / "ttyACM0");
  fs::create_symlink("../../ttyUSB0", dev / "serial" / "by-id" / "usb-FTDI_FT232R_A1-if00-port0");
  std::ofstream(dev / "ttyS1") << "a file";

  // Another program holds ttyUSB1 open.
  const pid_t holder = fork();
  if (holder == 0) {
    for (int fd = 3; fd < 1024; ++fd) {  // what it inherited is not its to hold
      close(fd);
    }
    prctl(PR_SET_NAME, "holder");
    const int fd = open(usb1.name, O_RDWR | O_NOCTTY);
    pause();
    _exit(fd);
  }
  const std::string by_id = (dev / "serial" / "by-id" / "usb-FTDI_FT232R_A1-if00-port0").string();
  setenv("PELORUS_COM1", by_id.c_str(), 1);
  setenv("PELORUS_COM2", usb1.name, 1);
  setenv("PELORUS_COM3", (dev / "ttyUSB7").c_str(), 1);
  unsetenv("PELORUS_COM4");  // the default, /dev/ttyS3: missing here
  setenv("PELORUS_COM5", "/proc/self/status", 1);
  setenv("PELORUS_TELNET", "telnet://10.0.0.5:7001", 1);

  // The list as the operator reads it, taken once the holder has the device open.
  const PortInventory inventory(dev.string());
  for (int tries = 0; tries < 500 && inventory.Ports()[1].state != PortInventory::State::kBusy;
       ++tries) {
    usleep(10000);
  }
  std::ostringstream printed;
  inventory.Print(printed);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  const std::string d = dev.string();
  const std::string missing = ": missing: no such device (unplugged, or another name)";
  // Every adapter once, by its stable name where it has one, with the line that would use it.
  std::string expected;
  for (const std::string& line : {
           "The window's ports (" + d + " for /dev):",
           "  COM1    PELORUS_COM1=" + by_id + " -> " + usb0.name + ": ready",
           "          by-id: usb-FTDI_FT232R_A1-if00-port0"s,
           "  COM2    PELORUS_COM2=" + std::string(usb1.name) +
               ": busy: in use by another program, pid " + std::to_string(holder) + " (holder)",
           "  COM3    PELORUS_COM3=" + d + "/ttyUSB7" + missing,
           "  COM4    " + d + "/ttyS3 (PELORUS_COM4 not set)" + missing,
           "  COM5    PELORUS_COM5=/proc/self/status -> /proc/" + std::to_string(getpid()) +
               "/status: not a serial device",
           "  TELNET  PELORUS_TELNET=telnet://10.0.0.5:7001: a console server: reached when the "
           "window connects"s,
           "Serial devices on this machine:"s,
           "  " + by_id + " -> " + usb0.name + ": used by COM1",
           "  " + d + "/ttyACM0 -> " + acm0.name + ": PELORUS_COM4=" + d + "/ttyACM0",
           "  " + d + "/ttyUSB1 -> " + usb1.name + ": used by COM2",
       }) {
    expected += line + "\n";
  }
  EXPECT_EQ(printed.str(), expected);

  // The names a station takes after its device: the by-id link wherever the adapter has one,
  // however the port names it, so that two consoles never share one and a re-enumerated
  // adapter keeps its own.
  EXPECT_EQ(inventory.StableName(d + "/ttyUSB0", "COM1"), by_id);
  EXPECT_EQ(inventory.StableName(usb0.name, "COM1"), by_id);
  EXPECT_EQ(inventory.StableName(d + "/ttyACM0", "COM3"), d + "/ttyACM0");
  EXPECT_EQ(inventory.StableName("tcp://ts1:7001", "TELNET"), "tcp://ts1:7001");
  EXPECT_EQ(inventory.StableName("", "TELNET"), "TELNET");

#ifdef PELORUS_PROGRAM
  // The program's list is there for ssh sessions and scripts: it needs no display and opens
  // no window.
  for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    unsetenv(variable);
  }
  FILE* list = popen(PELORUS_PROGRAM " --list-ports", "r");
  ASSERT_NE(list, nullptr);
  std::string listed;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, list) != nullptr) {
    listed += buffer;
  }
  EXPECT_EQ(pclose(list), 0);
  EXPECT_THAT(listed, HasSubstr("Serial devices on this machine:"));
#endif
  fs::remove_all(dev);
}

}  // namespace
}  // namespace pelorus
