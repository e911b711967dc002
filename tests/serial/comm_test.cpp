#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "pty_fixture.h"
#include "serial/comm.h"
#include "serial/port_names.h"

namespace pelorus::testing {
namespace {

TEST(CCommClass, IsACreatableRootObjectNamedCComm) {
  std::unique_ptr<CObject> object(CComm::classCComm.CreateObject());
  ASSERT_NE(object, nullptr);
  EXPECT_STREQ(object->GetRuntimeClass()->className, "CComm");
  EXPECT_TRUE(object->IsKindOf(&CComm::classCComm));
  EXPECT_TRUE(object->IsKindOf(&CObject::classCObject));
  EXPECT_FALSE(CObject().IsKindOf(&CComm::classCComm));
  EXPECT_EQ(CObject::classCObject.CreateObject(), nullptr);
  EXPECT_FALSE(static_cast<CComm*>(object.get())->IsConnected());
  std::ostringstream dump;
  object->Dump(dump);
  EXPECT_NE(dump.str().find("CComm"), std::string::npos);
}

TEST(PortNames, NumbersMapToComNamesAndTheNamesToDevices) {
  EXPECT_EQ(PortNameFor(1), "COM1");
  EXPECT_EQ(PortNameFor(5), "COM5");
  EXPECT_EQ(PortNameFor(6), "\\\\.\\TELNET");
  EXPECT_EQ(PortNameFor(9), "\\\\.\\TELNET");

  unsetenv("PELORUS_COM3");
  unsetenv("PELORUS_TELNET");
  EXPECT_EQ(DevicePathFor("COM1"), "/dev/ttyS0");
  EXPECT_EQ(DevicePathFor("COM3"), "/dev/ttyS2");
  EXPECT_EQ(DevicePathFor("\\\\.\\TELNET"), "");
  EXPECT_EQ(DevicePathFor("COM6"), "");
  EXPECT_EQ(DevicePathFor("COM0"), "");
  setenv("PELORUS_COM3", "/dev/pts/77", 1);
  setenv("PELORUS_TELNET", "/dev/pts/78", 1);
  EXPECT_EQ(DevicePathFor("COM3"), "/dev/pts/77");
  EXPECT_EQ(DevicePathFor("\\\\.\\TELNET"), "/dev/pts/78");
  unsetenv("PELORUS_COM3");
  unsetenv("PELORUS_TELNET");
}

using CCommTest = PtyFixture;

TEST_F(CCommTest, StartValuesPutTheLineInRaw115200EightNOne) {
  ASSERT_EQ(OpenOnWindow(), 1);
  EXPECT_TRUE(comm_.IsConnected());
  EXPECT_EQ(comm_.PortName(), "COM1");

  termios line{};
  ASSERT_EQ(tcgetattr(slave_, &line), 0);
  EXPECT_EQ(cfgetispeed(&line), B115200);
  EXPECT_EQ(cfgetospeed(&line), B115200);
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_cc[VMIN], 0);
  EXPECT_EQ(line.c_cc[VTIME], 0);

