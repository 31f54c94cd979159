// A record file's description as the tool shows and takes it: record length, page size, file
// flags and keys of segments, read from an open table and given to one that creates a file.
// The JSON form (docs/description-format.md) is the output of describe and the input of
// create; copy and recover describe the new file with it too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "automation/json.h"
#include "keys/btrklist.h"
#include "table/btr.h"

namespace vastrel::cli {

namespace json = automation::json;

// The file specification's flags word.
uint16_t FlagsWord(const table::TBtr& t);

// The first segment of every key: keys are runs of segments ended by one without the
// segment flag.
std::vector<int> KeyStarts(const keys::tkeylist& list);

// The key type's name, "ktUnknown" for a type outside the list.
const char* KeyTypeName(keys::TKeyTypes type);

// The key flags by name, as the description writes them.
struct KeyFlagName {
  uint16_t bit;
  const char* name;
};
inline constexpr KeyFlagName kKeyFlagNames[] = {{keys::kFlagDuplicates, "AllowDuplicates"},
                                                {keys::kFlagModifiable, "Modifiable"},
                                                {keys::kFlagBinary, "Binary"},
                                                {keys::kFlagAllSegmentNull, "AllSegmentNull"},
                                                {keys::kFlagSegment, "Segment"},
                                                {keys::kFlagSortedByACS, "KeySortedbyACS"},
                                                {keys::kFlagDescending, "Descending"},
                                                {0x0080, "RepeatingDuplicates"},
                                                {keys::kFlagExtendedType, "ExtendedType"},
                                                {keys::kFlagNulSegment, "NulSegment"},
                                                {keys::kFlagCaseInsensitive, "CaseInsensitive"}};

// Whether the key that starts at segment `first` leaves out records whose segments hold the
// null value, so that it may count fewer records than the file holds.
bool KeyLeavesOutNulls(const keys::tkeylist& list, int first);

// A file's description as JSON: record length, page size, file flags by name, and every key
// as its segments with position, length, type and flags by name.
json::Value DescriptionOf(const table::TBtr& t);

// Gives the table the description; the inverse of DescriptionOf. `source` names the input
// in the DataError that refuses a description.
void ApplyDescription(table::TBtr& t, const json::Value& description, const std::string& source);

}  // namespace vastrel::cli
