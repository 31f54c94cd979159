#include "bench/engine/memory.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstring>

namespace vastrel::bench {

Memory ReadMemory() {
  Memory m;
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return m;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    unsigned long long kb = 0;
    if (std::sscanf(line, "VmHWM: %llu kB", &kb) == 1)
      m.peak = kb * 1024;
    else if (std::sscanf(line, "VmRSS: %llu kB", &kb) == 1)
      m.resident = kb * 1024;
    else if (std::sscanf(line, "RssAnon: %llu kB", &kb) == 1)
      m.anonymous = kb * 1024;
  }
  std::fclose(f);
  return m;
}

bool ResetPeak() {
  // Writing 5 to clear_refs resets the high-water mark to the current resident size.
  std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (!f) return false;
  const bool ok = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && ok;
}

uint64_t LifetimePeak() {
  rusage u{};
  if (getrusage(RUSAGE_SELF, &u) != 0) return 0;
  return static_cast<uint64_t>(u.ru_maxrss) * 1024;
}

}  // namespace vastrel::bench
