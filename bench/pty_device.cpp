#include "pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QtGlobal>
#include <cerrno>

namespace pelorus::bench {

PtyDevice::PtyDevice() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    master_ = slave_ = -1;
    return;
  }
  // The device's end passes bytes untouched, as a board's UART does.
  termios raw{};
  tcgetattr(master_, &raw);
  cfmakeraw(&raw);
  tcsetattr(master_, TCSANOW, &raw);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  // A child that held the master would keep the device there after the benchmark let it go.
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  path_ = name;
  qputenv("PELORUS_COM1", QByteArray(name));
}

PtyDevice::~PtyDevice() {
  if (master_ >= 0) {
    close(master_);
  }
  if (slave_ >= 0) {
    close(slave_);
  }
}

PtyDevice::Clock::time_point PtyDevice::Send(const std::string& bytes) {
  std::size_t sent = 0;
  Clock::time_point before{};
  while (sent < bytes.size()) {
    // Taken before the write, since the window may read and answer the line before this
    // thread runs again after it; so a latency measured from here is never too short.
    before = Clock::now();
    const ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd fd{master_, POLLOUT, 0};
      poll(&fd, 1, 1000);
    } else if (n < 0 && errno != EINTR) {
      return {};
    }
  }
  return before;
}

PtyDevice::Clock::time_point PtyDevice::WaitForBytes(Clock::time_point deadline,
                                                     std::string* received) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd fd{master_, POLLIN, 0};
    const int ready = poll(&fd, 1, left > 0 ? static_cast<int>(left) + 1 : 0);
    const Clock::time_point now = Clock::now();
    if (ready > 0 && ReadSome(received)) {
      return now;
    }
    // With the slave held open a hang-up cannot come; an error would make poll spin.
    if ((ready < 0 && errno != EINTR) || (ready > 0 && (fd.revents & (POLLERR | POLLHUP)) != 0)) {
      return {};
    }
    if (now >= deadline) {
      return {};
    }
  }
}

void PtyDevice::Collect(Clock::time_point deadline, std::size_t want, std::string* received) {
  while (received->size() < want && Clock::now() < deadline) {
    if (WaitForBytes(deadline, received) == Clock::time_point{}) {
      return;
    }
  }
}

void PtyDevice::Discard() {
  tcflush(slave_, TCIFLUSH);
}

bool PtyDevice::ReadSome(std::string* received) {
  bool got = false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) {
      received->append(buffer, static_cast<std::size_t>(n));
      got = true;
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return got;
  }
}

}  // namespace pelorus::bench
