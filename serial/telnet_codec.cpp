#include "telnet_codec.h"

namespace pelorus {
namespace {

using namespace telnet;

bool IsNegotiation(unsigned char byte) {
  return byte == kWill || byte == kWont || byte == kDo || byte == kDont;
}

}  // namespace

std::string TelnetCodec::Escape(const char* bytes, std::size_t count) {
  std::string escaped;
  escaped.reserve(count + count / 8);
  for (std::size_t i = 0; i < count; ++i) {
    escaped += bytes[i];
    if (static_cast<unsigned char>(bytes[i]) == kIac) {
      escaped += bytes[i];
    }
  }
  return escaped;
}

std::string TelnetCodec::Negotiation(unsigned char verb, unsigned char option) {
  return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

std::string TelnetCodec::Subnegotiation(unsigned char option, const std::string& payload) {
  return std::string{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(option)} +
         Escape(payload.data(), payload.size()) +
         std::string{static_cast<char>(kIac), static_cast<char>(kSe)};
}

std::size_t TelnetCodec::EndOfUnit(const std::string& encoded, std::size_t offset) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(encoded[i]); };
  std::size_t i = 0;
  while (i < offset && i < encoded.size()) {
    if (at(i) != kIac || i + 1 == encoded.size()) {
      ++i;
    } else if (IsNegotiation(at(i + 1))) {
      i += 3;
    } else if (at(i + 1) != kSb) {
      i += 2;
    } else {
      // To the IAC SE that ends it; IAC IAC inside is an escaped payload byte.
      i += 3;
      while (i < encoded.size() && !(at(i) == kIac && i + 1 < encoded.size() && at(i + 1) == kSe)) {
        i += at(i) == kIac ? 2 : 1;
      }
      i += 2;
    }
  }
  return i < encoded.size() ? i : encoded.size();
}

void TelnetCodec::Decode(const char* bytes, std::size_t count, std::string* data,
                         std::vector<TelnetCodec::Command>* commands) {
  for (std::size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    switch (state_) {
      case State::kData:
        if (byte == kIac) {
          state_ = State::kCommand;
        } else {
          *data += static_cast<char>(byte);
        }
        break;
      case State::kCommand:
        if (byte == kIac) {
          *data += static_cast<char>(byte);
          state_ = State::kData;
        } else {
          AfterIac(byte);
        }
        break;
      case State::kOption:
        commands->push_back({verb_, byte, {}});
        state_ = State::kData;
        break;
      case State::kSubOption:
        sub_option_ = byte;
        sub_payload_.clear();
        sub_overflow_ = false;
        state_ = State::kSubData;
        break;
      case State::kSubData:
      case State::kSubCommand:
        if (state_ == State::kSubData && byte == kIac) {
          state_ = State::kSubCommand;
        } else if (state_ == State::kSubCommand && byte == kSe) {
          if (sub_overflow_) {
            ++errors_;
          } else {
            commands->push_back({kSb, sub_option_, sub_payload_});
          }
          state_ = State::kData;
        } else if (state_ == State::kSubCommand && byte != kIac) {
          // The subnegotiation never ended properly: it is lost, the command after IAC holds.
          ++errors_;
          AfterIac(byte);
        } else if (sub_payload_.size() < kMaxSubnegotiation) {
          sub_payload_ += static_cast<char>(byte);
          state_ = State::kSubData;
        } else {
          sub_overflow_ = true;
          state_ = State::kSubData;
        }
        break;
    }
  }
}

void TelnetCodec::AfterIac(unsigned char byte) {
  state_ = State::kData;
  if (IsNegotiation(byte)) {
    verb_ = byte;
    state_ = State::kOption;
  } else if (byte == kSb) {
    state_ = State::kSubOption;
  } else if (byte <= kSe) {
    // Below SE is no command at all; SE itself only ends a subnegotiation.
    ++errors_;
  }
}

}  // namespace pelorus
