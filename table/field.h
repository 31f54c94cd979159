// TField: typed access to one field of a table's current record, found by its name in the
// table's field definitions (TBtr::DDFFields()). A C++ host reaches it through the table:
//
//   parts.Field("Name").AsString();
//   parts.Field("Qty").SetAsInteger(40);
//
// The lookup compares names without regard to letter case and takes the first definition
// of that name, as the control's FieldByName does; the conversions are those of the
// dictionary's field accessor (dictionary/btrfld.h), with the table's format settings.
// A TField keeps a copy of the definition it found: it can be kept for a walk and read on
// every record, and later changes of DDFFields() do not reach it. It refers to its table,
// which must outlive it.
//
// Nothing is lost in silence. An unknown name raises vastrel::Exception naming it and the
// names the table has; a write whose value text is longer than the field is refused
// instead of cut; every error of a read or a write names the field.
// Not thread-safe: used on the table's thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dictionary/btrdictlist.h"
#include "dictionary/btrfld.h"
#include "dictionary/field_type.h"
#include "platform/export.h"

namespace vastrel::table {

class VASTREL_API TField {
 public:
  // The first definition of `fields` named `name`; raises when there is none.
  TField(dictionary::TRecordItems& fields, std::string_view name);
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  // The definition: its name as stored, declared type, 0-based offset and size in
  // characters of the record text.
  const std::string& Name() const { return field_.FieldName(); }
  dictionary::TxFieldType Type() const { return field_.DateType(); }
  int32_t Offset() const { return field_.Offset(); }
  int32_t Size() const { return field_.Size(); }

  // Reads and writes of the current record in the data buffer (see dictionary/btrfld.h for
  // the text of each kind); all of them need the table open. Dates and times are
  // automation dates (dictionary/field_text.h: EncodeDate, EncodeTime, DecodeDateTime).
  std::string AsString() const;
  int32_t AsInteger() const;
  double AsFloat() const;
  bool AsBoolean() const;
  double AsDate() const;
  double AsTime() const;
  double AsDateTime() const;

  void SetAsString(std::string_view value);
  void SetAsInteger(int32_t value);
  void SetAsFloat(double value);
  void SetAsBoolean(bool value);
  void SetAsDate(double value);
  void SetAsTime(double value);
  void SetAsDateTime(double value);

 private:
  dictionary::TBtrField field_;
};

}  // namespace vastrel::table
