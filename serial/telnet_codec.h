#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pelorus {

// The Telnet bytes (RFC 854, 855) and options a console client deals in.
namespace telnet {
inline constexpr unsigned char kSe = 240;
inline constexpr unsigned char kSb = 250;
inline constexpr unsigned char kWill = 251;
inline constexpr unsigned char kWont = 252;
inline constexpr unsigned char kDo = 253;
inline constexpr unsigned char kDont = 254;
inline constexpr unsigned char kIac = 255;

inline constexpr unsigned char kBinary = 0;           // RFC 856
inline constexpr unsigned char kEcho = 1;             // RFC 857
inline constexpr unsigned char kSuppressGoAhead = 3;  // RFC 858
inline constexpr unsigned char kComPort = 44;         // RFC 2217
}  // namespace telnet

// The Telnet framing of one connection: data escaped on the way out, and on the way in data
// told apart from commands. The decoder keeps its place between calls, so a command, a
// subnegotiation or an escaped 0xFF may be split across reads anywhere.
class TelnetCodec {
 public:
  // A subnegotiation longer than this is dropped rather than kept growing.
  static constexpr std::size_t kMaxSubnegotiation = 256;

  // An option command: verb kWill, kWont, kDo or kDont with its option, or verb kSb for a
  // subnegotiation with its option and the bytes between option and IAC SE, unescaped.
  struct Command {
    unsigned char verb;
    unsigned char option;
    std::string payload;

    bool operator==(const Command& other) const {
      return verb == other.verb && option == other.option && payload == other.payload;
    }
  };

  // The data bytes with every 0xFF doubled.
  static std::string Escape(const char* bytes, std::size_t count);
  // IAC verb option.
  static std::string Negotiation(unsigned char verb, unsigned char option);
  // IAC SB option payload IAC SE, the payload escaped.
  static std::string Subnegotiation(unsigned char option, const std::string& payload);
  // Where the command or data byte that offset falls into ends, in bytes this codec (or a
  // peer) encoded: offset itself when offset lies between two of them. Tells how much of a
  // half-sent stream must still go out for the peer to stay in step.
  static std::size_t EndOfUnit(const std::string& encoded, std::size_t offset);

  // Splits received bytes: data bytes (IAC IAC as one 0xFF) are appended to *data, option
  // commands to *commands; other commands (NOP, GA, ...) are dropped. Malformed sequences are
  // dropped and counted, and decoding goes on after them.
  void Decode(const char* bytes, std::size_t count, std::string* data,
              std::vector<Command>* commands);
  // Malformed sequences seen so far: IAC followed by a byte that is no command, SE outside a
  // subnegotiation, IAC followed by anything but IAC or SE inside one, a subnegotiation
  // longer than kMaxSubnegotiation.
  int Errors() const { return errors_; }

 private:
  enum class State { kData, kCommand, kOption, kSubOption, kSubData, kSubCommand };

  // Handles byte after an IAC in the data stream.
  void AfterIac(unsigned char byte);

  State state_ = State::kData;
  unsigned char verb_ = 0;
  unsigned char sub_option_ = 0;
  std::string sub_payload_;
  bool sub_overflow_ = false;
  int errors_ = 0;
};

}  // namespace pelorus
