#include "process_usage.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace pelorus::bench {
namespace {

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

// A "Name:   1234 kB" line of a /proc status file (or one of a count): the number.
long StatusValue(const std::string& path, const char* name) {
  std::FILE* file = std::fopen(path.c_str(), "r");
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

// A thread's time on a CPU, from the first field of its schedstat (nanoseconds).
double ThreadCpuSeconds(const std::string& task) {
  std::FILE* file = std::fopen((task + "/schedstat").c_str(), "r");
  if (file == nullptr) {
    return -1;
  }
  unsigned long long ns = 0;
  const bool read = std::fscanf(file, "%llu", &ns) == 1;
  std::fclose(file);
  return read ? static_cast<double>(ns) / 1e9 : -1;
}

}  // namespace

ProcessUsage ProcessUsage::Now() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  ProcessUsage now;
  now.cpu_seconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  now.voluntary_switches = usage.ru_nvcsw;
  now.involuntary_switches = usage.ru_nivcsw;
  now.rss_kib = StatusValue("/proc/self/status", "VmRSS");
  now.peak_rss_kib = StatusValue("/proc/self/status", "VmHWM");
  return now;
}

ProcessUsage ProcessUsage::Of(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid);
  ProcessUsage usage;
  usage.cpu_seconds = -1;
  usage.voluntary_switches = usage.involuntary_switches = 0;
  usage.rss_kib = StatusValue(folder + "/status", "VmRSS");
  usage.peak_rss_kib = StatusValue(folder + "/status", "VmHWM");
  // The process's own files count its first thread only (its stat counts them all, but in
  // clock ticks of 10 ms): each thread's add up to the whole.
  DIR* tasks = opendir((folder + "/task").c_str());
  if (tasks == nullptr) {
    return usage;
  }
  usage.cpu_seconds = 0;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    const std::string task = folder + "/task/" + entry->d_name;
    usage.cpu_seconds += std::max(0.0, ThreadCpuSeconds(task));
    usage.voluntary_switches +=
        std::max(0L, StatusValue(task + "/status", "voluntary_ctxt_switches"));
    usage.involuntary_switches +=
        std::max(0L, StatusValue(task + "/status", "nonvoluntary_ctxt_switches"));
  }
  closedir(tasks);
  return usage;
}

}  // namespace pelorus::bench
