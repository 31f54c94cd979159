// One engine call as both engines read it, and the checks of its arguments that do not
// depend on where records are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "enginecore/codec/filespec.h"
#include "enginecore/crypto/owner.h"
#include "enginecore/include/wbtrv32.h"
#include "enginecore/status.h"

namespace mkde::core {

// Records up to this length; a write of a longer one answers 22.
inline constexpr uint32_t kMaxRecord = uint32_t{64} << 20;

// A call's arguments, with the lengths made safe: data_len is what the caller offered (0
// for a NULL buffer or length), key_len likewise.
struct CallArgs {
  int op = 0;               // the base operation, lock bias and +1000 removed
  int lock = 0;             // lock bias / 100: 0 none, 1 to 4
  bool concurrent = false;  // +1000 on Begin Transaction
  void* pos_block = nullptr;
  uint8_t* data = nullptr;
  uint32_t data_len = 0;
  uint32_t* data_len_out = nullptr;
  uint8_t* key = nullptr;
  uint8_t key_len = 0;
  int key_num = 0;  // the key number read as signed 8 bits

  // Sets the returned data length (when the caller gave one).
  void ReturnLength(uint32_t n) const {
    if (data_len_out) *data_len_out = n;
  }
};

// Operations that may carry a lock bias.
inline bool TakesLock(int op) {
  constexpr int kKeyOnly = BTR_GET_KEY_BIAS;
  return (op >= BTR_GET_EQUAL && op <= BTR_GET_LAST) || op == BTR_BEGIN_TRANSACTION ||
         op == BTR_GET_DIRECT || op == BTR_STEP_NEXT ||
         (op >= BTR_STEP_FIRST && op <= BTR_STEP_PREVIOUS) || op == BTR_GET_BY_PERCENTAGE ||
         (op >= BTR_GET_EQUAL + kKeyOnly && op <= BTR_GET_LAST + kKeyOnly);
}
// Operations that work on an open file, and so need a position block that checks out
// before anything else is looked at.
inline bool NeedsHandle(int op) {
  constexpr int kKeyOnly = BTR_GET_KEY_BIAS;
  return (op >= BTR_CLOSE && op <= BTR_GET_LAST) || op == BTR_STAT ||
         (op >= BTR_GET_POSITION && op <= BTR_STEP_NEXT) || op == BTR_UNLOCK ||
         op == BTR_SET_OWNER || op == BTR_CLEAR_OWNER ||
         (op >= BTR_STEP_FIRST && op <= BTR_STEP_PREVIOUS) || op == BTR_GET_BY_PERCENTAGE ||
         op == BTR_FIND_PERCENTAGE || op == BTR_UPDATE_CHUNK ||
         (op >= BTR_GET_EQUAL + kKeyOnly && op <= BTR_GET_LAST + kKeyOnly) || op == BTR_COMPACT;
}

// Takes a call's operation code apart and makes its lengths safe (inline: every call runs it).
// Returns kOk, or kInvalidFunction for a code no operation answers to (a lock bias where none is
// taken, +1000 on anything but Begin Transaction).
inline Status DecodeCall(uint16_t op, void* pos_block, void* data, uint32_t* data_len, void* key,
                         uint8_t key_len, int8_t key_num, CallArgs* call) {
  int code = op;
  if (code >= 1000) {
    call->concurrent = true;
    code -= 1000;
  }
  call->lock = code / 100;
  call->op = code % 100;
  if (call->lock > 4 || (call->lock > 0 && !TakesLock(call->op)) ||
      (call->concurrent && call->op != BTR_BEGIN_TRANSACTION)) {
    return Status::kInvalidFunction;
  }
  call->pos_block = pos_block;
  call->data = static_cast<uint8_t*>(data);
  call->data_len = (data && data_len) ? *data_len : 0;
  call->data_len_out = data_len;
  call->key = static_cast<uint8_t*>(key);
  call->key_len = key ? key_len : 0;
  call->key_num = key_num;
  return Status::kOk;
}

// The path in the key buffer: NUL-terminated within the key length, not empty.
bool PathFromKey(const CallArgs& call, std::string* path);

// Open modes, from the Open operation's key number.
enum class OpenMode { kNormal, kAccelerated, kReadOnly, kVerify, kExclusive };
// The mode a key number names (-32 and -64 open as normal); false for none.
bool OpenModeFrom(int key_num, OpenMode* mode);

// The length of the record a write sends: a fixed-length file keeps exactly its record
// length of it, a variable-length one all of it. 22 when shorter than the record length or
// longer than kMaxRecord.
Status RecordLength(const CallArgs& call, const FileSpec& spec, size_t* length);
// The key path an Insert places its block on: the key number, or -1 for a negative one or a
// file without keys. 6 for a key the file does not have, 21 for a key buffer short of the
// key's value.
Status InsertKey(const CallArgs& call, const FileSpec& spec, int* key);
// The key path an Update places its block on: the key number, or for a negative one the path
// the block stands on (`standing`, -1 for none). 6 for a key the file does not have, 8
// without a current record (`current`: one read whole, not by a Get Key form), 21 for a key
// buffer short of the key's value.
Status UpdateKey(const CallArgs& call, const FileSpec& spec, int standing, bool current, int* key);

// The record itself, copied from the data buffer, with the same checks.
Status RecordFromCaller(const CallArgs& call, const FileSpec& spec, std::string* record);

// What an Unlock lets go of, from its key number: the single-record lock (>= 0), one
// multiple-record lock by the position in the data buffer (-1), or all of them (-2).
enum class UnlockWhat { kSingle, kOne, kAll };
// Returns kOk with *what (and *position for kOne), 22 for a data buffer short of a
// position, or 1.
Status DecodeUnlock(const CallArgs& call, UnlockWhat* what, uint32_t* position);

// One chunk of an Update Chunk descriptor: its place in the record and its bytes (in the
// data buffer, or anywhere in the caller's memory for the direct form).
struct Chunk {
  uint32_t offset = 0, length = 0;
  const uint8_t* bytes = nullptr;
};
// Reads the descriptor in the data buffer: kOk, 62 (a descriptor that is malformed or does
// not fit its buffer) or 103 (a chunk past the largest record).
Status ParseChunks(const CallArgs& call, std::vector<Chunk>* chunks);
// Writes `bytes` at `offset` of `record`, growing a variable-length record: kOk, or 103
// for a place past the record's end or past a fixed record's length.
Status ApplyChunk(const FileSpec& spec, uint32_t offset, std::string_view bytes,
                  std::string* record);

// The Version reply: the engine's own version, 1.0 on Linux, in the data buffer; 22 when
// the buffer is short of it.
Status VersionReply(const CallArgs& call);

// The status an owner check or sealing answers with.
Status CryptoToStatus(CryptoStatus s);

// Set Owner's arguments: the level in the key number and the name in the key buffer,
// NUL-terminated within the key length. kOk, 6 for a level there is not, 51 for no name.
Status OwnerNameFromKey(const CallArgs& call, std::string_view* name);
// The owner name an Open gives: the data buffer up to its first NUL.
std::string_view OwnerNameFromData(const CallArgs& call);
// The owner check of an Open of a file with `owner`: kOk with the record key in *key (at
// levels that encrypt) and *read_only for a name-less open the level allows; 51 for a wrong
// name; 2 when the owner record cannot be used.
Status OwnerAtOpen(const OwnerRecord& owner, std::string_view name, SecretKey* key,
                   bool* read_only);

}  // namespace mkde::core
