#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "serial/comm.h"
#include "serial/port_settings.h"
#include "test_window.h"

namespace pelorus::testing {

// The window's start values: port 1, 115200 bits/s, 8 data bits, no parity, one stop bit,
// no flow control.
inline PortSettings DefaultSettings() {
  return PortSettings{1, 0, kDataBitsTable[1], kFlowTable[0], 0, kStopBitsTable[0], kBaudTable[6]};
}

inline long OpenDescriptorCount() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

inline std::string RandomBytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::mt19937 random(4);
  for (char& c : bytes) {
    c = static_cast<char>(random());
  }
  return bytes;
}

// A port object whose window is a plain thread; the test makes its port calls there.
class PortFixture : public ::testing::Test {
 protected:
  void SetUp() override { comm_.SetNotifyWindow(&window_); }

  // Closing also lets a fake server that waits for the hang-up end.
  void TearDown() override { EXPECT_TRUE(CloseOnWindow()); }

  // Opens port 1 of settings, or another; target, where given, is what PELORUS_COM1 names.
  int OpenOnWindow(const PortSettings& settings = DefaultSettings()) {
    int result = -1;
    EXPECT_TRUE(window_.Run([&] { result = comm_.Open(settings); }));
    return result;
  }
  int OpenOnWindow(const std::string& target, const PortSettings& settings = DefaultSettings()) {
    setenv("PELORUS_COM1", target.c_str(), 1);
    return OpenOnWindow(settings);
  }

  bool CloseOnWindow() {
    return window_.Run([this] { comm_.Close(); });
  }

  bool WaitReceived(const std::string& bytes) {
    return window_.WaitFor([&](const auto& seen) { return seen.received == bytes; });
  }

  CComm comm_;
  TestWindow window_{&comm_};
};

// A pseudo-terminal whose slave is "COM1", left in the kernel's default (cooked) state so
// that what the line looks like is the port object's doing. The test plays the device on the
// master (closing it is a hang-up) and keeps a slave descriptor to look at the line.
class PtyFixture : public PortFixture {
 protected:
  void SetUp() override {
    PortFixture::SetUp();
    char name[256] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    slave_path_ = name;
    // A writer that can give up: a stalled port must fail the test, not hang it.
    ASSERT_EQ(fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK), 0);
    setenv("PELORUS_COM1", name, 1);
  }

  void TearDown() override {
    PortFixture::TearDown();
    close(master_);
    close(slave_);
  }

  // Writes all bytes into the device side; false when the line takes none for ten seconds.
  bool WriteToPort(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      pollfd out{master_, POLLOUT, 0};
      if (errno != EAGAIN || poll(&out, 1, 10000) != 1) {
        return false;
      }
    }
    return true;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

}  // namespace pelorus::testing
