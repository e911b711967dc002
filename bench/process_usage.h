#pragma once

#include <sys/types.h>

namespace pelorus::bench {

// What a process (all its threads) has used so far: this one from getrusage and
// /proc/self/status, another from its /proc files.
struct ProcessUsage {
  double cpu_seconds = 0;         // user + system
  long voluntary_switches = 0;    // the threads went to sleep: roughly, wake-ups
  long involuntary_switches = 0;  // the threads were preempted
  long rss_kib = -1;              // resident set now (VmRSS); -1 when unknown
  long peak_rss_kib = -1;         // highest resident set so far (VmHWM); -1 when unknown

  static ProcessUsage Now();
  // Another process of this user's, e.g. a child, from its /proc files: cpu_seconds (-1 when
  // the process is gone) and the switches add up the threads it has now, so a span measured
  // from two of these must be one in which none of its threads ended.
  static ProcessUsage Of(pid_t pid);
};

}  // namespace pelorus::bench
