#include "tools/pool/replacing_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace pelorus::pool {
namespace {

// A record runs to gigabytes: large writes keep the cost per row down.
constexpr std::size_t kBufferBytes = 1 << 20;

std::string Reason(const std::string& path) {
  return "cannot write " + path + ": " + std::strerror(errno);
}

}  // namespace

ReplacingFile::ReplacingFile(std::string path)
    : path_(std::move(path)), buffer_(new char[kBufferBytes]) {}

ReplacingFile::~ReplacingFile() {
  if (!temporary_.empty()) {
    stream_.close();
    unlink(temporary_.c_str());
  }
}

bool ReplacingFile::Open(std::string* error) {
  const auto slash = path_.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  // Hidden, and beside the target so that the rename stays within one file system.
  std::string name = folder + "." + base + ".XXXXXX";
  std::vector<char> writable(name.begin(), name.end());
  writable.push_back('\0');
  const int fd = mkstemp(writable.data());
  if (fd < 0) {
    *error = Reason(path_);
    return false;
  }
  temporary_ = writable.data();
  // mkstemp makes the file for its owner alone; the record gets what a new file would.
  const mode_t mask = umask(0);
  umask(mask);
  const bool made = fchmod(fd, 0666 & ~mask) == 0;
  close(fd);
  if (!made) {
    *error = Reason(temporary_);
    return false;
  }
  stream_.rdbuf()->pubsetbuf(buffer_.get(), kBufferBytes);
  stream_.open(temporary_, std::ios::binary | std::ios::trunc);
  if (!stream_) {
    *error = Reason(temporary_);
    return false;
  }
  return true;
}

bool ReplacingFile::Commit(std::string* error) {
  stream_.close();
  if (stream_.fail()) {
    *error = "cannot write " + temporary_;
    return false;
  }
  const int fd = open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) {
    close(fd);
  }
  if (!synced || rename(temporary_.c_str(), path_.c_str()) != 0) {
    *error = Reason(path_);
    return false;
  }
  temporary_.clear();
  return true;
}

}  // namespace pelorus::pool