  // Raw in practice: line ends, end-of-file and interrupt bytes pass unchanged and unechoed.
  const std::string bytes("a\rb\nc\x04\x03\x7f", 8);
  ASSERT_TRUE(WriteToPort(bytes));
  ASSERT_TRUE(window_.WaitFor([&] { return window_.seen_.received.size() >= bytes.size(); }));
  EXPECT_EQ(window_.Seen().received, bytes);
  int echoed = 0;
  ASSERT_EQ(ioctl(master_, FIONREAD, &echoed), 0);
  EXPECT_EQ(echoed, 0);
}

TEST_F(CCommTest, OtherTableValuesAndRefusedSettings) {
  PortSettings settings = DefaultSettings();
  termios line{};

  settings.baudRate = kBaudTable[4];  // 56000 has no standard constant
  settings.stopBits = kStopBitsTable[1];
  settings.flow = kFlowTable[2];
  ASSERT_EQ(OpenOnWindow(settings), 1);
  ASSERT_EQ(tcgetattr(slave_, &line), 0);
  EXPECT_NE(line.c_cflag & CSTOPB, 0u);
  EXPECT_NE(line.c_cflag & CRTSCTS, 0u);

  settings = DefaultSettings();
  settings.baudRate = kBaudTable[0];
  settings.flow = kFlowTable[3];
  ASSERT_EQ(OpenOnWindow(settings), 1);
  ASSERT_EQ(tcgetattr(slave_, &line), 0);
  EXPECT_EQ(cfgetospeed(&line), B9600);
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(line.c_cc[VSTART], 0x11);
  EXPECT_EQ(line.c_cc[VSTOP], 0x13);
  ASSERT_TRUE(CloseOnWindow());

  // A pseudo-terminal only carries eight bits without parity, and termios has no DTR/DSR
  // handshake: such opens fail, and leave nothing open behind them.
  const int before = OpenDescriptorCount();
  using Change = void (*)(PortSettings&);
  const Change changes[] = {
      [](PortSettings& s) { s.dataBits = kDataBitsTable[0]; },
      [](PortSettings& s) { s.parity = 2; },
      [](PortSettings& s) { s.flow = kFlowTable[1]; },
      [](PortSettings& s) { s.stopBits = 1; },
  };
  for (const Change change : changes) {
    settings = DefaultSettings();
    change(settings);
    EXPECT_EQ(OpenOnWindow(settings), 0);
    EXPECT_FALSE(comm_.IsConnected());
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(CCommTest, PortsWithoutDeviceFailToOpen) {
  PortSettings settings = DefaultSettings();
  settings.port = 6;
  unsetenv("PELORUS_TELNET");
  EXPECT_EQ(OpenOnWindow(settings), 0);
  EXPECT_EQ(comm_.PortName(), "\\\\.\\TELNET");
  EXPECT_FALSE(comm_.IsConnected());

  setenv("PELORUS_TELNET", "/nonexistent/pelorus-port", 1);
  EXPECT_EQ(OpenOnWindow(settings), 0);
  setenv("PELORUS_TELNET", "/dev/null", 1);  // not a terminal
  EXPECT_EQ(OpenOnWindow(settings), 0);
  setenv("PELORUS_TELNET", slave_path_.c_str(), 1);
  EXPECT_EQ(OpenOnWindow(settings), 1);
  unsetenv("PELORUS_TELNET");
}

TEST_F(CCommTest, ManyOpenCloseCyclesLeakNoDescriptors) {
  ASSERT_EQ(OpenOnWindow(), 1);
  ASSERT_TRUE(CloseOnWindow());
  const int before = OpenDescriptorCount();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(OpenOnWindow(), 1) << "cycle " << i;
    ASSERT_TRUE(CloseOnWindow()) << "cycle " << i;
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
  // A START without RESET releases the earlier open too.
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(OpenOnWindow(), 1);
  }
  // Bytes that arrive show that the last watcher runs, with its wake-up event made.
  ASSERT_TRUE(WriteToPort("up"));
  ASSERT_TRUE(window_.WaitFor([this] { return window_.seen_.received == "up"; }));
  EXPECT_EQ(OpenDescriptorCount(), before + 2);  // the port and its watcher's wake-up event
}

TEST_F(CCommTest, SecondOpenOfTheSamePortFails) {
  ASSERT_EQ(OpenOnWindow(), 1);
  CComm other;
  EXPECT_EQ(other.Open(DefaultSettings()), 0);
  EXPECT_FALSE(other.IsConnected());
  ASSERT_TRUE(CloseOnWindow());
  EXPECT_EQ(other.Open(DefaultSettings()), 1);
  other.Close();
}

TEST_F(CCommTest, OpenPortIsExclusiveEvenWithoutTheLock) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "the exclusive-use bit does not stop root";
  }
  ASSERT_EQ(OpenOnWindow(), 1);
  const int fd = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const int error = errno;
  if (fd >= 0) {
    close(fd);
  }
  EXPECT_LT(fd, 0);
  EXPECT_EQ(error, EBUSY);
  ASSERT_TRUE(CloseOnWindow());
  const int again = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(again, 0);
  if (again >= 0) {
    close(again);
  }
}

TEST_F(CCommTest, WriteSendsBytesAndReportsATimeOutAsError) {
  const char command[] = "macprog2 00-11-22-33-44-55\n";
  EXPECT_EQ(comm_.Write(sizeof command - 1, command), 1);  // no port: nothing, no message
  EXPECT_TRUE(window_.Seen().messages.empty());

  ASSERT_EQ(OpenOnWindow(), 1);
  int result = 0;
  ASSERT_TRUE(window_.Run([&] { result = comm_.Write(sizeof command - 1, command); }));
  EXPECT_EQ(result, 1);
  std::string got(sizeof command - 1, '\0');
  ASSERT_EQ(read(master_, got.data(), got.size()), static_cast<ssize_t>(got.size()));
  EXPECT_EQ(got, command);
  EXPECT_TRUE(window_.Seen().messages.empty());

  // The device side stops reading: the line fills up and the write time-out runs out.
  comm_.SetWriteTimeout(std::chrono::milliseconds(20));
  const std::string flood(1 << 20, 'x');
  ASSERT_TRUE(window_.Run([&] { result = comm_.Write(flood.size(), flood.data()); }));
  EXPECT_EQ(result, 1);
  const auto messages = window_.Seen().messages;
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "ERROR");
  EXPECT_EQ(messages[0].caption, "");
  EXPECT_FALSE(messages[0].warning);
}

}  // namespace
}  // namespace pelorus::testing
