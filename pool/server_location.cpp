#include "pool/server_location.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

namespace pelorus::pool {
namespace {

constexpr const char* kMasked = "****";
// Shown first, in this order; libpq's order for the rest.
const char* const kLeading[] = {"host", "hostaddr", "port", "dbname", "user", "password"};

std::string SchemeOf(const std::string& text) {
  for (const char* scheme : {"postgresql://", "postgres://"}) {
    if (text.rfind(scheme, 0) == 0) {
      return scheme;
    }
  }
  return "";
}

// What libpq says of a location it cannot read, without what it quotes from the location:
// only its own option names (and single characters such as "=") stay.
std::string WithoutQuotes(const std::string& message) {
  std::set<std::string> keywords;
  PQconninfoOption* defaults = PQconndefaults();
  for (const PQconninfoOption* o = defaults; o != nullptr && o->keyword != nullptr; ++o) {
    keywords.insert(o->keyword);
  }
  PQconninfoFree(defaults);
  std::string said;
  std::size_t at = 0;
  while (at < message.size()) {
    const std::size_t open = message.find('"', at);
    const std::size_t close = open == std::string::npos ? open : message.find('"', open + 1);
    if (close == std::string::npos) {
      said += message.substr(at);
      break;
    }
    const std::string quoted = message.substr(open + 1, close - open - 1);
    said += message.substr(at, open - at) + "\"" +
            (quoted.size() <= 1 || keywords.count(quoted) > 0 ? quoted : "...") + "\"";
    at = close + 1;
  }
  while (!said.empty() && std::isspace(static_cast<unsigned char>(said.back())) != 0) {
    said.pop_back();
  }
  return said;
}

std::string PercentEncoded(const std::string& text) {
  std::string encoded;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' ||
        c == '~') {
      encoded += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      encoded += hex;
    }
  }
  return encoded;
}

// A key=value value as libpq reads it back.
std::string Quoted(const std::string& value) {
  if (!value.empty() && value.find_first_of(" \t\n\r\f\v'\\") == std::string::npos) {
    return value;
  }
  std::string quoted = "'";
  for (const char c : value) {
    if (c == '\'' || c == '\\') {
      quoted += '\\';
    }
    quoted += c;
  }
  return quoted + "'";
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (std::size_t comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
    parts.push_back(list.substr(at, comma - at));
  }
  parts.push_back(list.substr(at));
  return parts;
}

}  // namespace

std::optional<ServerLocation> ServerLocation::Parse(const std::string& text, std::string* why) {
  char* message = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(text.c_str(), &message);
  if (parsed == nullptr) {
    *why = WithoutQuotes(message != nullptr ? message : "out of memory");
    if (!SchemeOf(text).empty()) {
      *why +=
          " (in a URI, a password's % # ? @ / : and blanks are written %25 %23 %3F %40 "
          "%2F %3A %20)";
    }
    PQfreemem(message);
    return std::nullopt;
  }
  ServerLocation location;
  location.scheme_ = SchemeOf(text);
  for (const PQconninfoOption* o = parsed; o->keyword != nullptr; ++o) {
    if (o->val == nullptr) {
      continue;
    }
    const bool secret = o->dispchar != nullptr && o->dispchar[0] == '*';
    std::string value = o->val;
    if (secret) {
      location.secrets_.push_back(value);
      value = kMasked;
    } else if (std::string(o->keyword) == "dbname" && !SchemeOf(value).empty()) {
      // A database name that is itself a location: shown the same way.
      std::string ignored;
      const auto inner = Parse(value, &ignored);
      location.secrets_.push_back(value);
      if (inner) {
        location.secrets_.insert(location.secrets_.end(), inner->secrets_.begin(),
                                 inner->secrets_.end());
      }
      value = inner ? inner->Shown() : Unreadable(value);
    }
    location.options_.push_back({o->keyword, value});
  }
  PQconninfoFree(parsed);
  std::stable_sort(
      location.options_.begin(), location.options_.end(), [](const Option& a, const Option& b) {
        const auto rank = [](const std::string& key) {
          return std::find(std::begin(kLeading), std::end(kLeading), key) - std::begin(kLeading);
        };
        return rank(a.key) < rank(b.key);
      });
  return location;
}

std::string ServerLocation::Unreadable(const std::string& text) {
  const std::string scheme = SchemeOf(text);
  return scheme.empty() ? "a libpq connection string" : scheme + "...";
}

std::string ServerLocation::Value(const std::string& key) const {
  for (const Option& option : options_) {
    if (option.key == key) {
      return option.value;
    }
  }
  return "";
}

std::string ServerLocation::Shown() const {
  if (!scheme_.empty()) {
    return ShownUri();
  }
  std::string shown;
  for (const Option& option : options_) {
    shown += (shown.empty() ? "" : " ") + option.key + "=" +
             (option.value == kMasked ? option.value : Quoted(option.value));
  }
  return shown;
}

std::string ServerLocation::ShownUri() const {
  // A password goes with its user; without one, into the query.
  const std::string user = Value("user");
  std::string shown = scheme_;
  if (!user.empty()) {
    shown +=
        PercentEncoded(user) + (Value("password").empty() ? "" : ":" + std::string(kMasked)) + "@";
  }
  // Hosts go into the authority, with their ports when each has one; a socket folder, or
  // one port for several hosts, go into the query.
  const std::vector<std::string> hosts = Split(Value("host"));
  const std::vector<std::string> ports = Split(Value("port"));
  bool hosts_placed = true;
  for (const std::string& host : hosts) {
    hosts_placed = hosts_placed && (host.empty() || (host[0] != '/' && host[0] != '@'));
  }
  const bool ports_placed = hosts_placed && ports.size() == hosts.size();
  for (std::size_t i = 0; hosts_placed && i < hosts.size(); ++i) {
    const std::string& host = hosts[i];
    shown += (i == 0 ? "" : ",") +
             (host.find(':') != std::string::npos ? "[" + host + "]" : PercentEncoded(host)) +
             (ports_placed && !ports[i].empty() ? ":" + PercentEncoded(ports[i]) : "");
  }
  const std::string dbname = Value("dbname");
  if (!dbname.empty()) {
    shown += "/" + PercentEncoded(dbname);
  }
  std::string query;
  for (const Option& option : options_) {
    const bool placed = option.key == "user" || (option.key == "password" && !user.empty()) ||
                        option.key == "dbname" || (option.key == "host" && hosts_placed) ||
                        (option.key == "port" && ports_placed);
    if (!placed) {
      query += (query.empty() ? "?" : "&") + option.key + "=" +
               (option.value == kMasked ? option.value : PercentEncoded(option.value));
    }
  }
  return shown + query;
}

std::string ServerLocation::Store() const {
  std::string store;
  const std::string service = Value("service");
  if (!service.empty()) {
    store += "service=" + service + " ";
  }
  const std::string hostaddr = Value("hostaddr");
  return store + Value("user") + "@" + Value("host") +
         (hostaddr.empty() ? "" : "(" + hostaddr + ")") + ":" + Value("port") + "/" +
         Value("dbname");
}

}  // namespace pelorus::pool
