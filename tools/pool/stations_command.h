#pragma once

#include "tools/pool/request.h"

// pelorus-pool stations: each station's latest state in a pool, as the stations publish it.
namespace pelorus::pool {

// Prints the states of the pool --name / --pool names (or the store's only pool, or else
// default): one line per station under a header, with station, activity (and its detail),
// since, the heartbeat's age in whole seconds by this host's clock and the holder; with
// --json one object per station and line: station, activity, detail, since, heartbeat_at,
// holder (text) and heartbeat_age_s (seconds, to the millisecond). True on success; false
// once the reason is out on stderr.
bool StationsStep(const Request& request);

}  // namespace pelorus::pool
