#include "pool/file_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

namespace pelorus::pool {
namespace {

// Rounds of open, lock and look again while the lock file keeps being replaced under us.
constexpr int kLockFileRounds = 100;

// A name as a part of a file name: letters, digits, '.', '_' and '-' stay, any other byte
// becomes %XX, so that no two names share a file and none leaves the folder.
std::string FileNamePart(const std::string& name) {
  std::string part;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '.' || c == '_' || c == '-') {
      part += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", byte);
      part += hex;
    }
  }
  return part;
}

std::uint64_t Fnv1a64(const std::string& bytes) {
  std::uint64_t digest = 14695981039346656037ULL;
  for (const char c : bytes) {
    digest = (digest ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  return digest;
}

std::string ThisHost() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return host;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// The abstract socket address of address (a leading NUL, nothing on disk).
sockaddr_un SocketAddress(const std::string& address, socklen_t* length) {
  sockaddr_un where{};
  where.sun_family = AF_UNIX;
  std::memcpy(where.sun_path + 1, address.data(), address.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());
  return where;
}

// What the lock file says of its holder: host, process id and, from this build on, since.
struct Note {
  std::string host;
  std::string pid;
  std::string since;
};

Note ReadNote(int fd) {
  char text[160] = {};
  const ssize_t got = pread(fd, text, sizeof text - 1, 0);
  std::istringstream words(std::string(text, got > 0 ? static_cast<std::size_t>(got) : 0));
  Note note;
  words >> note.host >> note.pid >> note.since;
  return note;
}

std::string Named(const Note& note) {
  if (note.pid.empty()) {
    return "another process";
  }
  return "host " + note.host + ", process " + note.pid +
         (note.since.empty() ? "" : " since " + note.since);
}

std::string Reason(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

}  // namespace

FileClaim::FileClaim(std::string pool_file) : pool_file_(std::move(pool_file)) {}

FileClaim::~FileClaim() {
  Release();
}

void FileClaim::Release() {
  // The lock file keeps naming this process; only a holder is ever named from it, and a new
  // holder writes itself first.
  for (int* fd : {&lock_, &socket_}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
}

void FileClaim::Answer() {
  for (int asked; socket_ >= 0 && (asked = accept4(socket_, nullptr, nullptr,
                                                   SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
    close(asked);
  }
}

FileClaim::Result FileClaim::Take(const std::string& name, const std::string& station,
                                  std::string* why) {
  if (lock_ >= 0 && name == name_ && station == station_) {
    Answer();
    return Result::kTaken;
  }
  Release();
  struct stat file {};
  if (stat(pool_file_.c_str(), &file) != 0) {
    *why = Reason(pool_file_.c_str(), errno);
    return Result::kFailed;
  }
  const std::string folder = pool_file_ + ".stations";
  const std::string lock_path =
      folder + "/" + FileNamePart(name) + "@" + FileNamePart(station) + ".lock";

  char identity[96];
  std::snprintf(identity, sizeof identity, "pelorus-claim/%jx-%jx/%016jx",
                static_cast<std::uintmax_t>(file.st_dev), static_cast<std::uintmax_t>(file.st_ino),
                static_cast<std::uintmax_t>(Fnv1a64(name + '\0' + station)));
  socklen_t length = 0;
  const sockaddr_un address = SocketAddress(identity, &length);
  socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (socket_ < 0 || bind(socket_, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      listen(socket_, SOMAXCONN) != 0) {
    const int error = errno;
    Release();
    if (error == EADDRINUSE) {
      *why = HolderOfSocket(identity, lock_path);
      return Result::kHeld;
    }
    *why = Reason("cannot make the claim's socket", error);
    return Result::kFailed;
  }

  if (mkdir(folder.c_str(), 0775) != 0 && errno != EEXIST) {
    *why = Reason(folder.c_str(), errno);
    Release();
    return Result::kFailed;
  }
  // A lock on a file that no longer has the name (removed, or replaced by another claimer's
  // meanwhile) holds nobody off: only the file that the name leads to counts.
  for (int round = 0; lock_ < 0; ++round) {
    const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0 || round == kLockFileRounds) {
      *why = fd < 0 ? Reason(lock_path.c_str(), errno)
                    : lock_path + ": the file keeps being replaced while it is locked";
      if (fd >= 0) {
        close(fd);
      }
      Release();
      return Result::kFailed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      const Note note = ReadNote(fd);
      close(fd);
      Release();
      if (error != EWOULDBLOCK) {
        *why = Reason(lock_path.c_str(), error);
        return Result::kFailed;
      }
      *why = Named(note);
      return Result::kHeld;
    }
    struct stat locked {};
    struct stat named {};
    if (fstat(fd, &locked) == 0 && stat(lock_path.c_str(), &named) == 0 &&
        locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      lock_ = fd;
    } else {
      close(fd);
    }
  }
  const std::string note = ThisHost() + " " + std::to_string(getpid()) + " " + UtcNow() + "\n";
  if (ftruncate(lock_, 0) != 0 ||
      pwrite(lock_, note.data(), note.size(), 0) != static_cast<ssize_t>(note.size())) {
    *why = Reason(lock_path.c_str(), errno);
    Release();
    return Result::kFailed;
  }
  name_ = name;
  station_ = station;
  return Result::kTaken;
}

std::string FileClaim::HolderOfSocket(const std::string& address,
                                      const std::string& lock_path) const {
  // The socket's holder is the process that listens on it: the kernel says which.
  pid_t pid = 0;
  socklen_t length = 0;
  const sockaddr_un where = SocketAddress(address, &length);
  const int asking = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  ucred peer{};
  socklen_t size = sizeof peer;
  if (asking >= 0 && connect(asking, reinterpret_cast<const sockaddr*>(&where), length) == 0 &&
      getsockopt(asking, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
    pid = peer.pid;
  }
  if (asking >= 0) {
    close(asking);
  }
  Note note;
  const int fd = open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    note = ReadNote(fd);
    close(fd);
  }
  if (pid <= 0 || note.pid == std::to_string(pid)) {
    return pid > 0 ? Named(note) : "another process of host " + ThisHost();
  }
  return Named({ThisHost(), std::to_string(pid), ""});
}

}  // namespace pelorus::pool
