// The engine's statuses, as its functions return them. Status is what a call answers (the
// numbers are those of the public header's BTR_ statuses); Retry names the two outcomes of
// a step that never reach a caller, because the step runs again; Result carries either.
// Both are [[nodiscard]]: a result nobody looks at does not compile. LMDB's and the
// system's error codes become statuses in one place, LmdbResult (lmdb_util.h). Plain C++,
// no LMDB: the server engine may name its statuses with it too.
#pragma once

#include <cstdint>

namespace mkde {

enum class [[nodiscard]] Status : int16_t{
    kOk = 0,
    kInvalidFunction = 1,  // unknown operation, mode or argument
    kIoError = 2,          // the storage failed or the file is damaged
    kFileNotOpen = 3,      // the position block does not check out
    kKeyNotFound = 4,
    kDuplicateKey = 5,
    kInvalidKeyNumber = 6,
    kDifferentKeyNumber = 7,
    kPositionNotSet = 8,
    kEndOfFile = 9,
    kModifiableKey = 10,
    kInvalidFileName = 11,
    kFileNotFound = 12,
    kDiskFull = 18,         // no room: nothing kept, unless a sync failed (final, as any)
    kManagerInactive = 20,  // the engine is gone: the library is unloading or the process ends
    kKeyBufferShort = 21,
    kDataLength = 22,
    kPosBlockLength = 23,
    kPageSize = 24,
    kCannotCreate = 25,
    kNumberOfKeys = 26,
    kKeyPosition = 27,
    kRecordLength = 28,
    kKeyLength = 29,
    kNotAFile = 30,
    kTransactionActive = 37,
    kTransactionError = 39,
    kOperationNotAllowed = 41,
    kInvalidAddress = 43,
    kInconsistentFlags = 45,
    kAccessDenied = 46,  // a write on a read-only open or read-only storage
    kKeyType = 49,
    kOwnerSet = 50,
    kInvalidOwner = 51,
    kFileExists = 59,
    kBadChunk = 62,
    kDeadlock = 78,
    kConflict = 80,          // the record changed since this block read it
    kLockError = 81,         // nothing of that kind is locked
    kRecordInUse = 84,       // another client holds the record
    kFileInUse = 85,         // another client holds the file (its write gate)
    kIncompatibleMode = 88,  // an exclusive open stands in the way
    kPermission = 94,
    kSessionLost = 95,
    kCommunications = 96,
    kNoMemory = 101,
    kChunkOffset = 103,
};

// A step that has to run again: never answered to a caller.
enum class [[nodiscard]] Retry : int16_t{
    // The map filled up inside a write; the caller grows it and runs the change again.
    kMapFull = -1,
    // Another process holds the file's write gate; the call runs again after a pause, with
    // the engine's lock let go, and answers 85 when the wait runs out.
    kGateBusy = -2,
};

// A Status or a Retry. Compares with either.
class [[nodiscard]] Result {
 public:
  constexpr Result(Status s) : code_(static_cast<int16_t>(s)) {}  // NOLINT: implicit
  constexpr Result(Retry r) : code_(static_cast<int16_t>(r)) {}   // NOLINT: implicit
  constexpr bool ok() const { return code_ == 0; }
  constexpr bool retry() const { return code_ < 0; }
  // The status a caller gets once nothing runs again: a full map is a full disk, a busy
  // gate a file in use.
  constexpr Status Settle() const {
    if (code_ == static_cast<int16_t>(Retry::kMapFull)) return Status::kDiskFull;
    if (code_ == static_cast<int16_t>(Retry::kGateBusy)) return Status::kFileInUse;
    return static_cast<Status>(code_);
  }
  friend constexpr bool operator==(Result a, Result b) { return a.code_ == b.code_; }

 private:
  int16_t code_;
};

// The number a call answers.
constexpr int16_t Code(Status s) { return static_cast<int16_t>(s); }

}  // namespace mkde
