#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "serial/port_error.h"
#include "serial/tty_transport.h"

namespace pelorus::testing {
namespace {

// The window's line for a port that would not open keeps "cannot open <where>: <why>" as its
// start, and names the dialout group only when a device refused this user. Permission checks
// pass for root, so the system's answer is given here as the error number it would return.
TEST(PortErrorTest, OnlyADeviceThatRefusesTheUserNamesTheDialoutGroup) {
  const std::string device = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0";
  const std::string hint = " (is this user in group dialout?)";
  struct Case {
    PortError error;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {TtyTransport::OpenError(device, EACCES),
       "cannot open " + device + ": " + std::strerror(EACCES) + hint},
      {TtyTransport::OpenError(device, EPERM),
       "cannot open " + device + ": " + std::strerror(EPERM) + hint},
      {TtyTransport::OpenError(device, ENOENT),
       "cannot open " + device + ": " + std::strerror(ENOENT)},
      {TtyTransport::OpenError(device, EBUSY),
       "cannot open " + device + ": " + std::strerror(EBUSY)},
      // A console server that refuses is no matter of local groups.
      {PortError{PortError::Kind::kPermissionDenied, "console-7:3001", std::strerror(EACCES)},
       "cannot open console-7:3001: " + std::string(std::strerror(EACCES))},
      {PortError{PortError::Kind::kNoDevice, "", "COM6 has no device"},
       "cannot open COM6 has no device"},
  };
  for (const Case& each : cases) {
    EXPECT_EQ(each.error.OpenFailure(), each.shown);
  }
  EXPECT_EQ(TtyTransport::OpenError(device, EACCES).kind, PortError::Kind::kPermissionDenied);
  EXPECT_EQ(TtyTransport::OpenError(device, EPERM).kind, PortError::Kind::kPermissionDenied);
}

}  // namespace
}  // namespace pelorus::testing
