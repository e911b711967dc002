#pragma once

#include <string>

namespace pelorus {

// Why the last open of a port failed, for the operator: what was opened, what kind of
// failure it was and the system's (or the console server's) own words for it.
struct PortError {
  enum class Kind {
    kNone,                 // the last open succeeded, or none was tried
    kNoDevice,             // the port name has no device or console server configured
    kMissing,              // the device does not exist
    kPermissionDenied,     // the device exists but this user may not open it
    kBusy,                 // another program holds the device
    kNotATerminal,         // the path is no terminal device
    kRefused,              // the console server refused the connection
    kUnreachable,          // no route to the server, or its name does not resolve
    kTimedOut,             // the server did not answer in time (connect or negotiation)
    kConnectionLost,       // the server closed or reset the connection while opening
    kNegotiationRefused,   // the Telnet server refuses an option the port needs
    kNegotiationGarbage,   // the Telnet server answered with bytes that make no sense
    kLineSettingsRefused,  // the line does not take the speed or format asked for
    kCancelled,            // the port was closed while it was being opened
    kOther,
  };

  Kind kind = Kind::kNone;
  // The device path, or HOST:PORT for a console server; empty when none is configured.
  std::string target;
  // The system's text for the failure (strerror, the resolver) or what the server did.
  std::string reason;

  // "<target>: <reason>", or the reason alone without a target.
  std::string Text() const { return target.empty() ? reason : target + ": " + reason; }

  // What the window tells the operator of an open that failed: "cannot open " + Text(), with
  // " (is this user in group dialout?)" after it when a device file (a path, not a console
  // server's HOST:PORT) refused this user, since serial devices belong to that group.
  std::string OpenFailure() const {
    const bool device_refused =
        kind == Kind::kPermissionDenied && !target.empty() && target.front() == '/';
    return "cannot open " + Text() + (device_refused ? " (is this user in group dialout?)" : "");
  }
};

}  // namespace pelorus
