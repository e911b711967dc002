#include <termios.h>

#include <string>

#include <gtest/gtest.h>

#include "console_server.h"
#include "fake_server.h"
#include "pty_fixture.h"

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

  // Window to device, then device to window. The first direction also proves the server has
  // the device open, so the device's bytes have somewhere to go.
  void ExpectEveryByteBothWays() {
    const std::string all = AllByteValues();
    ASSERT_TRUE(window_.Run([&] { comm_.Write(all.size(), all.data()); }));
    EXPECT_EQ(ReadUntil(master_, [&](const std::string& got) { return got.size() >= all.size(); }),
              all);
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

TEST_F(Ser2netTest, RawPortCarriesEveryByteAndLeavesTheLineToTheServer) {
  Serve(ConsoleServer::Accepter::kTcp);
  ASSERT_EQ(OpenOnWindow(), 1) << comm_.LastError().Text();
  ExpectEveryByteBothWays();
  const termios line = Line();
  EXPECT_EQ(cfgetospeed(&line), B9600);
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
  ASSERT_EQ(OpenOnWindow(PortSettings{1, 0, 8, kFlowRtsCts, 0, 2, 57600}), 1)
      << comm_.LastError().Text();
  line = Line();
  EXPECT_EQ(cfgetospeed(&line), B57600);
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS),
            static_cast<tcflag_t>(CS8 | CSTOPB | CRTSCTS));
  EXPECT_EQ(window_.Seen().lost, 0);
}

}  // namespace
}  // namespace pelorus::testing
