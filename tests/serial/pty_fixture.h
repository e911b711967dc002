#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
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

inline int OpenDescriptorCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) {
      ++count;
    }
    closedir(dir);
  }
  return count;
}

inline int HighestOpenDescriptor() {
  int highest = -1;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') {
        highest = std::max(highest, std::atoi(entry->d_name));
      }
    }
    closedir(dir);
  }
  return highest;
}

// A pseudo-terminal whose slave is "COM1". The test plays the device on the master, which it
// keeps for the whole test (closing it is a hang-up). The slave descriptor is kept too, so
// that the test can look at the line the port object configured.
class PtyFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    slave_path_ = name;
    termios raw{};
    ASSERT_EQ(tcgetattr(master_, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &raw), 0);
    // A writer that can give up: a stalled port must fail the test, not hang it.
    ASSERT_EQ(fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK), 0);
    setenv("PELORUS_COM1", slave_path_.c_str(), 1);
    window_.Attach(&comm_);
    comm_.SetNotifyWindow(&window_);
  }

  void TearDown() override {
    EXPECT_TRUE(window_.Run([this] { comm_.Close(); }));
    window_.Stop();
    CloseMaster();
    if (slave_ >= 0) {
      close(slave_);
    }
    unsetenv("PELORUS_COM1");
  }

  int OpenOnWindow(const PortSettings& settings = DefaultSettings()) {
    int result = -1;
    EXPECT_TRUE(window_.Run([&] { result = comm_.Open(settings); }));
    return result;
  }

  bool CloseOnWindow() {
    return window_.Run([this] { comm_.Close(); });
  }

  // Writes all bytes into the device side, waiting while the line is full.
  bool WriteToPort(const std::string& bytes) {
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      pollfd out{master_, POLLOUT, 0};
      poll(&out, 1, 100);
    }
    return done == bytes.size();
  }

  void CloseMaster() {
    if (master_ >= 0) {
      close(master_);
      master_ = -1;
    }
  }

  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
  TestWindow window_;
  CComm comm_;
};

}  // namespace pelorus::testing
