// The control's property bag: its published properties saved as one JSON object and
// loaded back into a table.
//
// Format: an object whose members are the properties, written in this order:
// DbOwner, OwnerProtection, ClientID, Keys, DDFFields, DDFIndexes, AutoCreate, Active,
// DataBufferLength, FileFlags, FileName, FirstOnOpen, KeyNum, OpenMode, PageSize,
// RecordSize, StepType, LockType, TranType, SharingMode, StreamCompression, IgnoreSmall,
// TRUEFormat, FALSEFormat, DATEFormat, TIMEFormat, DecimalSeparator.
//  - Left out when at their default: AutoCreate and Active (false), DataBufferLength,
//    KeyNum, PageSize and RecordSize (0), OpenMode (bomNormal), SharingMode (bomDefault).
//  - Text is UTF-8 (the table's single-byte text converted); enumerations by member name
//    ("opNoAccessNoEncrypt", "stNormal", ...); Booleans as true/false.
//  - Keys: an array of segments, each an object with AllowDuplicates, AllSegmentNull,
//    CaseInsensitive, Descending, ExtendedType, KeySortedbyACS, KeyType (a TxKeyTypes
//    name), Length, Modifiable, Position, Segment, NulSegment.
//  - DDFFields: an array of {FieldName, FieldType ("ft_STRING" ... "ft_DATETIME", or a
//    number for a type outside them), Offset, Size}; DDFIndexes: {IndexName, IndexKeyNum}.
//  - FileFlags: an array of member names ("ffVariableLength", ...).
// Loading refuses, before the table changes, a bag that is not a JSON object, has an
// unknown or misspelt property, a value of the wrong kind or out of range. Properties
// left out keep the table's values. The values go in through the table's setters in the
// loading state (no active-table checks, no engine calls), then Loaded runs, which opens
// the file when Active was stored true.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"
#include "table/btr.h"

namespace vastrel::automation {

// A checked bag, ready to be applied: the setter calls in property order.
struct PropertyBag {
  std::vector<std::function<void(table::TBtr&)>> steps;
};

VASTREL_API std::string SavePropertyBag(const table::TBtr& table);
// Throws vastrel::Exception "Invalid property bag: ..." naming the fault.
VASTREL_API PropertyBag ParsePropertyBag(std::string_view json);
// BeginLoading, the bag's setters, Loaded.
VASTREL_API void ApplyPropertyBag(const PropertyBag& bag, table::TBtr& table);

}  // namespace vastrel::automation
