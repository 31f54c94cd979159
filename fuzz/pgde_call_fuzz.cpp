// Fuzz target for the server engine's handling of a call before any SQL: up to 32 calls,
// each an operation code, a 128-byte position block, a data buffer and its length, a key
// buffer, its length and a key number, and an optional 16-byte client id. Each call goes
// through the server engine's entry point with the server out of reach, and its arguments
// through the decoding that the engine runs first (enginecore/call.h): the call's code, the path in
// the key buffer, the open mode, the record length and insert key of a description, the
// unlock and chunk descriptors, owner names, the Version reply and the position block's
// check against the handle table.
//
// Must hold: every call answers a status and never reports more bytes than offered; no
// buffer is read or written past the length given; a chunk descriptor's inline bytes lie in
// the data buffer; a position block names a handle only when it is that handle's own block,
// for its own client.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "enginecore/blocks.h"
#include "enginecore/call.h"
#include "enginecore/codec/filespec.h"
#include "enginecore/include/wbtrv32.h"
#include "fuzz/fuzz_input.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// The server out of reach: a socket folder that does not exist fails at once, and no run
// ever talks to a real server whatever the environment names.
const bool kNoServer = [] {
  setenv("VASTREL_PG", "host=/nonexistent/vastrel-fuzz connect_timeout=1", 1);
  setenv("VASTREL_PG_TIMEOUT", "1000", 1);
  return true;
}();

using fuzz_support::Input;

struct FakeClient {
  mkde::core::ClientId id{};
  uint32_t serial = 0;
};
struct FakeHandle {
  uint32_t slot = 0;
  uint64_t generation = 0;
  uint8_t check[16] = {};
  FakeClient* client = nullptr;
};

// One call's buffers, each allocated to exactly its length so that a read or write past
// it is caught.
struct Buffers {
  std::unique_ptr<uint8_t[]> pos, data, key;
  uint32_t data_len = 0;
  uint8_t key_len = 0;
};

