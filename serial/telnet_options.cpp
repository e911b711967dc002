#include "telnet_options.h"

#include "telnet_codec.h"

namespace pelorus {
namespace {

using namespace telnet;

bool WeWant(unsigned char option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

// The server's echo would only double what the device echoes itself, and its com-port side
// is the server's business, so only these two are welcome from it.
bool TheyMay(unsigned char option) {
  return option == kBinary || option == kSuppressGoAhead;
}

// One side of one option: `enable` is the received WILL or DO, `wanted` whether we agree,
// yes/no the verbs of our answer. An answer only goes out when the state changes.
std::string Settle(TelnetOptions::State* state, bool enable, bool wanted, unsigned char yes,
                   unsigned char no, unsigned char option) {
  using State = TelnetOptions::State;
  if (enable) {
    if (*state == State::kAsked) {
      *state = State::kYes;
    } else if (*state == State::kNo) {
      *state = wanted ? State::kYes : State::kNo;
      return TelnetCodec::Negotiation(wanted ? yes : no, option);
    }
    return {};
  }
  const bool was_on = *state == State::kYes;
  *state = State::kNo;
  return was_on ? TelnetCodec::Negotiation(no, option) : std::string();
}

}  // namespace

std::string TelnetOptions::Offers() {
  std::string offers;
  for (const unsigned char option : {kBinary, kSuppressGoAhead}) {
    theirs_[option] = State::kAsked;
    offers += TelnetCodec::Negotiation(kDo, option);
  }
  for (const unsigned char option : {kBinary, kSuppressGoAhead, kComPort}) {
    ours_[option] = State::kAsked;
    offers += TelnetCodec::Negotiation(kWill, option);
  }
  return offers;
}

std::string TelnetOptions::Receive(unsigned char verb, unsigned char option) {
  switch (verb) {
    case kWill:
    case kWont:
      return Settle(&theirs_[option], verb == kWill, TheyMay(option), kDo, kDont, option);
    case kDo:
    case kDont:
      return Settle(&ours_[option], verb == kDo, WeWant(option), kWill, kWont, option);
    default:
      return {};
  }
}

}  // namespace pelorus
