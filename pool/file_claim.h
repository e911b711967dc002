#pragma once

#include <string>

namespace pelorus::pool {

// A station's claim on a pool in a SQLite file: at most one holder at a time on the file's
// host, whatever process asks; it ends with the holder's descriptors (Release, the object's
// end, or the process's, however it dies). Two locks make it, and a claim takes both:
//  - a local socket bound under a name made of the pool file's identity (device and inode)
//    and the pool and station; nothing on disk stands for it, so nobody can remove it, and a
//    refused claimer learns the holder's process from it;
//  - an flock on FILE.stations/POOL@STATION.lock (names percent-escaped), which also holds
//    between processes that see different sockets (containers on one host) and tells whoever
//    is refused who holds it: it holds "host pid since" of its holder.
// Not thread-safe.
class FileClaim {
 public:
  enum class Result {
    kTaken,
    kHeld,    // another holds it
    kFailed,  // it cannot be told (the pool file or its folder cannot be reached)
  };

  explicit FileClaim(std::string pool_file);
  ~FileClaim();
  FileClaim(const FileClaim&) = delete;
  FileClaim& operator=(const FileClaim&) = delete;

  // Takes station of pool name, giving up the one held first unless it is the same (then
  // kTaken). kHeld with *why naming the holder ("host bench3, process 4242 since
  // 2026-12-06T09:41:07Z", the since left out when it cannot be told), kFailed with *why.
  Result Take(const std::string& name, const std::string& station, std::string* why);
  void Release();
  // Answers the refused claimers that asked the socket who holds it; the holder calls it with
  // each step, so that those asking never find the socket's queue full.
  void Answer();

 private:
  // Who holds the socket at address, as its process and the lock file tell.
  std::string HolderOfSocket(const std::string& address, const std::string& lock_path) const;

  std::string pool_file_;
  std::string name_;
  std::string station_;
  int socket_ = -1;
  int lock_ = -1;
};

}  // namespace pelorus::pool
