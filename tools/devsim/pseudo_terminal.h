#pragma once

#include <cstddef>
#include <string>

namespace pelorus::devsim {

// The device's end of the cable: the master side of a pseudo-terminal pair (non-blocking),
// with the slave side set raw and held open, so that the host may close and reopen the
// port without the master ever seeing a hang-up. Optionally a symbolic link names the
// slave. Not thread-safe; creating pairs from several threads at once is not either.
class PseudoTerminal {
 public:
  PseudoTerminal() = default;
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // Creates the pair; after Close, a new one (an adapter plugged back in, likely under another
  // name). False with a one-line *error if any step fails.
  bool Open(std::string* error);
  // Makes `path` a symbolic link to the slave. A link left behind by an earlier run is
  // replaced; any other file at `path` is not touched and makes this fail.
  bool Link(const std::string& path, std::string* error);

  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }

  // Starts watching for opens of the slave by anyone else; returns an fd that becomes
  // readable when one happens, or -1 (with *error).
  int WatchOpens(std::string* error);
  // True if the slave was opened since the last call; clears the watch's readiness.
  bool TakeOpens();

  // Bytes written to the master that the host has not read yet (0 once hung up).
  std::size_t Unread() const;

  // Closes both sides, which the host sees as a hang-up, and removes the link. Idempotent.
  void Close();

 private:
  void RemoveLink();

  int master_ = -1;
  int slave_ = -1;
  int watch_ = -1;
  std::string slave_path_;
  std::string link_path_;
};

}  // namespace pelorus::devsim
