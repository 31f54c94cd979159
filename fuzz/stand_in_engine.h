// A record engine made of the fuzz input, for the targets that drive the table without
// files: an Open and a Create answer 0, Stat answers the description of a creation buffer,
// Version answers 1.0, a read answers the record given, and every other call answers the
// next status of a list (a byte below 0x80 stands for 0). It keeps the engine's own
// contract: nothing is read or written past the lengths given, and no more bytes are
// reported than offered.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "binding/engine.h"
#include "enginecore/codec/filespec.h"

namespace fuzz_stand_in {

struct State {
  std::vector<uint8_t> stat;  // empty: Stat answers 30 (not a record file)
  std::string record;
  std::string statuses;
  size_t next = 0;
};

inline State& Current() {
  static State state;
  return state;
}

// Sets the engine's answers for the next run: the description from a creation buffer (one
// that does not parse leaves Stat answering 30), the record reads answer, the statuses.
inline void Reset(std::string_view create_buffer, std::string_view record,
                  std::string_view statuses) {
  State& s = Current();
  s.stat.clear();
  mkde::FileSpec spec;
  if (mkde::ParseCreateBuffer(reinterpret_cast<const uint8_t*>(create_buffer.data()),
                              create_buffer.size(), &spec) == mkde::Status::kOk) {
    size_t segments = 0;
    for (const mkde::KeyDef& k : spec.keys) segments += k.segments.size();
    s.stat.resize(mkde::kFileSpecSize + mkde::kKeyBlockSize * segments + 265 * 8);
    const std::vector<uint32_t> unique(spec.keys.size(), 1);
    s.stat.resize(mkde::BuildStatReply(spec, 1, unique, s.stat.data(), s.stat.size()));
  }
  s.record.assign(record);
  s.statuses.assign(statuses);
  s.next = 0;
}

inline int16_t Call(uint16_t operation, void*, void* data, uint32_t* length, void*, uint8_t,
                    int8_t) {
  State& s = Current();
  const int op = operation % 100;
  const uint32_t room = data && length ? *length : 0;
  auto answer = [&](const void* bytes, size_t n) -> int16_t {
    if (n > room) return 22;
    if (n) std::memcpy(data, bytes, n);
    if (length) *length = static_cast<uint32_t>(n);
    return 0;
  };
  switch (op) {
    case 0:   // Open
    case 1:   // Close
    case 14:  // Create
    case 25:  // Stop
    case 28:  // Reset
      return 0;
    case 15:
      return s.stat.empty() ? 30 : answer(s.stat.data(), s.stat.size());
    case 26: {
      const uint8_t version[5] = {1, 0, 0, 0, 'L'};
      return answer(version, sizeof version);
    }
    default:
      break;
  }
  int16_t status = 0;
  if (!s.statuses.empty()) {
    const auto b = static_cast<uint8_t>(s.statuses[s.next++ % s.statuses.size()]);
    status = b < 0x80 ? 0 : static_cast<int16_t>(b - 0x80);
  }
  const bool read =
      (op >= 5 && op <= 13) || op == 23 || op == 24 || (op >= 33 && op <= 35) || op == 44;
  if (status == 0 && read) {
    const size_t n = std::min<size_t>(s.record.size(), room);
    if (n) std::memcpy(data, s.record.data(), n);
    if (length) *length = static_cast<uint32_t>(n);
    return n < s.record.size() ? 22 : 0;
  }
  if (status == 0 && op == 22) {  // Get Position
    const uint8_t position[4] = {1, 0, 0, 0};
    return answer(position, sizeof position);
  }
  return status;
}

inline int16_t CallId(uint16_t operation, void* pos, void* data, uint32_t* length, void* key,
                      uint8_t key_len, int8_t key_num, void*) {
  return Call(operation, pos, data, length, key, key_len, key_num);
}

// Puts the stand-in behind the component's engine binding (once per process).
inline void Install() {
  static const bool installed = [] {
    vastrel::engine::ModuleStartWith(&Call, &CallId);
    return true;
  }();
  (void)installed;
}

}  // namespace fuzz_stand_in
