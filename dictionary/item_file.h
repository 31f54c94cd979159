// The dictionary item file: field and index definitions saved under string IDs.
//
// The file is a plain sequence of 50-byte records, no header, no trailer; a shorter piece
// at the end is never read. Record layout (integers little-endian, single-byte text):
//    0   1  length of the ID, 0..10
//    1  10  the ID's characters (bytes after its length carry no meaning)
//   11   1  length of the name, 0..25
//   12  25  the name's characters (bytes after its length carry no meaning)
//   37   1  field record: FieldType; index record: no meaning
//   38   4  int32: field record FieldOffset; index record IndexKeyNum
//   42   4  int32: field record FieldSize; index record: no meaning
//   46   4  int32: the kind, 0 field definition, 1 index definition
// A dictionary is the records of one ID (compared without regard to case) and one kind,
// in file order; dictionaries may interleave. Bytes without meaning are written as zero
// and ignored by readers. docs/dictionary-file-format.md tells the whole story.
//
// A record whose ID length exceeds 10 or whose name length exceeds 25 is corrupt: the
// reader takes nothing beyond the slot and raises an error that names the file and the
// record (1-based) before any list is changed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"

namespace vastrel::dictionary {

inline constexpr size_t kItemRecordSize = 50;
// The largest file that is read: 16 MiB, over 335,000 definitions. A larger file, or a
// device that never ends, is refused ("Dictionary file "<name>" is too large: ...").
inline constexpr size_t kMaxItemFileSize = size_t{16} << 20;
inline constexpr size_t kItemIdSize = 10;
inline constexpr size_t kItemNameSize = 25;
inline constexpr int32_t kFieldRecordKind = 0;
inline constexpr int32_t kIndexRecordKind = 1;

using ItemRecordBytes = std::array<uint8_t, kItemRecordSize>;

struct VASTREL_API ItemRecord {
  std::string id;    // at most kItemIdSize characters once encoded
  std::string name;  // at most kItemNameSize characters once encoded
  uint8_t field_type = 0;
  int32_t offset = 0;  // FieldOffset, or IndexKeyNum of an index record
  int32_t size = 0;    // FieldSize
  int32_t kind = kFieldRecordKind;
  friend bool operator==(const ItemRecord&, const ItemRecord&) = default;
};

// Lays a record out; the ID and name are cut to their slots.
VASTREL_API ItemRecordBytes EncodeItemRecord(const ItemRecord& record);
// Reads one record. Returns false with a reason when a length byte exceeds its slot; reads
// nothing beyond the 50 bytes.
VASTREL_API bool DecodeItemRecord(std::span<const uint8_t, kItemRecordSize> bytes,
                                  ItemRecord* record, std::string* reason);
// Reads every whole record of a file image. A corrupt record raises vastrel::Exception
// "Dictionary file "<file_name>" is corrupt: record <n> <reason>".
VASTREL_API std::vector<ItemRecord> DecodeItemFile(std::span<const uint8_t> bytes,
                                                   std::string_view file_name);

// The message of a failed file operation with the system error number `error`: "File not
// found", "Invalid filename", "Too many open files", "File access denied", "Disk full", or
// "I/O error <error>" for any other number.
VASTREL_API std::string IoErrorText(int error);

// The whole contents of a file; false when no file of that name exists (a directory is
// not a file). A file larger than kMaxItemFileSize is refused with vastrel::Exception
// before more than that is read. I/O failures raise vastrel::Exception with the system's
// I/O error text:
// "File not found", "Invalid filename", "Too many open files", "File access denied",
// "Disk full", "Read beyond end of file", or "I/O error <errno>".
VASTREL_API bool ReadItemFile(const std::string& file_name, std::vector<uint8_t>* contents);

// Saves records of one dictionary. Does nothing when the file exists and
// overwrite_when_exists is false. Without append_to_file the file is created anew (any
// file of that name replaced) and holds exactly these records. With it, an existing file
// keeps its records; each record replaces in place the first record of the same ID, name
// (both without regard to case) and kind, or is appended after the last record, in order.
// Each record is written whole. I/O errors as ReadItemFile; what was written before a
// failure stays.
VASTREL_API void SaveItemRecords(const std::string& file_name, bool overwrite_when_exists,
                                 bool append_to_file, const std::vector<ItemRecord>& records);

// The IDs a file holds, field and index records alike, each once (compared without
// regard to case) in the order and letter case of its first appearance. A missing file
// gives an empty list.
VASTREL_API std::vector<std::string> ListItemIDs(const std::string& file_name);

}  // namespace vastrel::dictionary
