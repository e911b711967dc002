#include "posix_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "custom_speed.h"

namespace pelorus {
namespace {

using Clock = std::chrono::steady_clock;

constexpr cc_t kXon = 0x11;
constexpr cc_t kXoff = 0x13;
constexpr tcflag_t kLineFormat = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

std::optional<speed_t> StandardSpeed(std::uint32_t baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return std::nullopt;
  }
}

std::optional<tcflag_t> DataBitsFlag(std::uint8_t bits) {
  switch (bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    case 8:
      return CS8;
    default:
      return std::nullopt;
  }
}

std::optional<tcflag_t> ParityFlags(std::uint8_t code) {
  switch (code) {
    case 0:
      return 0;
    case 1:
      return PARENB | PARODD;
    case 2:
      return PARENB;
    case 3:
      return PARENB | PARODD | CMSPAR;  // mark
    case 4:
      return PARENB | CMSPAR;  // space
    default:
      return std::nullopt;
  }
}

bool Unsupported(int error) {
  return error == ENOTTY || error == EINVAL;
}

bool Gone(int error) {
  return error == EIO || error == ENXIO;
}

PosixPort::WriteResult Failure(int error) {
  return Gone(error) || error == EPIPE ? PosixPort::WriteResult::kLost
                                       : PosixPort::WriteResult::kFailed;
}

// Sets and clears modem lines; a device without modem lines (a pseudo-terminal) is not an error.
bool ChangeModemLines(int fd, unsigned long request, int lines) {
  return ioctl(fd, request, &lines) == 0 || Unsupported(errno);
}

// tcsetattr succeeds when any part applied, so what counts is what reads back.
bool SameLine(const termios& wanted, const termios& actual) {
  return wanted.c_iflag == actual.c_iflag && wanted.c_oflag == actual.c_oflag &&
         wanted.c_lflag == actual.c_lflag &&
         (wanted.c_cflag & (kLineFormat | CLOCAL | CREAD)) ==
             (actual.c_cflag & (kLineFormat | CLOCAL | CREAD)) &&
         wanted.c_cc[VMIN] == actual.c_cc[VMIN] && wanted.c_cc[VTIME] == actual.c_cc[VTIME] &&
         wanted.c_cc[VSTART] == actual.c_cc[VSTART] && wanted.c_cc[VSTOP] == actual.c_cc[VSTOP];
}

}  // namespace

PosixPort::~PosixPort() {
  Close();
}

int PosixPort::Open(const std::string& path) {
  Close();
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  int error = 0;
  if (!isatty(fd)) {
    error = ENOTTY;
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? EBUSY : errno;
  } else if (ioctl(fd, TIOCEXCL) != 0) {
    error = errno;
  }
  if (error != 0) {
    close(fd);
    return error;
  }
  tcflush(fd, TCIOFLUSH);
  fd_ = fd;
  return 0;
}

bool PosixPort::Configure(const PortSettings& settings) {
  termios line{};
  if (fd_ < 0 || tcgetattr(fd_, &line) != 0) {
    return false;
  }
  const auto dataBits = DataBitsFlag(settings.dataBits);
  const auto parity = ParityFlags(settings.parity);
  if (!dataBits || !parity || (settings.flow & kFlowDtrDsr) != 0 ||
      (settings.stopBits != 0 && settings.stopBits != 2)) {
    return false;
  }
  cfmakeraw(&line);
  line.c_cflag &= ~kLineFormat;
  line.c_cflag |= CLOCAL | CREAD | *dataBits | *parity;
  if (*parity != 0) {
    line.c_iflag |= INPCK;
  }
  if (settings.stopBits == 2) {
    line.c_cflag |= CSTOPB;
  }
  if ((settings.flow & kFlowRtsCts) != 0) {
    line.c_cflag |= CRTSCTS;
  }
  if ((settings.flow & kFlowXonXoff) != 0) {
    line.c_iflag |= IXON | IXOFF;
  }
  line.c_cc[VMIN] = 0;
  line.c_cc[VTIME] = 0;
  line.c_cc[VSTART] = kXon;
  line.c_cc[VSTOP] = kXoff;
  const auto speed = StandardSpeed(settings.baudRate);
  if (speed) {
    cfsetispeed(&line, *speed);
    cfsetospeed(&line, *speed);
  }
  if (tcsetattr(fd_, TCSANOW, &line) != 0) {
    return false;
  }
  const int speedError = speed ? 0 : SetCustomSpeed(fd_, settings.baudRate);
  if (speedError != 0 && !Unsupported(speedError)) {
    return false;
  }
  termios actual{};
  if (tcgetattr(fd_, &actual) != 0 || !SameLine(line, actual)) {
    return false;
  }
  if (speed && cfgetospeed(&actual) != *speed) {
    return false;
  }
  if (!speed && speedError == 0 && GetCustomSpeed(fd_) != settings.baudRate) {
    return false;
  }
  // Setting the line state may drop the modem lines, so they are raised afterwards.
  return ChangeModemLines(fd_, TIOCMBIS, TIOCM_DTR | TIOCM_RTS);
}

int PosixPort::BytesWaiting() const {
  int waiting = 0;
  return ioctl(fd_, FIONREAD, &waiting) == 0 ? waiting : -1;
}

int PosixPort::Read(char* buffer, std::size_t count, ReadStatus* status) {
  for (;;) {
    const ssize_t n = read(fd_, buffer, count);
    if (n > 0) {
      *status = ReadStatus::kData;
      return static_cast<int>(n);
    }
    if (n == 0) {
      // With VMIN = VTIME = 0 an empty line reads as 0 bytes, also when non-blocking, so 0 is
      // not end of file here; a hang-up shows in poll() or as EIO.
      *status = ReadStatus::kNothing;
      return 0;
    }
    if (errno != EINTR) {
      *status = Gone(errno) ? ReadStatus::kLost : ReadStatus::kNothing;
      return 0;
    }
  }
}

PosixPort::WriteResult PosixPort::Write(const char* bytes, std::size_t count,
                                        std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = write(fd_, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN) {
      return Failure(errno);
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return WriteResult::kTimedOut;
    }
    pollfd out{fd_, POLLOUT, 0};
    const int ready = poll(&out, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      return Failure(errno);
    }
    if (ready > 0 && (out.revents & (POLLERR | POLLHUP)) != 0) {
      return WriteResult::kLost;
    }
    if (ready > 0 && (out.revents & POLLNVAL) != 0) {
      return WriteResult::kFailed;
    }
  }
  return WriteResult::kDone;
}

void PosixPort::Close() {
  if (fd_ < 0) {
    return;
  }
  ChangeModemLines(fd_, TIOCMBIC, TIOCM_DTR | TIOCM_RTS);
  // Flushing rather than draining: output held back by flow control would block a drain.
  tcflush(fd_, TCIOFLUSH);
  // The exclusive bit belongs to the line, not to this descriptor: leave the line reopenable.
  ioctl(fd_, TIOCNXCL);
  flock(fd_, LOCK_UN);
  close(fd_);
  fd_ = -1;
}

}  // namespace pelorus
