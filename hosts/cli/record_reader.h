// Whole-record reads for the vastrel tool.
//
// The table reports a record that did not fit its data buffer (status 22) but not how
// long a record it read, which a tool that copies variable-length records needs. The tool
// therefore puts a thin observer in front of the engine's two entry points: every call
// passes through unchanged, and the observer keeps the status and the data length of the
// last one. InstallLengthObserver() must run before the first table call.
//
// A RecordWalk reads along one key path, or in physical order, and hands out every
// record whole: when a record is longer than the data buffer, it takes the record's
// position, doubles the buffer and reads it again directly, until it fits.
#pragma once

#include <cstdint>
#include <string>

#include "table/btr.h"

namespace vastrel::cli {

// Loads the engine library that the component uses and routes its entry points through
// the observer. False when the library or its plain entry cannot be found; the component's
// own binding is then left as it was (and reports the missing engine on the first call).
bool InstallLengthObserver();

// The status and data length of the engine's last call.
int16_t LastStatus();
uint32_t LastDataLength();

// The path the walk takes: a key number from 0, or kPhysicalOrder.
inline constexpr int kPhysicalOrder = -1;
// The largest record the walk grows its buffer for.
inline constexpr int32_t kMaxRecordBuffer = 64 * 1024 * 1024;

class RecordWalk {
 public:
  // REQUIRES: the table is open. Takes over its key number, step type and data buffer.
  RecordWalk(table::TBtr& table, int path);
  ~RecordWalk();

  // Reads the first, then the next record; false at the end of the path (status 9).
  // Engine failures raise Btrexception.
  bool Next();

  const uint8_t* Data() const { return table_.DataBuffer(); }
  uint32_t Length() const { return length_; }
  // The physical position of the record just read.
  int32_t Position();

 private:
  // Runs one read; returns false for status 9, re-reads a record that did not fit.
  bool Read(void (table::TBtr::*read)());

  table::TBtr& table_;
  int path_;
  bool started_ = false;
  uint32_t length_ = 0;
  table::TStepType old_step_type_;
};

}  // namespace vastrel::cli
