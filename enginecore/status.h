// The engine's statuses, as its functions return them. Status is what a call answers, each
// one the public header's BTR_ status of that name (the header is where the numbers live);
// Retry names the two outcomes of a step that never reach a caller, because the step runs
// again; Result carries either. Both are [[nodiscard]]: a result nobody looks at does not compile.
// LMDB's and the system's error codes become statuses in one place, LmdbResult (lmdb_util.h). Plain
// C++, no LMDB: the server engine may name its statuses with it too.
#pragma once

#include <cstdint>

#include "enginecore/include/wbtrv32.h"

namespace mkde {

enum class [[nodiscard]] Status : int16_t{
    kOk = BTR_OK,
    kInvalidFunction = BTR_INVALID_FUNCTION,  // unknown operation, mode or argument
    kIoError = BTR_IO_ERROR,                  // the storage failed or the file is damaged
    kFileNotOpen = BTR_FILE_NOT_OPEN,         // the position block does not check out
    kKeyNotFound = BTR_KEY_NOT_FOUND,
    kDuplicateKey = BTR_DUPLICATE_KEY,
    kInvalidKeyNumber = BTR_INVALID_KEY_NUMBER,
    kDifferentKeyNumber = BTR_DIFFERENT_KEY_NUMBER,
    kPositionNotSet = BTR_POSITION_NOT_SET,
    kEndOfFile = BTR_END_OF_FILE,
    kModifiableKey = BTR_MODIFIABLE_KEY,
    kInvalidFileName = BTR_INVALID_FILE_NAME,
    kFileNotFound = BTR_FILE_NOT_FOUND,
    kDiskFull = BTR_DISK_FULL,  // no room: nothing kept, unless a sync failed (final, as any)
    kManagerInactive = BTR_MANAGER_INACTIVE,  // the library is unloading or the process ends
    kKeyBufferShort = BTR_KEY_BUFFER_SHORT,
    kDataLength = BTR_DATA_LENGTH,
    kPosBlockLength = BTR_POS_BLOCK_LENGTH,
    kPageSize = BTR_PAGE_SIZE,
    kCannotCreate = BTR_CANNOT_CREATE,
    kNumberOfKeys = BTR_NUMBER_OF_KEYS,
    kKeyPosition = BTR_KEY_POSITION,
    kRecordLength = BTR_RECORD_LENGTH,
    kKeyLength = BTR_KEY_LENGTH,
    kNotAFile = BTR_NOT_A_FILE,
    kTransactionActive = BTR_TRANSACTION_ACTIVE,
    kTransactionError = BTR_TRANSACTION_ERROR,
    kOperationNotAllowed = BTR_OPERATION_NOT_ALLOWED,
    kInvalidAddress = BTR_INVALID_ADDRESS,
    kInconsistentFlags = BTR_INCONSISTENT_FLAGS,
    kAccessDenied = BTR_ACCESS_DENIED,  // a write on a read-only open or read-only storage
    kKeyType = BTR_KEY_TYPE,
    kOwnerSet = BTR_OWNER_SET,
    kInvalidOwner = BTR_INVALID_OWNER,
    kFileExists = BTR_FILE_EXISTS,
    kBadChunk = BTR_BAD_CHUNK,
    kDeadlock = BTR_DEADLOCK,
    kConflict = BTR_CONFLICT,                   // the record changed since this block read it
    kLockError = BTR_LOCK_ERROR,                // nothing of that kind is locked
    kRecordInUse = BTR_RECORD_IN_USE,           // another client holds the record
    kFileInUse = BTR_FILE_IN_USE,               // another client holds the file (its write gate)
    kIncompatibleMode = BTR_INCOMPATIBLE_MODE,  // an exclusive open stands in the way
    kPermission = BTR_PERMISSION,
    kSessionLost = BTR_SESSION_LOST,
    kCommunications = BTR_COMMUNICATIONS,
    kNoMemory = BTR_NO_MEMORY,
    kChunkOffset = BTR_CHUNK_OFFSET,
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
