#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pty_fixture.h"
#include "serial/comm.h"

namespace pelorus::testing {
namespace {

using CCommTest = PtyFixture;

// The start values make a raw 115200 8N1 line; other settings land too, and those the line
// cannot take leave nothing open.
TEST_F(CCommTest, SettingsLandOnARawLineAndRefusedOnesHoldNothing) {
  ASSERT_EQ(OpenOnWindow(), 1);
  termios line{};
  ASSERT_EQ(tcgetattr(slave_, &line), 0);
  EXPECT_EQ(cfgetispeed(&line), B115200);
  EXPECT_EQ(cfgetospeed(&line), B115200);
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
            static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);

  // Line ends, end-of-file and interrupt bytes pass unchanged and unechoed, and a chunk that
  // starts with a zero byte is data, also once the line has run empty.
  const std::string boot("\0\0boot\r\n\x04\x03\x7f", 11);
  ASSERT_TRUE(WriteToPort(boot));
  ASSERT_TRUE(WaitReceived(boot));
  const std::string code("\0CODE\r\n", 7);
  ASSERT_TRUE(WriteToPort(code));
  ASSERT_TRUE(WaitReceived(boot + code));
  int echoed = -1;
  ASSERT_EQ(ioctl(master_, FIONREAD, &echoed), 0);
  EXPECT_EQ(echoed, 0);
  EXPECT_EQ(window_.Seen().lost, 0);

  PortSettings settings = DefaultSettings();
  settings.baudRate = kBaudTable[0];
  settings.stopBits = kStopBitsTable[1];
  settings.flow = kFlowTable[2] | kFlowTable[3];
  ASSERT_EQ(OpenOnWindow(settings), 1);
  ASSERT_EQ(tcgetattr(slave_, &line), 0);
  EXPECT_EQ(cfgetospeed(&line), B9600);
  EXPECT_EQ(line.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  settings.baudRate = kBaudTable[4];  // 56000 has no standard constant
  EXPECT_EQ(OpenOnWindow(settings), 1);
  ASSERT_TRUE(CloseOnWindow());

  const long before = OpenDescriptorCount();
  std::vector<PortSettings> refused(4, DefaultSettings());
  refused[0].dataBits = kDataBitsTable[0];  // a pseudo-terminal carries 8 bits, no parity
  refused[1].parity = 2;
  refused[2].flow = kFlowTable[1];  // termios has no DTR/DSR handshake
  refused[3].stopBits = 1;
  for (const PortSettings& each : refused) {
    EXPECT_EQ(OpenOnWindow(each), 0);
    EXPECT_FALSE(comm_.IsConnected());
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

// A START without RESET releases the earlier open too. The open port is the port object's
// alone: the exclusive-use bit stops also programs that take no lock (root passes it).
TEST_F(CCommTest, OpenCloseCyclesLeakNothingAndTheOpenPortIsExclusive) {
  const long before = OpenDescriptorCount();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(OpenOnWindow(), 1) << "cycle " << i;
    ASSERT_TRUE(CloseOnWindow()) << "cycle " << i;
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(OpenOnWindow(), 1);
  }
  ASSERT_TRUE(WriteToPort("up"));
  ASSERT_TRUE(WaitReceived("up"));               // the last watcher reads
  EXPECT_EQ(OpenDescriptorCount(), before + 2);  // the port and its watcher's wake-up event
  const int fd = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_TRUE(fd < 0 ? errno == EBUSY : geteuid() == 0);
  if (fd >= 0) {
    close(fd);
  }
}

// The device stops reading: the line fills up and the write time-out runs out.
TEST_F(CCommTest, WriteShowsErrorWhenTheLineStalls) {
  ASSERT_EQ(OpenOnWindow(), 1);
  comm_.SetWriteTimeout(std::chrono::milliseconds(20));
  const std::string flood(1 << 20, 'x');
  ASSERT_TRUE(window_.Run([&] { comm_.Write(flood.size(), flood.data()); }));
  EXPECT_EQ(window_.Seen().messages, std::vector<std::string>{"ERROR"});
}

}  // namespace
}  // namespace pelorus::testing
