#include "hosts/cli/record_reader.h"

#include <dlfcn.h>

#include "binding/btrexception.h"
#include "binding/engine.h"

namespace vastrel::cli {
namespace {

constexpr int16_t kStatusEndOfFile = 9;
constexpr int16_t kStatusDataLength = 22;

engine::BtrCallFunction g_plain = nullptr;
engine::BtrCallIdFunction g_client = nullptr;
int16_t g_last_status = 0;
uint32_t g_last_length = 0;

extern "C" int16_t ObservedCall(uint16_t operation, void* position_block, void* data_buffer,
                                uint32_t* data_length, void* key_buffer, uint8_t key_length,
                                int8_t key_number) {
  g_last_status = g_plain(operation, position_block, data_buffer, data_length, key_buffer,
                          key_length, key_number);
  g_last_length = data_length ? *data_length : 0;
  return g_last_status;
}

extern "C" int16_t ObservedCallWithId(uint16_t operation, void* position_block, void* data_buffer,
                                      uint32_t* data_length, void* key_buffer, uint8_t key_length,
                                      int8_t key_number, void* client_id) {
  g_last_status = g_client(operation, position_block, data_buffer, data_length, key_buffer,
                           key_length, key_number, client_id);
  g_last_length = data_length ? *data_length : 0;
  return g_last_status;
}

}  // namespace

bool InstallLengthObserver() {
  // The file the component loaded, when it loaded one: its plain name may not be found by
  // a search from here (under a sanitizer's dlopen, say), and need not be its soname.
  std::string name = engine::CurrentEngineState().library_path;
  if (name.empty()) name = engine::EngineLibraryName();
  // The component has normally loaded the library already; asking for it by the same name
  // takes a reference of our own, so that it stays loaded when the component's module is
  // restarted on the observer below.
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!library) library = dlopen(name.c_str(), RTLD_NOW);
  if (!library) return false;
  g_plain = reinterpret_cast<engine::BtrCallFunction>(dlsym(library, "BTRCALL"));
  g_client = reinterpret_cast<engine::BtrCallIdFunction>(dlsym(library, "BTRCALLID"));
  if (!g_plain) return false;
  engine::ModuleStartWith(ObservedCall, g_client ? ObservedCallWithId : nullptr);
  return true;
}

int16_t LastStatus() { return g_last_status; }
uint32_t LastDataLength() { return g_last_length; }

RecordWalk::RecordWalk(table::TBtr& table, int path)
    : table_(table), path_(path), old_step_type_(table.StepType()) {
  table_.SetStepType(path == kPhysicalOrder ? table::stNoKeys : table::stNormal);
  table_.SetKeyNum(static_cast<int16_t>(path == kPhysicalOrder ? 0 : path));
  if (table_.DataBufferLength() < table_.RecordSize())
    table_.SetDataBufferLength(table_.RecordSize());
}

RecordWalk::~RecordWalk() { table_.SetStepType(old_step_type_); }

bool RecordWalk::Next() {
  const bool first = !started_;
  started_ = true;
  return Read(first ? &table::TBtr::First : &table::TBtr::Next);
}

bool RecordWalk::Read(void (table::TBtr::*read)()) {
  try {
    (table_.*read)();
  } catch (const Btrexception& e) {
    if (e.Status() == kStatusEndOfFile) return false;
    throw;
  }
  length_ = LastDataLength();
  if (LastStatus() != kStatusDataLength) return true;

  // The record is longer than the buffer; currency is on it, so its position reads it
  // again, with the same key path taken up (none in physical order), as often as needed.
  table_.GetPosition();
  for (bool fits = false; !fits;) {
    const int32_t now = table_.DataBufferLength();
    if (now >= kMaxRecordBuffer) {
      throw Exception("a record is longer than " + std::to_string(kMaxRecordBuffer) + " bytes");
    }
    table_.SetDataBufferLength(now > kMaxRecordBuffer / 2 ? kMaxRecordBuffer : now * 2);
    const int16_t key_num = table_.KeyNum();
    table_.SetKeyNum(static_cast<int16_t>(path_ == kPhysicalOrder ? -1 : path_));
    try {
      table_.GetDirect();
    } catch (...) {
      table_.SetKeyNum(key_num);
      throw;
    }
    table_.SetKeyNum(key_num);
    fits = LastStatus() != kStatusDataLength;
    length_ = LastDataLength();
  }
  return true;
}

int32_t RecordWalk::Position() {
  table_.GetPosition();
  return table_.Position();
}

}  // namespace vastrel::cli
