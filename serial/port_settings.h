#pragma once

#include <cstdint>

namespace pelorus {

// The record that selects port, speed and line format, passed to CComm::Open.
struct PortSettings {
  std::uint8_t port;       // 1 to 9
  std::uint8_t reserved;   // always 0
  std::uint8_t dataBits;   // 7 or 8
  std::uint8_t flow;       // bit 0 DTR/DSR, bit 1 RTS/CTS, bit 2 XON/XOFF both ways
  std::uint8_t parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t stopBits;   // 0 one, 1 one and a half, 2 two
  std::uint32_t baudRate;  // bits per second
};

// The bits of PortSettings::flow.
inline constexpr std::uint8_t kFlowDtrDsr = 0x01;
inline constexpr std::uint8_t kFlowRtsCts = 0x02;
inline constexpr std::uint8_t kFlowXonXoff = 0x04;

// The window's fixed tables: index -> value.
inline constexpr std::uint8_t kFlowTable[] = {0x00, 0x01, 0x02, 0x04};
inline constexpr std::uint8_t kDataBitsTable[] = {7, 8};
inline constexpr std::uint32_t kBaudTable[] = {9600, 14400, 19200, 38400, 56000, 57600, 115200};
inline constexpr std::uint8_t kStopBitsTable[] = {0, 2};

}  // namespace pelorus
