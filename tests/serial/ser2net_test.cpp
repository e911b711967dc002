#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "console_server.h"
#include "pty_fixture.h"
#include "serial/comm.h"

namespace pelorus::testing {
namespace {

// The port behind a real console server: the test's pseudo-terminal is the device that
// ser2net serves, the port object reaches it over the network.
class Ser2netTest : public PtyFixture {
 protected:
  void Serve(ConsoleServer::Accepter accepter) {
    ASSERT_TRUE(server_.Start(accepter, slave_path_, "9600n81")) << server_.Problem();
    setenv("PELORUS_COM1", server_.Url().c_str(), 1);
  }

  // What the device side received, once count bytes are there or ten seconds passed
  // without one.
  std::string ReadFromPort(std::size_t count) {
    std::string got;
    char buffer[512];
    pollfd in{master_, POLLIN, 0};
    while (got.size() < count && poll(&in, 1, 10000) == 1) {
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  // Window to device, then device to window. The first direction also proves the server has
  // the device open, so the device's bytes have somewhere to go.
  void ExpectEveryByteBothWays() {
    std::string all;
    for (int value = 0; value < 256; ++value) {
      all += static_cast<char>(value);
    }
    ASSERT_TRUE(window_.Run([&] { comm_.Write(all.size(), all.data()); }));
    EXPECT_EQ(ReadFromPort(all.size()), all);
    ASSERT_TRUE(WriteToPort(all));
    EXPECT_TRUE(WaitReceived(all));
    EXPECT_TRUE(window_.Seen().messages.empty());
  }

  termios Line() {
    termios line{};
    // On Linux the master reports the slave's line settings.
    EXPECT_EQ(tcgetattr(master_, &line), 0);
    return line;
  }

  ConsoleServer server_;
};

TEST_F(Ser2netTest, RawPortCarriesEveryByteLeavesTheLineToTheServerAndIsLostWithIt) {
  Serve(ConsoleServer::Accepter::kTcp);
  ASSERT_EQ(OpenOnWindow(), 1) << comm_.LastError().Text();
  ExpectEveryByteBothWays();
  const termios line = Line();
  EXPECT_EQ(cfgetospeed(&line), B9600);

  server_.Stop();  // the console server goes off
  ASSERT_TRUE(window_.WaitFor([](const auto& seen) { return seen.lost == 1; }));
  EXPECT_TRUE(window_.Seen().lost_was_current);
}

TEST_F(Ser2netTest, TelnetPortTakesTheLineSettingsAndCarriesEveryByte) {
  Serve(ConsoleServer::Accepter::kTelnet);
  ASSERT_EQ(OpenOnWindow(), 1) << comm_.LastError().Text();
  // The server was told 9600; what the line has now came from the port object.
  termios line = Line();
  EXPECT_EQ(cfgetospeed(&line), B115200);
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  ExpectEveryByteBothWays();

  // A new connection, other settings (a pseudo-terminal carries 8 bits without parity only).
  ASSERT_TRUE(CloseOnWindow());
  PortSettings settings = DefaultSettings();
  settings.baudRate = 57600;
  settings.stopBits = 2;
  settings.flow = kFlowRtsCts;
  ASSERT_EQ(OpenOnWindow(settings), 1) << comm_.LastError().Text();
  line = Line();
  EXPECT_EQ(cfgetospeed(&line), B57600);
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS),
            static_cast<tcflag_t>(CS8 | CSTOPB | CRTSCTS));
  EXPECT_EQ(window_.Seen().lost, 0);
}

}  // namespace
}  // namespace pelorus::testing
