// Typed access to one field of the current record, and the index accessor.
//
// The record text is the table's data buffer read as single-byte text up to its first
// NUL byte, never beyond DataBufferLength. A field is Size() characters at 0-based
// character Offset() of that text. The As... properties hold nothing: each read takes the
// value from the data buffer, each write puts it there, converted with the table's format
// settings. Every As... read and write requires the table to be open and otherwise raises
// "File not open." without touching the buffer. Errors are vastrel::Exception.
//
// FieldName, DateType, Offset and Size are plain stored values, usable whether or not the
// table is open; the lookups by name load them from a definition.
// Not thread-safe: the one accessor of a list is shared by every lookup on the host's thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "dictionary/field_type.h"
#include "dictionary/record_host.h"
#include "platform/export.h"

namespace vastrel::dictionary {

class VASTREL_API TBtrField {
 public:
  explicit TBtrField(RecordHost& table) : table_(table) {}
  TBtrField(const TBtrField&) = delete;
  TBtrField& operator=(const TBtrField&) = delete;

  RecordHost& Table() const { return table_; }

  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(std::string v) { field_name_ = std::move(v); }
  // The declared type of the field loaded last (published to automation as FieldType).
  TxFieldType DateType() const { return date_type_; }
  void SetDateType(TxFieldType v) { date_type_ = v; }
  int32_t Offset() const { return offset_; }
  void SetOffset(int32_t v) { offset_ = v; }
  int32_t Size() const { return size_; }
  void SetSize(int32_t v) { size_ = v; }
  // When set, a write whose value text is longer than Size() (trailing blanks aside, which
  // a read drops anyway) is refused, naming the field, instead of cut. The control's
  // accessors keep it clear and cut; the table's TField sets it.
  bool RefuseCut() const { return refuse_cut_; }
  void SetRefuseCut(bool v) { refuse_cut_ = v; }

  // --- Reads. A field that lies beyond the record text, or has a negative Offset or
  // Size, reads as empty text. ---
  // The field text without its trailing blanks; leading blanks stay.
  std::string AsString() const;
  // The trimmed text as a decimal integer; otherwise "'<text>' is not a valid integer value".
  int32_t AsInteger() const;
  // The trimmed text with the table's decimal separator exchanged for the system's;
  // otherwise "'<text>' is not a valid floating point value" with the exchanged text.
  double AsFloat() const;
  // True when the trimmed text equals TRUEFormat without regard to case.
  bool AsBoolean() const;
  // The trimmed text read with DATEFormat, TIMEFormat, or both (see field_text.h).
  double AsDate() const;
  double AsTime() const;
  double AsDateTime() const;

  // --- Writes. The value text is fitted to Size characters (blanks appended, or cut) and
  // put at Offset; the rest of the record text keeps its characters and positions, and
  // a record text that ends before Offset is filled with blanks up to it. The new record
  // text and its NUL are copied to the start of the data buffer; bytes after the NUL keep
  // their contents. Refused, with the buffer untouched, when Offset or Size is negative,
  // when the fitted value holds a NUL character (it would end the record text), or when
  // the new record text and its NUL would not fit into the data buffer. ---
  void SetAsString(std::string_view v);
  void SetAsInteger(int32_t v);
  // General format with 15 significant digits and the table's decimal separator.
  void SetAsFloat(double v);
  // TRUEFormat or FALSEFormat.
  void SetAsBoolean(bool v);
  void SetAsDate(double v);
  void SetAsTime(double v);
  void SetAsDateTime(double v);

 private:
  void RequireActive() const;
  // The record text: the buffer up to its first NUL, never beyond its length.
  std::string_view RecordText() const;
  // The field's characters in the record text, as many as exist.
  std::string_view FieldText() const;
  void Write(std::string_view value);

  RecordHost& table_;
  std::string field_name_;
  TxFieldType date_type_ = ftSTRING;
  int32_t offset_ = 0;
  int32_t size_ = 0;
  bool refuse_cut_ = false;
};

// Carries an index definition's name and key number for the automation object that wraps
// it; nothing else reads them.
class VASTREL_API TBtrIndex {
 public:
  explicit TBtrIndex(RecordHost& table) : table_(table) {}
  TBtrIndex(const TBtrIndex&) = delete;
  TBtrIndex& operator=(const TBtrIndex&) = delete;

  RecordHost& Table() const { return table_; }

  const std::string& IndexName() const { return index_name_; }
  void SetIndexName(std::string v) { index_name_ = std::move(v); }
  int32_t IndexKeyNum() const { return index_key_num_; }
  void SetIndexKeyNum(int32_t v) { index_key_num_ = v; }

 private:
  RecordHost& table_;
  std::string index_name_;
  int32_t index_key_num_ = -1;
};

}  // namespace vastrel::dictionary
