#include "mkde/core/call.h"

#include <cstring>

#include "mkde/coding.h"
#include "mkde/include/wbtrv32.h"

namespace mkde::core {

namespace {

constexpr uint32_t kChunkDirect = 0x80000001;
constexpr uint32_t kChunkInline = 0x80000000;
constexpr size_t kChunkEntry = 16;

}  // namespace

bool TakesLock(int op) {
  return (op >= 5 && op <= 13) || op == 19 || op == 23 || op == 24 || (op >= 33 && op <= 35) ||
         op == 44 || (op >= 55 && op <= 63);
}

bool NeedsHandle(int op) {
  return (op >= 1 && op <= 13) || op == 15 || (op >= 22 && op <= 24) || op == 27 || op == 29 ||
         op == 30 || (op >= 33 && op <= 35) || op == 44 || op == 45 || op == 53 ||
         (op >= 55 && op <= 63);
}

int DecodeCall(uint16_t op, void* pos_block, void* data, uint32_t* data_len, void* key,
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
    return BTR_INVALID_FUNCTION;
  }
  call->pos_block = pos_block;
  call->data = static_cast<uint8_t*>(data);
  call->data_len = (data && data_len) ? *data_len : 0;
  call->data_len_out = data_len;
  call->key = static_cast<uint8_t*>(key);
  call->key_len = key ? key_len : 0;
  call->key_num = key_num;
  return BTR_OK;
}

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

int RecordLength(const CallArgs& call, const FileSpec& spec, size_t* length) {
  if (call.data_len < spec.record_length || call.data_len > kMaxRecord) return BTR_DATA_LENGTH;
  *length = spec.variable_length() ? call.data_len : spec.record_length;
  return BTR_OK;
}

int DecodeUnlock(const CallArgs& call, UnlockWhat* what, uint32_t* position) {
  if (call.key_num >= 0) {
    *what = UnlockWhat::kSingle;
    return BTR_OK;
  }
  if (call.key_num == -1) {
    if (call.data_len < 4) return BTR_DATA_LENGTH;
    *what = UnlockWhat::kOne;
    *position = DecodeFixed32(call.data);
    return BTR_OK;
  }
  if (call.key_num == -2) {
    *what = UnlockWhat::kAll;
    return BTR_OK;
  }
  return BTR_INVALID_FUNCTION;
}

int ParseChunks(const CallArgs& call, std::vector<Chunk>* chunks) {
  // The descriptor: subfunction, count, then count entries, all inside the data buffer.
  if (call.data_len < 8) return BTR_BAD_CHUNK;
  uint32_t sub = DecodeFixed32(call.data), count = DecodeFixed32(call.data + 4);
  if ((sub != kChunkDirect && sub != kChunkInline) || count == 0) return BTR_BAD_CHUNK;
  if (count > (call.data_len - 8) / kChunkEntry) return BTR_BAD_CHUNK;
  size_t inline_at = 8 + kChunkEntry * count;
  chunks->assign(count, Chunk());
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = call.data + 8 + kChunkEntry * i;
    Chunk& c = (*chunks)[i];
    c.offset = DecodeFixed32(e);
    c.length = DecodeFixed32(e + 4);
    if (sub == kChunkDirect) {
      uint64_t address = DecodeFixed64(e + 8);
      if (address == 0 && c.length > 0) return BTR_BAD_CHUNK;
      c.bytes = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
    } else {
      if (c.length > call.data_len - inline_at) return BTR_BAD_CHUNK;
      c.bytes = call.data + inline_at;
      inline_at += c.length;
    }
    if (uint64_t{c.offset} + c.length > kMaxRecord) return BTR_CHUNK_OFFSET;
  }
  return BTR_OK;
}

int ApplyChunk(const FileSpec& spec, uint32_t offset, std::string_view bytes, std::string* record) {
  size_t end = size_t{offset} + bytes.size();
  if (offset > record->size()) return BTR_CHUNK_OFFSET;
  if (!spec.variable_length() && end > spec.record_length) return BTR_CHUNK_OFFSET;
  if (end > record->size()) record->resize(end, '\0');
  record->replace(offset, bytes.size(), bytes);
  return BTR_OK;
}

int CryptoToStatus(CryptoStatus s) {
  switch (s) {
    case CryptoStatus::kOk:
      return BTR_OK;
    case CryptoStatus::kBadName:
    case CryptoStatus::kNameMismatch:
      return BTR_INVALID_OWNER;
    case CryptoStatus::kBadLevel:
      return BTR_INVALID_KEY_NUMBER;
    case CryptoStatus::kNoMemory:
      return 101;  // no memory available
    default:
      return BTR_IO_ERROR;
  }
}

}  // namespace mkde::core
