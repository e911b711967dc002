#include "pool/station_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>

#include "pool/address_pool.h"
#include "pool/postgres_pool.h"
#include "pool/server_location.h"

namespace pelorus::pool {
namespace {

// The readable part of a journal's file name stays well under any file system's limit; the
// hash after it keeps two stations apart that only differ beyond it.
constexpr std::size_t kReadableNameMax = 96;
// v1 records (no token) are still read: a journal outlives the build that wrote it.
constexpr const char* kVersion = "v2";
constexpr const char* kVersionWithoutToken = "v1";

std::uint64_t Fnv1a64(const std::string& bytes) {
  std::uint64_t digest = 14695981039346656037ULL;
  for (const char c : bytes) {
    digest = (digest ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  return digest;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0xF];
  }
  return hex;
}

std::string Hex64(std::uint64_t value) {
  std::string bytes;
  for (int shift = 56; shift >= 0; shift -= 8) {
    bytes += static_cast<char>((value >> shift) & 0xFF);
  }
  return Hex(bytes);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool Unhex(const std::string& hex, std::string* bytes) {
  if (hex.size() % 2 != 0) {
    return false;
  }
  bytes->clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    *bytes += static_cast<char>(high << 4 | low);
  }
  return true;
}

// A file-name-safe form of text: letters, digits, '.' and '-' stay, anything else is '_'.
std::string SafeName(const std::string& text) {
  std::string safe;
  for (const char c : text) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '-';
    safe += keep ? c : '_';
  }
  return safe;
}

// The time as one field of a record: it never holds a blank, and "-" stands for none.
std::string TimeField(const std::string& at) {
  std::string field;
  for (const char c : at) {
    field += c > ' ' && c < 0x7F ? c : '_';
  }
  return field.empty() ? "-" : field;
}

constexpr JournalMark::Kind kKinds[] = {JournalMark::Kind::kWritten, JournalMark::Kind::kVerified,
                                        JournalMark::Kind::kAttempt};

const char* KindName(JournalMark::Kind kind) {
  switch (kind) {
    case JournalMark::Kind::kWritten:
      return "written";
    case JournalMark::Kind::kVerified:
      return "verified";
    case JournalMark::Kind::kAttempt:
      return "attempt";
  }
  return "?";
}

// One line: "v2 KIND ADDRESS AT TOKEN-HEX DETAIL-HEX CHECK", CHECK being the FNV-1a 64 of
// what comes before its space, TOKEN-HEX "-" for no token; token and detail are hex so that
// the line holds no blank or LF whatever they are. A v1 line has no token field.
std::string Record(const JournalMark& mark) {
  const std::string body = std::string(kVersion) + ' ' + KindName(mark.kind) + ' ' +
                           FormatMac48(mark.address) + ' ' + TimeField(mark.at) + ' ' +
                           (mark.token.empty() ? "-" : Hex(mark.token)) + ' ' + Hex(mark.detail);
  return body + ' ' + Hex64(Fnv1a64(body)) + '\n';
}

bool Parse(const std::string& line, JournalMark* mark) {
  const std::size_t check_at = line.rfind(' ');
  if (check_at == std::string::npos ||
      line.substr(check_at + 1) != Hex64(Fnv1a64(line.substr(0, check_at)))) {
    return false;
  }
  std::istringstream fields(line.substr(0, check_at));
  std::string version, kind, address, token = "-", detail;
  if (!(fields >> version >> kind >> address >> mark->at) ||
      (version != kVersion && version != kVersionWithoutToken) ||
      (version == kVersion && !(fields >> token))) {
    return false;
  }
  fields >> detail;  // absent when the detail is empty
  const auto parsed = ParseMac48(address, "-");
  const JournalMark::Kind* known =
      std::find_if(std::begin(kKinds), std::end(kKinds),
                   [&](JournalMark::Kind k) { return kind == KindName(k); });
  if (!parsed || known == std::end(kKinds) || !Unhex(detail, &mark->detail)) {
    return false;
  }
  mark->token.clear();
  if (token != "-" && !Unhex(token, &mark->token)) {
    return false;
  }
  mark->kind = *known;
  mark->address = *parsed;
  if (mark->at == "-") {
    mark->at.clear();
  }
  return true;
}

std::string Reason(const std::string& path, const char* what) {
  return path + ": " + what + ": " + std::strerror(errno);
}

// fsync of a folder, so that a name made in it survives a power cut.
bool SyncFolder(const std::filesystem::path& folder, std::string* error) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    *error = Reason(folder, "cannot sync the folder");
    if (fd >= 0) {
      close(fd);
    }
    return false;
  }
  close(fd);
  return true;
}

