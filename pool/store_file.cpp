// A store file's identity: its device and inode.
#include "pool/store_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace pelorus::pool {

std::optional<StoreFile> StoreFile::Of(const std::string& path, std::string* error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    *error = errno == ENOENT ? "no such file" : std::strerror(errno);
    return std::nullopt;
  }
  return StoreFile(info.st_dev, info.st_ino);
}

}  // namespace pelorus::pool
