#pragma once

namespace pelorus::pool {

// What became of one store step; nothing carries from one step to the next.
enum class Outcome {
  kDone,
  kRefused,      // the store's answer about this address or station (*error says why)
  kUnavailable,  // busy, lost, timed out, interrupted: the same step may succeed later
};

}  // namespace pelorus::pool
