#pragma once

namespace pelorus::bench {

// What this process (all its threads) has used so far, from getrusage and /proc/self/status.
struct ProcessUsage {
  double cpu_seconds = 0;         // user + system
  long voluntary_switches = 0;    // the threads went to sleep: roughly, wake-ups
  long involuntary_switches = 0;  // the threads were preempted
  long rss_kib = -1;              // resident set now (VmRSS); -1 when unknown
  long peak_rss_kib = -1;         // highest resident set so far (VmHWM); -1 when unknown

  static ProcessUsage Now();
};

}  // namespace pelorus::bench
