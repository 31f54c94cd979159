/* A minimal engine library for the binding's loading tests: it answers Version with 6.15,
   counts the operations it receives and exposes the counts to the test that loaded it. */
#include <stdint.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT int test_engine_calls[64];
EXPORT int test_engine_client_calls[64];

static int16_t Answer(uint16_t op, void* data, uint32_t* len) {
  if (op == 26 && data != 0 && *len >= 4) {
    const uint16_t version[2] = {6, 15};
    memcpy(data, version, sizeof version);
    *len = 4;
  }
  return op == 99 ? 1001 : 0;
}

EXPORT int16_t BTRCALL(uint16_t op, void* pos, void* data, uint32_t* len, void* key,
                       uint8_t key_len, int8_t key_num) {
  (void)pos;
  (void)key;
  (void)key_len;
  (void)key_num;
  test_engine_calls[op % 64]++;
  return Answer(op, data, len);
}

EXPORT int16_t BTRCALLID(uint16_t op, void* pos, void* data, uint32_t* len, void* key,
                         uint8_t key_len, int8_t key_num, void* client) {
  (void)pos;
  (void)key;
  (void)key_len;
  (void)key_num;
  (void)client;
  test_engine_client_calls[op % 64]++;
  return Answer(op, data, len);
}
