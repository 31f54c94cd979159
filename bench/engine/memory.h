// The process's resident memory, read from /proc/self/status. All sizes in bytes; 0 when the
// figure cannot be read.
#pragma once

#include <cstdint>

namespace vastrel::bench {

struct Memory {
  uint64_t peak = 0;       // VmHWM: the most resident since start or the last ResetPeak
  uint64_t resident = 0;   // VmRSS, file-backed map pages included
  uint64_t anonymous = 0;  // RssAnon: heap and other private memory, without mapped files
};

Memory ReadMemory();

// Starts the peak over from what is resident now, so that each phase reports its own peak.
// Returns false where the kernel does not allow it (the peak then spans the whole process).
bool ResetPeak();

// getrusage's ru_maxrss: the process's peak over its whole life, never reset.
uint64_t LifetimePeak();

}  // namespace vastrel::bench
