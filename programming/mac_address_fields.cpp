#include "mac_address_fields.h"

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace pelorus {

namespace {

constexpr int kOctetCount = 6;

bool IsUpperHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// The least significant bit of the first octet marks a group (multicast or broadcast)
// address: written into a device, it would make the device answer for a whole group.
bool IsGroupOctet(long long octet) {
  return (octet & 1) != 0;
}

}  // namespace

MacAddressFields::MacAddressFields(FieldBinding& binding) : binding_(binding) {}

std::string& MacAddressFields::Octet(int k) {
  return const_cast<std::string&>(static_cast<const MacAddressFields&>(*this).Octet(k));
}

const std::string& MacAddressFields::Octet(int k) const {
  switch (k) {
    case 1:
      return OCTET1;
    case 2:
      return OCTET2;
    case 3:
      return OCTET3;
    case 4:
      return OCTET4;
    case 5:
      return OCTET5;
    default:
      return OCTET6;
  }
}

int MacAddressFields::ValidateOctets() {
  binding_.LoadFields();
  for (int k = 1; k <= kOctetCount; ++k) {
    const std::string& octet = Octet(k);
    // The boxes take two characters at most, so a longer string never came from the operator;
    // it is refused rather than judged by its first two characters.
    if (octet.size() != 2 || !IsUpperHexDigit(octet[0]) || !IsUpperHexDigit(octet[1]) ||
        (k == 1 && IsGroupOctet(ParseOctet(1)))) {
      return -k;
    }
  }
  binding_.StoreFields();
  return 0;
}

int MacAddressFields::ParseOctet(int k) const {
  // A parsed octet is a 32-bit value; text beyond that range saturates as a 32-bit strtol
  // would, instead of wrapping into an unrelated number.
  const long value = std::strtol(Octet(k).c_str(), nullptr, 16);
  if (value > INT_MAX) {
    return INT_MAX;
  }
  if (value < INT_MIN) {
    return INT_MIN;
  }
  return static_cast<int>(value);
}

bool MacAddressFields::StepAddress(int direction) {
  binding_.LoadFields();
  // Wider than int so that stepping a saturated value cannot overflow.
  std::array<long long, kOctetCount> octets{};
  for (int k = 1; k <= kOctetCount; ++k) {
    octets[k - 1] = ParseOctet(k);
  }
  for (int i = kOctetCount - 1; i >= 0; --i) {
    long long& octet = octets[i];
    if (direction > 0) {
      if (octet + 1 < 256) {
        ++octet;
        break;
      }
      octet -= 255;
    } else {
      if (octet - 1 >= 0) {
        --octet;
        break;
      }
      octet = 255;
    }
  }
  if (IsGroupOctet(octets[0])) {
    return false;
  }
  for (int k = 1; k <= kOctetCount; ++k) {
    // Only the low byte is written back: text read as a negative or oversized number must not
    // turn into a longer string that later overruns a command.
    char text[3];
    std::snprintf(text, sizeof text, "%02x", static_cast<unsigned>(octets[k - 1] & 0xFF));
    Octet(k) = text;
  }
  binding_.StoreFields();
  binding_.ScrollLogToEnd();
  return true;
}

std::string MacAddressFields::Joined(const char* separator) const {
  std::string text = OCTET1;
  for (int k = 2; k <= kOctetCount; ++k) {
    text += separator;
    text += Octet(k);
  }
  return text;
}

std::string MacAddressFields::FormatAddressForLog() const {
  char text[6 * 8 + 5 + 1];
  std::snprintf(text, sizeof text, "%x:%x:%x:%x:%x:%x", static_cast<unsigned>(ParseOctet(1)),
                static_cast<unsigned>(ParseOctet(2)), static_cast<unsigned>(ParseOctet(3)),
                static_cast<unsigned>(ParseOctet(4)), static_cast<unsigned>(ParseOctet(5)),
                static_cast<unsigned>(ParseOctet(6)));
  return text;
}

}  // namespace pelorus
