// The engine behind BTRCALL and BTRCALLID: decodes a call, checks its position block and
// runs the operation. One instance per process; every call runs under one lock, so the
// engine's tables and each file's LMDB handles are only ever used by one thread at a time.
#pragma once

#include <lmdb.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "mkde/file_env.h"
#include "mkde/handles.h"
#include "mkde/records.h"

namespace mkde {

// One call's arguments, with the lengths made safe: data_len is what the caller offered
// (0 for a NULL buffer or length), key_len likewise.
struct Call {
  int op = 0;              // the base operation, lock bias and +1000 removed
  int lock = 0;            // lock bias / 100: 0 none, 1 to 4
  bool concurrent = false; // +1000 on Begin Transaction
  void* pos_block = nullptr;
  uint8_t* data = nullptr;
  uint32_t data_len = 0;
  uint32_t* data_len_out = nullptr;
  uint8_t* key = nullptr;
  uint8_t key_len = 0;
  int key_num = 0;         // the key number read as signed 8 bits
  Client* client = nullptr;
  Handle* handle = nullptr;

  // Sets the returned data length (when the caller gave one).
  void ReturnLength(uint32_t n) const {
    if (data_len_out) *data_len_out = n;
  }
};

class Engine {
 public:
  static Engine& Get();
  // True once the process-wide engine has been destroyed; no call may reach Get() then.
  static bool Gone();

  int16_t Dispatch(uint16_t op, void* pos_block, void* data, uint32_t* data_len, void* key,
                   uint8_t key_len, int8_t key_num, void* client_id);

 private:
  Engine();
  int Run(Call& call);

  // Files (ops_file.cpp).
  int Open(Call& call);
  int Close(Call& call);
  int Create(Call& call);
  int Stat(Call& call);
  int Version(Call& call);
  int StopClient(Call& call);
  void CloseHandle(Handle* handle);

  // Reads (ops_read.cpp).
  int GetByKey(Call& call, bool key_only);
  int GetNextPrevious(Call& call, bool key_only);
  int GetPosition(Call& call);
  int GetDirect(Call& call);
  int Step(Call& call);
  int GetByPercentage(Call& call);
  int FindPercentage(Call& call);
  // Copies a record reached on key path `key` (-1: physical order) to the caller and sets
  // the block's currency there.
  int Deliver(Call& call, MDB_txn* txn, int key, std::string_view entry, uint32_t position,
              bool key_only);

  // Writes (ops_write.cpp).
  int Insert(Call& call);
  int Update(Call& call);
  int Delete(Call& call);
  int UpdateChunk(Call& call);
  // Runs `change` in a write transaction behind the file's write gate, synced on commit
  // (not in accelerated mode), again from the start if the map had to grow.
  int RunWrite(Handle* handle, const std::function<int(RecordWriter&)>& change);
  // After a verify-mode write: the record as stored must equal what was written.
  int VerifyRecord(Handle* handle, uint32_t position, const std::string& record);
  // The record the caller sends, cut to the fixed length or refused (22) when short.
  int RecordFromCaller(const Call& call, const FileSpec& spec, std::string* record);
  // Updates the block's logical place after a write of `record` on key path `key`.
  void PlaceAfterWrite(Handle* handle, int key, const std::string& record, uint32_t position,
                       uint32_t change);

  std::mutex mutex_;
  HandleTable handles_;
};

}  // namespace mkde
