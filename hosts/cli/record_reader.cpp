#include "hosts/cli/record_reader.h"

#include "binding/btrexception.h"
#include "enginecore/include/wbtrv32.h"

namespace vastrel::cli {

RecordWalk::RecordWalk(table::TBtr& table, int path)
    : table_(table), path_(path), old_step_type_(table.StepType()) {
  table_.SetStepType(path == kPhysicalOrder ? table::stNoKeys : table::stNormal);
  table_.SetKeyNum(static_cast<int16_t>(path == kPhysicalOrder ? 0 : path));
  if (table_.DataBufferLength() < table_.RecordSize())
    table_.SetDataBufferLength(table_.RecordSize());
}

RecordWalk::~RecordWalk() { table_.SetStepType(old_step_type_); }

bool RecordWalk::Next() {
  const bool first = !started_;
  started_ = true;
  return Read(first ? &table::TBtr::First : &table::TBtr::Next);
}

bool RecordWalk::Read(void (table::TBtr::*read)()) {
  try {
    (table_.*read)();
  } catch (const Btrexception& e) {
    if (e.Status() == BTR_END_OF_FILE) return false;
    throw;
  }
  length_ = table_.LastReadLength();
  if (!table_.LastReadCut()) return true;

  // The record is longer than the buffer; currency is on it, so its position reads it
  // again, with the same key path taken up (none in physical order), as often as needed.
  table_.GetPosition();
  for (bool fits = false; !fits;) {
    const int32_t now = table_.DataBufferLength();
    if (now >= kMaxRecordBuffer) {
      throw Exception("a record is longer than " + std::to_string(kMaxRecordBuffer) + " bytes");
    }
    table_.SetDataBufferLength(now > kMaxRecordBuffer / 2 ? kMaxRecordBuffer : now * 2);
    const int16_t key_num = table_.KeyNum();
    table_.SetKeyNum(static_cast<int16_t>(path_ == kPhysicalOrder ? -1 : path_));
    try {
      table_.GetDirect();
    } catch (...) {
      table_.SetKeyNum(key_num);
      throw;
    }
    table_.SetKeyNum(key_num);
    fits = !table_.LastReadCut();
    length_ = table_.LastReadLength();
  }
  return true;
}

int32_t RecordWalk::Position() {
  table_.GetPosition();
  return table_.Position();
}

}  // namespace vastrel::cli
