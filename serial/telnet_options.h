#pragma once

#include <array>
#include <string>

namespace pelorus {

// The option negotiation of one Telnet connection from a console client's side, following
// RFC 1143 so that two sides never answer each other for ever: binary transmission and
// suppress go-ahead both ways and the com-port option (RFC 2217) from our side are wanted and
// offered; everything else is refused (WILL ECHO gets DONT ECHO, an unknown DO gets WONT).
// Options are never switched off from here.
class TelnetOptions {
 public:
  enum class State {
    kNo,
    kYes,
    kAsked,  // offered or requested by us, no answer yet
  };

  // Our offers, to be sent when the connection opens: WILL and DO BINARY, WILL and DO
  // SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION. Marks them asked.
  std::string Offers();
  // The answer to a received WILL, WONT, DO or DONT for option; empty when none is due.
  std::string Receive(unsigned char verb, unsigned char option);

  // Whether we do option (our WILL), and whether the server does it (its WILL).
  State Ours(unsigned char option) const { return ours_[option]; }
  State Theirs(unsigned char option) const { return theirs_[option]; }

 private:
  std::array<State, 256> ours_{};
  std::array<State, 256> theirs_{};
};

}  // namespace pelorus
