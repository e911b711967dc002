#include <termios.h>

#include <string>

#include <gtest/gtest.h>

#include "console_server.h"
#include "fake_server.h"
#include "pty_fixture.h"

namespace pelorus::testing {
namespace {

using Ser2netTest = PtyFixture;
using Accepter = ConsoleServer::Accepter;

// The port behind a real console server: the test's pseudo-terminal is the device that ser2net
// serves (told 9600 bits/s), the port object reaches it over the network. The raw port leaves
// the line to the server; the Telnet port sets it, on each connection anew (a pseudo-terminal
// carries 8 bits without parity only). Every byte value reaches the device unchanged; what
// the device sends the window's tests follow through ser2net.
TEST_F(Ser2netTest, EveryByteReachesTheDeviceAndTelnetSetsTheLine) {
  struct Case {
    Accepter accepter;
    PortSettings settings;
    speed_t speed;
    tcflag_t flags;
  };
  const Case cases[] = {
      {Accepter::kTcp, DefaultSettings(), B9600, CS8},
      {Accepter::kTelnet, DefaultSettings(), B115200, CS8},
      {Accepter::kTelnet, PortSettings{1, 0, 8, kFlowRtsCts, 0, 2, 57600}, B57600,
       CS8 | CSTOPB | CRTSCTS},
  };
  const std::string all = AllByteValues();
  ConsoleServer server;
  for (const Case& each : cases) {
    ASSERT_TRUE(server.Start(each.accepter, slave_path_)) << server.Problem();
    ASSERT_EQ(OpenOnWindow(server.Url(), each.settings), 1) << comm_.LastError().Text();
    ASSERT_TRUE(window_.Run([&] { comm_.Write(all.size(), all.data()); }));
    EXPECT_EQ(ReadUntil(master_, [&](const std::string& got) { return got.size() >= all.size(); }),
              all);
    termios line{};
    ASSERT_EQ(tcgetattr(master_, &line), 0);  // on Linux the master reports the slave's line
    EXPECT_EQ(cfgetospeed(&line), each.speed);
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), each.flags);
    ASSERT_TRUE(CloseOnWindow());
  }
  EXPECT_TRUE(window_.Seen().messages.empty());
  EXPECT_EQ(window_.Seen().lost, 0);
}

}  // namespace
}  // namespace pelorus::testing
