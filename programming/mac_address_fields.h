#pragma once

#include <string>

#include "field_binding.h"

namespace pelorus {

// The address being written: six octet strings, OCTET1 (most significant) to OCTET6, bound
// one to one to the window's octet boxes. They are the only store of the address; this class
// owns them and the rules that act on them.
class MacAddressFields {
 public:
  explicit MacAddressFields(FieldBinding& binding);

  std::string OCTET1, OCTET2, OCTET3, OCTET4, OCTET5, OCTET6;

  // Octet string k, k = 1 ... 6.
  std::string& Octet(int k);
  const std::string& Octet(int k) const;

  // Loads, then checks the six strings in order. Returns 0 when every string is exactly two
  // characters from 0-9/A-F and the address is a station's own (and then stores); -k when
  // string k is the first invalid one. An odd first octet (the group bit: broadcast and
  // multicast addresses, which no device may take) makes string 1 invalid.
  int ValidateOctets();

  // String k read as a base-16 number by strtol's rules (blanks, sign and 0x allowed, stops at
  // the first non-hex character, 0 for empty or non-numeric text).
  int ParseOctet(int k) const;

  // Loads, steps the 48-bit address by +1 or -1 with carry or borrow (wrapping at both ends),
  // writes each octet back as two lower-case hex digits, stores and scrolls the log to its end;
  // true. When the result would be a group address (odd first octet), the strings stay as
  // they were, nothing is stored and the result is false.
  bool StepAddress(int direction);

  // The six strings as they are, joined by separator ("00:1A:2B:3C:4D:5E" for ":").
  std::string Joined(const char* separator) const;

  // The six parsed values as "%x:%x:%x:%x:%x:%x", from the strings as they are (no load).
  std::string FormatAddressForLog() const;

 private:
  FieldBinding& binding_;
};

}  // namespace pelorus
