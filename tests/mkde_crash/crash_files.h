// The crash test's record files and their expected contents, seen only through BTRCALL.
//
// Three files with two keys each: key 0 a unique 4-byte integer (the record's id, never
// changed by an update), key 1 an 8-byte string group with duplicates, modifiable (descending
// in the second file). The third file has variable-length records and an owner name with
// encryption (level 2); every open passes the name. A record is
//   0 i32 id, 4 char[8] group, 12 u32 writer iteration, 16 u32 transaction serial,
//   20 u32 operation number, then filler bytes up to the record's length.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace crash {

struct FileDef {
  const char* name;
  uint16_t record_length;  // the fixed length, or the fixed part of a variable-length file
  bool variable;
  bool group_descending;
  int owner_level;  // -1: no owner
};

inline constexpr std::array<FileDef, 3> kFiles{{
    {"alpha.dat", 64, false, false, -1},
    {"beta.dat", 120, false, true, -1},
    {"gamma.dat", 32, true, false, 2},
}};
inline constexpr size_t kMaxVariableRecord = 300;
inline constexpr size_t kGroupOffset = 4;
inline constexpr size_t kGroupLength = 8;
// The owner name of the files that have one, NUL-terminated as Open and Set Owner take it.
inline constexpr char kOwnerName[] = "Kr4sh!";

// Opens a file with the owner name; returns the engine's status.
int OpenFile(const std::string& dir, size_t file, uint8_t* pos, int8_t mode);

// One file's expected contents: id -> record bytes.
using FileModel = std::map<int32_t, std::string>;
using Model = std::array<FileModel, kFiles.size()>;

// One change a transaction made, as it is replayed onto a model.
struct Effect {
  uint8_t file = 0;
  bool erase = false;  // a Delete; otherwise the record is inserted or replaced
  int32_t id = 0;
  std::string record;
};

void Apply(const std::vector<Effect>& effects, Model* model);
std::string EncodeEffects(uint64_t serial, const std::vector<Effect>& effects);
// Returns false when the bytes do not hold a whole, well-formed list.
bool DecodeEffects(const std::string& bytes, uint64_t* serial, std::vector<Effect>* effects);

int32_t RecordId(const std::string& record);
std::string RecordGroup(const std::string& record);

// Creates the three files in dir (replacing any) and sets their owners. Returns the first
// failing status, or 0.
int CreateFiles(const std::string& dir);
std::string FilePath(const std::string& dir, size_t file);

// Reads one file back and checks that it holds together: physical order forwards and
// backwards, both key paths forwards and backwards, Get Equal on every id, and Stat's record
// and unique-value counts all agree. Fills *out and returns true, or returns false with
// *problem set.
bool ReadAndCheck(const std::string& dir, size_t file, int8_t open_mode, FileModel* out,
                  std::string* problem);

// A line per difference between two models of one file, at most `limit` lines.
std::string DescribeDifference(const FileModel& expected, const FileModel& actual, size_t limit);

}  // namespace crash
