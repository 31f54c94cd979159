// An engine whose reads of damaged pages end the process, as a read of a page that the file
// no longer holds does (SIGBUS): it passes every call to the embedded engine, but a Get
// Direct of the position in CRASH_AT_POSITION, or any call of the operation in CRASH_AT_OP,
// raises SIGBUS. Loaded through VASTREL_ENGINE.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/cli/real_engine.h"

namespace {

long Setting(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::strtol(v, nullptr, 10) : -1;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int16_t BTRCALL(uint16_t op, void* position_block,
                                                                  void* data, uint32_t* data_length,
                                                                  void* key, uint8_t key_length,
                                                                  int8_t key_number) {
  const test_engine::Entry real = test_engine::Real();
  if (!real) return 20;
  if (op % 100 == Setting("CRASH_AT_OP")) std::raise(SIGBUS);
  if (op % 100 == 23 && data && data_length && *data_length >= 4) {
    int32_t position;
    std::memcpy(&position, data, 4);
    if (position == Setting("CRASH_AT_POSITION")) std::raise(SIGBUS);
  }
  return real(op, position_block, data, data_length, key, key_length, key_number);
}
