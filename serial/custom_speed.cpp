#include "custom_speed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

// <sys/ioctl.h> would bring the libc termios structures that clash with the kernel's.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace pelorus {

int SetCustomSpeed(int fd, std::uint32_t baud) {
  termios2 line{};
  if (ioctl(fd, TCGETS2, &line) != 0) {
    return errno;
  }
  line.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  line.c_ispeed = baud;
  line.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &line) == 0 ? 0 : errno;
}

std::uint32_t GetCustomSpeed(int fd) {
  termios2 line{};
  return ioctl(fd, TCGETS2, &line) == 0 ? line.c_ospeed : 0;
}

}  // namespace pelorus
