#pragma once

#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "pool/address_pool.h"

// What pelorus-pool's commands share: the request the command line fills in, and how a
// command says why it failed.
namespace pelorus::pool {

constexpr const char* kAddressForm = "six octets of two hex digits, - or : between them";

// What one command needs; filled in by the command line.
struct Request {
  std::string location;
  std::string name = AddressPool::kDefaultName;
  bool name_given = false;  // --name was on the command line
  std::string address;
  std::string first;
  std::string last;
  std::string station;
  std::string port;
  std::string readback;
  std::string token;  // of the lease a mark is one of; empty for none
  std::string csv;
  std::string since;
  bool json = false;
  bool attempts = false;
  bool unconfirmed = false;
  std::string reason;
  std::string by;
  std::string listen = "127.0.0.1:8080";  // serve: where the web view listens
};

// The check of a pool's or station's name given on the command line (see NameProblem); what
// is "pool" or "station".
inline CLI::Validator UsableName(const std::string& what) {
  return CLI::Validator([what](std::string& name) { return NameProblem(what, name); }, "");
}

inline bool Fail(const std::string& reason) {
  std::cerr << "pelorus-pool: " << reason << '\n';
  return false;
}

inline bool ParseAddress(const std::string& text, Mac48* address) {
  const auto parsed = pelorus::ParseMac48(text);
  if (!parsed) {
    return Fail("malformed address \"" + text + "\" (" + kAddressForm + ")");
  }
  *address = *parsed;
  return true;
}

}  // namespace pelorus::pool
