// The control's persisted properties: a table's published properties saved to a JSON
// property bag and loaded back.
//
// The bag is one JSON object whose members are the properties in this order:
//   DbOwner, OwnerProtection, ClientID, Keys, DDFFields, DDFIndexes, AutoCreate, Active,
//   DataBufferLength, FileFlags, FileName, FirstOnOpen, KeyNum, OpenMode, PageSize,
//   RecordSize, StepType, LockType, TranType, SharingMode, StreamCompression, IgnoreSmall,
//   TRUEFormat, FALSEFormat, DATEFormat, TIMEFormat, DecimalSeparator
// A property equal to its default is left out: AutoCreate false, Active false,
// DataBufferLength 0, KeyNum 0, OpenMode bomNormal, PageSize 0, RecordSize 0, SharingMode
// bomDefault. The others are always written. The handlers OnRecChanged, OnAutoCreate and
// StreamingProgress are bindings to host code, not values: nothing is saved for them and
// loading leaves the table's handlers as they are. About and Version are never persisted.
//
// How values are written:
//   - Booleans as true/false, numbers as whole numbers.
//   - Texts (DbOwner, ClientID, FileName, the formats, DecimalSeparator, names of fields and
//     indexes) as UTF-8, converted from and to the table's single-byte code page, so that
//     every byte 1 to 255 comes back unchanged. DecimalSeparator is a text of one character.
//   - Enumerations by their member names ("bomNormal", "ltSinglewait", "ktString", field
//     types "ft_STRING" .. "ft_DATETIME"). A table property may hold a value that is no
//     member (the automation interface passes any 32-bit value on); such a value is written
//     as its number, so that it, too, comes back as it was.
//   - FileFlags as a list of member names: ["ffVariableLength", "ff10"].
//   - Keys as a list of segments, each an object with its twelve properties in order:
//     AllowDuplicates, AllSegmentNull, CaseInsensitive, Descending, ExtendedType,
//     KeySortedbyACS, KeyType, Length, Modifiable, Position, Segment, NulSegment.
//   - DDFFields as a list of {FieldName, FieldType, FieldOffset, FieldSize}; DDFIndexes as a
//     list of {IndexName, IndexKeyNum}.
//
// Loading reads the whole bag before it touches the table. Any fault refuses the bag with
// a vastrel::Exception whose message names the property and leaves the table unchanged:
// text that is not JSON (with line and column), a top level that is no object, an unknown
// or non-persisted property name, a value of the wrong kind, a number outside what the
// property holds, an unknown member name of an enumeration (or a field type that is not an
// "ft_" name), a segment, field or index that lacks one of its properties or has one too
// many, and text with a character the single-byte code page lacks. Members may come in any
// order. A property that the bag leaves out takes the value that leaving it out stands for:
// its default where it has one, otherwise the value of a new table.
//
// A valid bag is then applied as the framework restores a control: BeginLoading(), every
// property through its setter (which stores without the checks of an active table, cuts
// FileName, DbOwner and ClientID to their lengths, and maps KeyType onto its segment as
// usual), then Loaded(), which opens the file when Active was stored true, after every
// property is in place. A failure to open raises Btrexception from LoadProperties; the
// properties stay loaded and the table inactive.
//
// Not thread-safe: used on the thread that owns the table.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "automation/json.h"
#include "platform/export.h"
#include "table/btr.h"

namespace vastrel::automation {

struct StagedProperties;

// A bag read and checked in full, not yet applied to any table. Copies share the values.
class VASTREL_API PropertyBag {
 public:
  explicit PropertyBag(std::shared_ptr<const StagedProperties> staged)
      : staged_(std::move(staged)) {}

 private:
  friend VASTREL_API void ApplyPropertyBag(const PropertyBag& bag, table::TBtr& table);
  std::shared_ptr<const StagedProperties> staged_;
};

// The persisted properties of the table as a JSON object, in their order, defaults left
// out. For a host that keeps the table's properties inside a larger bag of its own.
VASTREL_API json::Object SavePropertyObject(const table::TBtr& table);

// The same object written as pretty-printed JSON text.
VASTREL_API std::string SaveProperties(const table::TBtr& table);

// Loads a property bag given as JSON text into the table: ParsePropertyBag, then
// ApplyPropertyBag. Raises vastrel::Exception for a bag that is not valid and for an open
// table (the table unchanged in both cases), and what Loaded() raises when it opens the file.
VASTREL_API void LoadProperties(table::TBtr& table, std::string_view json_text);

// The same for a bag that is already parsed: the object that SavePropertyObject gives, for
// a host that keeps it inside a larger bag of its own (and removes its own members first).
VASTREL_API void LoadPropertyObject(table::TBtr& table, const json::Object& bag);

// The two steps of loading, for a caller that checks the bag before it looks at the table.
// Reads and checks the whole bag; raises vastrel::Exception naming the fault.
VASTREL_API PropertyBag ParsePropertyBag(std::string_view json_text);
VASTREL_API PropertyBag CheckPropertyObject(const json::Object& bag);
// BeginLoading, every property through its setter, Loaded. An open table is refused with
// "Can't load saved properties into an active table" and left as it is.
VASTREL_API void ApplyPropertyBag(const PropertyBag& bag, table::TBtr& table);

// The same as SaveProperties.
VASTREL_API std::string SavePropertyBag(const table::TBtr& table);

}  // namespace vastrel::automation