// Makes folder and any missing parent, private to the user, each durable in its parent.
bool MakeFolders(const std::filesystem::path& folder, std::string* error) {
  struct stat info {};
  if (folder.empty() || stat(folder.c_str(), &info) == 0) {
    return true;
  }
  if (!MakeFolders(folder.parent_path(), error)) {
    return false;
  }
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = Reason(folder, "cannot make the folder");
    return false;
  }
  return SyncFolder(folder.parent_path().empty() ? "." : folder.parent_path(), error);
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string StationJournal::PathFor(const std::string& location, const std::string& name,
                                    const std::string& station) {
  // A SQLite file named relative to the folder a station started in is the same store from
  // any other folder: its journal is too. A server's is named after the store alone, so that
  // neither a secret nor another option of the location changes it.
  std::string shown = std::filesystem::absolute(location).lexically_normal().string();
  if (PostgresPool::Names(location)) {
    std::string why;
    const auto server = ServerLocation::Parse(location, &why);
    shown = server ? server->Store() : ServerLocation::Unreadable(location);
  }
  std::filesystem::path folder;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    folder = state;
  } else {
    const char* home = std::getenv("HOME");
    folder = std::filesystem::path(home != nullptr ? home : "") / ".local" / "state";
  }
  std::string readable = SafeName(shown + "_" + name + "_" + station);
  if (readable.size() > kReadableNameMax) {
    readable.erase(0, readable.size() - kReadableNameMax);  // the station's end tells most
  }
  if (readable[0] == '.') {
    readable[0] = '_';
  }
  const std::string triple = shown + '\0' + name + '\0' + station;
  return (folder / "pelorus" / (readable + "-" + Hex64(Fnv1a64(triple)) + ".journal")).string();
}

StationJournal::StationJournal(std::string path) : path_(std::move(path)) {}

bool StationJournal::Append(const JournalMark& mark, std::string* error) {
  const std::filesystem::path path(path_);
  if (!MakeFolders(path.parent_path(), error)) {
    return false;
  }
  bool created = false;
  int fd = open(path_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    created = fd >= 0;
  }
  if (fd < 0) {
    *error = Reason(path_, "cannot open the journal");
    return false;
  }
  std::string record = Record(mark);
  // A record torn by a crash has no line end: the new one starts a line of its own, so that
  // the torn one cannot take it down with it.
  struct stat info {};
  char last = '\n';
  if (fstat(fd, &info) == 0 && info.st_size > 0 && pread(fd, &last, 1, info.st_size - 1) == 1 &&
      last != '\n') {
    record.insert(0, 1, '\n');
  }
  const bool ok = WriteAll(fd, record) && fdatasync(fd) == 0;
  if (!ok) {
    *error = Reason(path_, "cannot write the journal");
  }
  close(fd);
  return ok && (!created || SyncFolder(path.parent_path(), error));
}

bool StationJournal::Read(std::vector<JournalMark>* marks, std::string* error) const {
  marks->clear();
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      return true;
    }
    *error = Reason(path_, "cannot read the journal");
    return false;
  }
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    text.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  if (n < 0) {
    *error = Reason(path_, "cannot read the journal");
  }
  close(fd);
  // Only lines with their end are whole: what follows the last LF is a torn record.
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos;
       start = end + 1, end = text.find('\n', start)) {
    JournalMark mark;
    if (Parse(text.substr(start, end - start), &mark)) {
      marks->push_back(std::move(mark));
    }
  }
  return n == 0;
}

bool StationJournal::Clear(std::string* error) {
  const int fd = open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      return true;
    }
    *error = Reason(path_, "cannot empty the journal");
    return false;
  }
  const bool ok = fdatasync(fd) == 0;
  if (!ok) {
    *error = Reason(path_, "cannot empty the journal");
  }
  close(fd);
  return ok;
}

}  // namespace pelorus::pool
