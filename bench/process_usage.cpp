#include "process_usage.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstring>

namespace pelorus::bench {
namespace {

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

// A "Name:   1234 kB" line of /proc/self/status, in KiB.
long StatusKib(const char* name) {
  std::FILE* file = std::fopen("/proc/self/status", "r");
  if (file == nullptr) {
    return -1;
  }
  long value = -1;
  char line[256];
  const std::size_t length = std::strlen(name);
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
      std::sscanf(line + length + 1, "%ld", &value);
      break;
    }
  }
  std::fclose(file);
  return value;
}

}  // namespace

ProcessUsage ProcessUsage::Now() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  ProcessUsage now;
  now.cpu_seconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  now.voluntary_switches = usage.ru_nvcsw;
  now.involuntary_switches = usage.ru_nivcsw;
  now.rss_kib = StatusKib("VmRSS");
  now.peak_rss_kib = StatusKib("VmHWM");
  return now;
}

}  // namespace pelorus::bench
