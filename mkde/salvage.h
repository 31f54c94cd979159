// Salvage of records from a damaged record file's raw pages.
//
// LMDB reaches a record only through the branch pages above it: one damaged branch page
// hides every record below it from any cursor, though the leaf pages themselves are whole.
// The salvage reads the data file's pages directly, without LMDB, finds every leaf page in
// use (neither past the newest meta page's last page nor listed in the free database), and
// takes from it each node that is a record: a 4-byte key and a value whose checksum over
// position, change counter and body checks out, and that opens under the file's record key
// when the file is encrypted. Every offset and length read from a page is checked against
// the page and the file before it is used: the file is damaged by definition.
//
// Pages LMDB keeps free still hold older versions of records, deleted ones included, which
// is why pages the free database lists are left out. When the free database itself is
// damaged, the pages it would have listed cannot be told apart from pages in use, and a
// record deleted shortly before the damage can come back (free_list_whole says so).
//
// Files of format 1 carry no checksum: nothing tells a whole record from damaged bytes
// that happen to have a record's shape, so they are not salvaged (kUnchecked).
//
// Nothing here prints or throws an engine status; it is for the tool, not the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mkde {

struct SalvagedRecord {
  uint32_t position = 0;
  uint32_t change = 0;
  std::string bytes;  // the record as written (opened, for an encrypted file)
};

struct SalvageReport {
  uint32_t page_size = 0;
  uint64_t pages = 0;            // pages in use up to the newest meta page's last page
  uint64_t leaf_pages = 0;       // leaf pages read (not free, header whole)
  uint64_t free_pages = 0;       // pages the free database lists
  bool free_list_whole = false;  // the free database was read without meeting damage
  int format = 0;                // the file's format as its pages name it; 0 not found
  int owner_level = -1;          // the owner record's level; -1 when none was found
  uint64_t rejected = 0;         // nodes shaped as records whose checksum or seal did not check
  // One per position, the version with the highest change counter, by position.
  std::vector<SalvagedRecord> records;
};

enum class SalvageResult {
  kOk,
  kUnreadable,  // the file could not be read, or no meta page of it is whole
  kUnchecked,   // a file of format 1: its records carry no checksum to trust
  kNoKey,       // an encrypted file whose owner name is missing or wrong
};

// Reads `size` bytes at `offset` into `out`; false when they are not all there.
using PageReader = std::function<bool(uint64_t offset, size_t size, uint8_t* out)>;
// Told the pages done and the pages to do, now and then.
using SalvageProgress = std::function<void(uint64_t done, uint64_t total)>;

// Salvages the records of a file of `file_size` bytes read through `read`. `owner` is the
// owner name (empty: none), needed to open the records of an encrypted file (at level 3 the
// file's open key serves without it). `reason` says why for any result but kOk.
SalvageResult SalvageRecords(const PageReader& read, uint64_t file_size, std::string_view owner,
                             SalvageReport* report, std::string* reason,
                             const SalvageProgress& progress = nullptr);
// The same for the file at `path`, read with pread (never mapped, so that a file that
// shrinks meanwhile answers a failed read, not a signal).
SalvageResult SalvageFile(const std::string& path, std::string_view owner, SalvageReport* report,
                          std::string* reason, const SalvageProgress& progress = nullptr);

}  // namespace mkde
