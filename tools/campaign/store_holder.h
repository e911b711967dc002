#pragma once

#include <string>

namespace pelorus::campaign {

// The campaign's hand on the store: a process of its own (pelorus-campaign --hold-store
// LOCATION) that keeps a connection open and obeys one command per line on standard input,
// answering each with one line on standard output once it has taken effect:
//   hold          the pool's write lock: SQLite's file lock (BEGIN EXCLUSIVE); PostgreSQL's
//                 row locks on pelorus_pools, which every lease waits for   -> "held"
//   hold-station S  SQLite: as hold; PostgreSQL: the row locks on station S's leased and
//                 written addresses only, which that station's marks wait for  -> "held"
//   cut           SQLite: as hold; PostgreSQL: the database takes no new connection and every
//                 other session is ended, so the store is out of reach      -> "held"
//   kill          PostgreSQL: every other session of the database is ended  -> "killed"
//   release       whatever is held is let go                                -> "released"
// A command that fails answers "failed <why>". The end of standard input releases and ends.
int HoldStore(const std::string& location);

}  // namespace pelorus::campaign