// The decoding layer alone, on the call's own arguments.
void Decode(uint16_t op, Buffers& b, int8_t key_num, const mkde::FileSpec* spec) {
  using namespace mkde::core;
  CallArgs call;
  uint32_t len = b.data_len;
  const mkde::Status decoded =
      DecodeCall(op, b.pos.get(), b.data.get(), &len, b.key.get(), b.key_len, key_num, &call);
  if (decoded != mkde::Status::kOk) {
    Check(decoded == mkde::Status::kInvalidFunction);
    return;
  }
  Check(call.op >= 0 && call.op < 100 && call.lock >= 0 && call.lock <= 4);
  Check(call.data_len == b.data_len && call.key_len == b.key_len);
  std::string path;
  if (PathFromKey(call, &path)) Check(!path.empty() && path.size() < call.key_len);
  OpenMode mode;
  OpenModeFrom(call.key_num, &mode);
  if (spec) {
    std::string record;
    if (RecordFromCaller(call, *spec, &record) == mkde::Status::kOk) {
      Check(record.size() >= spec->record_length && record.size() <= call.data_len);
    }
    int key = 0;
    if (InsertKey(call, *spec, &key) == mkde::Status::kOk) {
      Check(key >= -1 && key < static_cast<int>(spec->keys.size()));
      if (key >= 0) Check(call.key_len >= spec->keys[key].value_length());
    }
  }
  UnlockWhat what;
  uint32_t position = 0;
  if (DecodeUnlock(call, &what, &position) == mkde::Status::kOk && what == UnlockWhat::kOne) {
    Check(call.data_len >= 4);
  }
  std::vector<Chunk> chunks;
  if (ParseChunks(call, &chunks) == mkde::Status::kOk) {
    const uint8_t* begin = call.data;
    const uint8_t* end = call.data + call.data_len;
    const bool inline_form = call.data_len >= 4 && call.data[3] == 0x80 && call.data[0] == 0;
    std::string record(spec ? spec->record_length : 16, '\0');
    for (const Chunk& c : chunks) {
      if (!inline_form) continue;  // the direct form points anywhere in the caller's memory
      Check(c.bytes >= begin && c.bytes + c.length <= end);
      if (spec && ApplyChunk(*spec, c.offset, {reinterpret_cast<const char*>(c.bytes), c.length},
                             &record) == mkde::Status::kOk) {
        Check(record.size() >= size_t{c.offset} + c.length);
      }
    }
  }
  std::string_view name;
  if (OwnerNameFromKey(call, &name) == mkde::Status::kOk) Check(name.size() < call.key_len);
  Check(OwnerNameFromData(call).size() <= call.data_len);
  if (call.op == BTR_VERSION && VersionReply(call) == mkde::Status::kOk) Check(len == 5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)kNoServer;
  Input in(data, size);
  // A description for the record length and insert key checks, when the first bytes make one.
  const size_t spec_len = in.Byte();
  const std::string_view spec_bytes = in.Take(spec_len);
  mkde::FileSpec spec;
  const bool have_spec =
      mkde::ParseCreateBuffer(reinterpret_cast<const uint8_t*>(spec_bytes.data()),
                              spec_bytes.size(), &spec) == mkde::Status::kOk;

  // A handle table with a few handles of two clients; their genuine blocks.
  mkde::core::HandleSlots<FakeHandle, FakeClient> slots;
  FakeClient clients[2];
  clients[1].id[0] = 1;
  std::vector<FakeHandle*> handles;
  for (int i = 0; i < 4; ++i) handles.push_back(slots.Create(&clients[i % 2]));
  slots.Destroy(handles[2]);  // a stale block too
  handles[2] = slots.Create(&clients[0]);

  for (int n = 0; n < 32 && !in.empty(); ++n) {
    const uint8_t shape = in.Byte();
    const uint16_t op = in.Word();
    Buffers b;
    b.pos.reset(new uint8_t[BTR_POS_BLOCK_SIZE]);
    // The block: one of the genuine ones, perhaps with a byte changed, or the input's bytes.
    const bool genuine = shape & 1;
    FakeHandle* named = handles[(shape >> 1) & 3];
    if (genuine) {
      slots.WriteBlock(*named, b.pos.get());
      const uint8_t flip = in.Byte();
      if (flip < 128) b.pos[flip] ^= static_cast<uint8_t>(in.Byte() | 1);
    } else {
      std::memset(b.pos.get(), 0, BTR_POS_BLOCK_SIZE);
      const std::string_view bytes = in.Take(in.Byte() % (BTR_POS_BLOCK_SIZE + 1));
      std::memcpy(b.pos.get(), bytes.data(), bytes.size());
    }
    const uint8_t* block = b.pos.get();
    for (FakeClient& c : clients) {
      const FakeHandle* h = slots.Find(block, &c);
      if (!h) continue;
      uint8_t own[BTR_POS_BLOCK_SIZE] = {};
      slots.WriteBlock(*h, own);
      Check(&c == h->client && std::memcmp(own, block, 32) == 0);
    }

    const std::string_view data_bytes = in.Take(in.Word() % 1024);
    b.data_len = static_cast<uint32_t>(data_bytes.size());
    b.data.reset(new uint8_t[b.data_len ? b.data_len : 1]);
    std::memcpy(b.data.get(), data_bytes.data(), data_bytes.size());
    const std::string_view key_bytes = in.Take(in.Byte());
    b.key_len = static_cast<uint8_t>(key_bytes.size());
    b.key.reset(new uint8_t[b.key_len ? b.key_len : 1]);
    std::memcpy(b.key.get(), key_bytes.data(), key_bytes.size());
    const auto key_num = static_cast<int8_t>(in.Byte());

    Decode(op, b, key_num, have_spec ? &spec : nullptr);

    // The engine's own entry point, with the server out of reach.
    uint8_t client_id[16] = {};
    if (shape & 0x10) {
      const std::string_view id = in.Take(16);
      std::memcpy(client_id, id.data(), id.size());
    }
    uint32_t len = b.data_len;
    const bool null_data = shape & 0x40, null_key = shape & 0x80;
    int16_t status;
    if (shape & 0x08) {
      status = BTRCALLID(op, b.pos.get(), null_data ? nullptr : b.data.get(), &len,
                         null_key ? nullptr : b.key.get(), b.key_len, key_num, client_id);
    } else {
      status = BTRCALL(op, b.pos.get(), null_data ? nullptr : b.data.get(), &len,
                       null_key ? nullptr : b.key.get(), b.key_len, key_num);
    }
    Check(status >= 0 && status < 200);
    Check(len <= b.data_len);
  }
  return 0;
}
