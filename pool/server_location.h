#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pelorus::pool {

// A PostgreSQL server's location as libpq itself reads it (a postgresql:// or postgres://
// URI, or a "key=value ..." string), so that it can be shown, and things named after it,
// without its secrets: the password and the SSL key's password (sslpassword) are part of
// neither, however they are written.
class ServerLocation {
 public:
  // The location read; nullopt with *why when libpq cannot read it. why never quotes the
  // location (which may hold a secret), only libpq's option names.
  static std::optional<ServerLocation> Parse(const std::string& text, std::string* why);
  // What may be shown of a location that cannot be read: its kind, nothing of what it says.
  static std::string Unreadable(const std::string& text);

  // The location as it may be shown, in the form it was given (a URI, or key=value): every
  // option it names, each secret as ****.
  std::string Shown() const;
  // Which store it names, for naming files after it: service, user, host (and host address),
  // port and database as the location gives them, empty where it leaves them to libpq's
  // defaults. Neither a secret nor any other option changes it.
  std::string Store() const;
  // The secrets' values, to be left out of whatever the server or libpq says.
  const std::vector<std::string>& Secrets() const { return secrets_; }

 private:
  struct Option {
    std::string key;
    std::string value;  // as shown: a secret as ****
  };

  ServerLocation() = default;
  // The value of key as shown, empty when the location does not name it.
  std::string Value(const std::string& key) const;
  std::string ShownUri() const;

  std::string scheme_;  // "postgresql://" or "postgres://" for a URI, empty for key=value
  std::vector<Option> options_;
  std::vector<std::string> secrets_;
};

}  // namespace pelorus::pool
