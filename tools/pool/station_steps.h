#pragma once

#include "tools/pool/request.h"

// pelorus-pool's steps for stations that program devices with a script of their own: each
// takes the station's claim for its duration and puts the station's journal on record first,
// as a window does. True on success; false once the reason is out on stderr.
namespace pelorus::pool {

// Prints the station's leased address (a new one when it has none) alone, or with --json
// as {"address":"...","token":"..."}: the token of this lease, which supersedes any before.
bool LeaseStep(const Request& request);
// Marks of a lease (--token) or, without one, of the station's leased address. Without
// --name, the pool is the one the address lies in.
bool WrittenStep(const Request& request);
// A verified mark the store fails goes into the station's journal: still a success.
bool VerifiedStep(const Request& request);
// Puts the station's journal on record now, printing what became of each mark.
bool JournalStep(const Request& request);
// Gives back a written, never verified address (request.by and request.reason kept on
// record) under the claim of the station that wrote it, after that station's journal is on
// record on this host: refused while another holds the station, and while a mark of the
// address still waits in its journal.
bool ReleaseUnconfirmedStep(const Request& request);

}  // namespace pelorus::pool
