#include "enginecore/call.h"

#include <cstring>

#include "enginecore/coding.h"
#include "enginecore/include/wbtrv32.h"

namespace mkde::core {

namespace {

constexpr uint32_t kChunkDirect = 0x80000001;
constexpr uint32_t kChunkInline = 0x80000000;
constexpr size_t kChunkEntry = 16;

}  // namespace

bool PathFromKey(const CallArgs& call, std::string* path) {
  if (!call.key) return false;
  const void* nul = std::memchr(call.key, 0, call.key_len);
  if (!nul) return false;
  path->assign(reinterpret_cast<const char*>(call.key),
               static_cast<const uint8_t*>(nul) - call.key);
  return !path->empty();
}

bool OpenModeFrom(int key_num, OpenMode* mode) {
  switch (key_num) {
    case 0:
    case -32:
    case -64:
      *mode = OpenMode::kNormal;
      return true;
    case -1:
      *mode = OpenMode::kAccelerated;
      return true;
    case -2:
      *mode = OpenMode::kReadOnly;
      return true;
    case -3:
      *mode = OpenMode::kVerify;
      return true;
    case -4:
      *mode = OpenMode::kExclusive;
      return true;
    default:
      return false;
  }
}

Status RecordLength(const CallArgs& call, const FileSpec& spec, size_t* length) {
  if (call.data_len < spec.record_length || call.data_len > kMaxRecord) return Status::kDataLength;
  *length = spec.variable_length() ? call.data_len : spec.record_length;
  return Status::kOk;
}

Status InsertKey(const CallArgs& call, const FileSpec& spec, int* key) {
  int k = call.key_num;
  if (k >= 0 && static_cast<size_t>(k) >= spec.keys.size()) {
    if (!spec.keys.empty()) return Status::kInvalidKeyNumber;
    k = -1;
  }
  if (k < 0) k = -1;
  if (k >= 0 && call.key_len < spec.keys[k].value_length()) return Status::kKeyBufferShort;
  *key = k;
  return Status::kOk;
}

Status UpdateKey(const CallArgs& call, const FileSpec& spec, int standing, bool current, int* key) {
  int k = call.key_num;
  if (k >= 0 && static_cast<size_t>(k) >= spec.keys.size()) return Status::kInvalidKeyNumber;
  if (k < 0) k = standing;
  if (!current) return Status::kPositionNotSet;
  if (k >= 0 && call.key_len < spec.keys[k].value_length()) return Status::kKeyBufferShort;
  *key = k;
  return Status::kOk;
}

Status RecordFromCaller(const CallArgs& call, const FileSpec& spec, std::string* record) {
  size_t n = 0;
  Status status = RecordLength(call, spec, &n);
  if (status == Status::kOk) record->assign(reinterpret_cast<const char*>(call.data), n);
  return status;
}

Status DecodeUnlock(const CallArgs& call, UnlockWhat* what, uint32_t* position) {
  if (call.key_num >= 0) {
    *what = UnlockWhat::kSingle;
    return Status::kOk;
  }
  if (call.key_num == -1) {
    if (call.data_len < 4) return Status::kDataLength;
    *what = UnlockWhat::kOne;
    *position = DecodeFixed32(call.data);
    return Status::kOk;
  }
  if (call.key_num == -2) {
    *what = UnlockWhat::kAll;
    return Status::kOk;
  }
  return Status::kInvalidFunction;
}

Status ParseChunks(const CallArgs& call, std::vector<Chunk>* chunks) {
  // The descriptor: subfunction, count, then count entries, all inside the data buffer.
  if (call.data_len < 8) return Status::kBadChunk;
  uint32_t sub = DecodeFixed32(call.data), count = DecodeFixed32(call.data + 4);
  if ((sub != kChunkDirect && sub != kChunkInline) || count == 0) return Status::kBadChunk;
  if (count > (call.data_len - 8) / kChunkEntry) return Status::kBadChunk;
  size_t inline_at = 8 + kChunkEntry * count;
  chunks->assign(count, Chunk());
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = call.data + 8 + kChunkEntry * i;
    Chunk& c = (*chunks)[i];
    c.offset = DecodeFixed32(e);
    c.length = DecodeFixed32(e + 4);
    if (sub == kChunkDirect) {
      uint64_t address = DecodeFixed64(e + 8);
      if (address == 0 && c.length > 0) return Status::kBadChunk;
      c.bytes = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
    } else {
      if (c.length > call.data_len - inline_at) return Status::kBadChunk;
      c.bytes = call.data + inline_at;
      inline_at += c.length;
    }
    if (uint64_t{c.offset} + c.length > kMaxRecord) return Status::kChunkOffset;
  }
  return Status::kOk;
}

Status ApplyChunk(const FileSpec& spec, uint32_t offset, std::string_view bytes,
                  std::string* record) {
  size_t end = size_t{offset} + bytes.size();
  if (offset > record->size()) return Status::kChunkOffset;
  if (!spec.variable_length() && end > spec.record_length) return Status::kChunkOffset;
  if (end > record->size()) record->resize(end, '\0');
  record->replace(offset, bytes.size(), bytes);
  return Status::kOk;
}

Status VersionReply(const CallArgs& call) {
  if (call.data_len < 5) return Status::kDataLength;
  const uint8_t reply[5] = {1, 0, 0, 0, 'L'};
  std::memcpy(call.data, reply, sizeof reply);
  call.ReturnLength(sizeof reply);
  return Status::kOk;
}

Status CryptoToStatus(CryptoStatus s) {
  switch (s) {
    case CryptoStatus::kOk:
      return Status::kOk;
    case CryptoStatus::kBadName:
    case CryptoStatus::kNameMismatch:
      return Status::kInvalidOwner;
    case CryptoStatus::kBadLevel:
      return Status::kInvalidKeyNumber;
    case CryptoStatus::kNoMemory:
      return Status::kNoMemory;
    default:
      return Status::kIoError;
  }
}

Status OwnerNameFromKey(const CallArgs& call, std::string_view* name) {
  if (call.key_num < 0 || call.key_num > kMaxOwnerLevel) return Status::kInvalidKeyNumber;
  const void* nul = call.key ? std::memchr(call.key, 0, call.key_len) : nullptr;
  if (!nul) return Status::kInvalidOwner;
  *name = std::string_view(reinterpret_cast<const char*>(call.key),
                           static_cast<const uint8_t*>(nul) - call.key);
  return Status::kOk;
}

std::string_view OwnerNameFromData(const CallArgs& call) {
  const void* nul = call.data ? std::memchr(call.data, 0, call.data_len) : nullptr;
  size_t n = nul ? static_cast<const uint8_t*>(nul) - call.data : call.data_len;
  return std::string_view(reinterpret_cast<const char*>(call.data), n);
}

Status OwnerAtOpen(const OwnerRecord& owner, std::string_view name, SecretKey* key,
                   bool* read_only) {
  *read_only = false;
  CryptoStatus s = CheckOwner(owner, name, key);
  if (s == CryptoStatus::kNameMismatch) {
    if (!OwnerLevelReadsWithoutName(owner.level)) return Status::kInvalidOwner;
    *read_only = true;
    s = OwnerLevelEncrypts(owner.level) ? ReadKeyWithoutName(owner, key) : CryptoStatus::kOk;
  }
  if (s == CryptoStatus::kOk) return Status::kOk;
  // A name that checked out, or none that was needed, with a key that does not come: the
  // owner record itself is at fault.
  Status status = CryptoToStatus(s);
  return status == Status::kInvalidOwner ? Status::kIoError : status;
}

}  // namespace mkde::core
