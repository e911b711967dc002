#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace pelorus::pool {

// The channel every step that writes a PostgreSQL store notifies, in its own transaction: a
// listener hears of each commit, and of nothing rolled back.
constexpr const char* kChangeChannel = "pelorus_changes";

// Tells when a store has changed, without reading its tables: on PostgreSQL it listens on
// kChangeChannel over a connection of its own; on SQLite it asks the file's change counter
// (PRAGMA data_version) at most every kProbeEvery. Not thread-safe: one thread waits on it.
class ChangeWatch {
 public:
  static constexpr std::chrono::milliseconds kProbeEvery{250};

  enum class Result {
    kChanged,  // another connection committed a change since the last Wait
    kQuiet,    // nothing changed within the wait
    kFailed,   // the store could not be asked: *error says why; open a new watch to go on
  };

  // A watch on the store at location (as AddressPool::Open reads it); null with *error (the
  // location shown without its password) when the store cannot be reached.
  static std::unique_ptr<ChangeWatch> Open(const std::string& location, std::string* error);

  virtual ~ChangeWatch() = default;
  // Waits at most wait for a change; changes that came before the call count at once.
  virtual Result Wait(std::chrono::milliseconds wait, std::string* error) = 0;
};

}  // namespace pelorus::pool
