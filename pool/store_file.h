#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace pelorus::pool {

// Which file a SQLite store's path names. A store moved away, deleted or put back from a copy
// leaves an open connection reading a file that nobody writes any more, and says nothing of
// it: a reader that keeps a connection takes the file's identity before opening it and
// compares it with the path's now and then.
class StoreFile {
 public:
  // The file that path names now; nullopt with *error ("no such file", or the system's
  // reason) when there is none.
  static std::optional<StoreFile> Of(const std::string& path, std::string* error);

  bool operator==(const StoreFile& other) const {
    return device_ == other.device_ && inode_ == other.inode_;
  }
  bool operator!=(const StoreFile& other) const { return !(*this == other); }

 private:
  StoreFile(dev_t device, ino_t inode) : device_(device), inode_(inode) {}

  dev_t device_;
  ino_t inode_;
};

}  // namespace pelorus::pool
