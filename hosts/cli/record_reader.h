// Whole-record reads for the vastrel tool.
//
// A RecordWalk reads along one key path, or in physical order, and hands out every
// record whole: when a record is longer than the data buffer (the table's last read was
// cut), it takes the record's position, doubles the buffer and reads it again directly,
// until it fits. The record's length is the one the table's last read answered.
#pragma once

#include <cstdint>
#include <string>

#include "table/btr.h"

namespace vastrel::cli {

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
