#pragma once

#include "tools/pool/request.h"

// pelorus-pool serve: the line's live view in a browser.
namespace pelorus::pool {

// Serves the web view (WebServer) of the pool --name names (or the store's only pool, or else
// default) on --listen until SIGINT or SIGTERM; says on stderr that the page has no login when
// it listens on another address than the loopback. True once stopped; false once the reason
// is out on stderr.
bool ServeStep(const Request& request);

}  // namespace pelorus::pool
