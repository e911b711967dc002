#pragma once

#include <cstdint>

namespace pelorus {

// Speeds that have no B<rate> constant (14400, 56000 bits/s) through the kernel's termios2
// interface. Kept apart because its structures clash with <termios.h>.

// Sets input and output speed of the terminal fd to baud; 0 on success, otherwise errno.
int SetCustomSpeed(int fd, std::uint32_t baud);
// The output speed of the terminal fd in bits per second; 0 when it cannot be read.
std::uint32_t GetCustomSpeed(int fd);

}  // namespace pelorus
