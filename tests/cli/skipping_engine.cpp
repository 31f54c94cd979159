// A faulty engine for the tool's check: it passes every call to the embedded engine but
// silently skips one record on every Step Next, as a damaged physical chain would. Loaded
// through VASTREL_ENGINE.
#include <cstdint>
#include <string>

#include "tests/cli/real_engine.h"

extern "C" __attribute__((visibility("default"))) int16_t BTRCALL(uint16_t op, void* position_block,
                                                                  void* data, uint32_t* data_length,
                                                                  void* key, uint8_t key_length,
                                                                  int8_t key_number) {
  const test_engine::Entry real = test_engine::Real();
  if (!real) return 20;  // the engine's "record manager inactive"
  const uint32_t offered = data_length ? *data_length : 0;
  int16_t status = real(op, position_block, data, data_length, key, key_length, key_number);
  if (status == 0 && op % 100 == 24) {
    if (data_length) *data_length = offered;
    status = real(op, position_block, data, data_length, key, key_length, key_number);
  }
  return status;
}
