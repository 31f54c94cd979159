// The record engine through its C entry point, loaded at run time so that the benchmark builds
// and runs its other stores whether or not the engine library is there.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "bench/engine/store.h"

namespace vastrel::bench {
namespace {

using BtrCall = int16_t (*)(uint16_t op, void* pos_block, void* data_buf, uint32_t* data_len,
                            void* key_buf, uint8_t key_len, int8_t key_num);

// Operation codes and statuses this program uses.
enum : uint16_t {
  kOpOpen = 0,
  kOpClose = 1,
  kOpInsert = 2,
  kOpUpdate = 3,
  kOpDelete = 4,
  kOpGetEqual = 5,
  kOpGetNext = 6,
  kOpGetFirst = 12,
  kOpCreate = 14,
  kOpBeginTransaction = 19,
  kOpEndTransaction = 20,
  kOpAbortTransaction = 21,
  kOpStepNext = 24,
  kOpStepFirst = 33,
  kOpCompact = 98,
};
constexpr int16_t kStatusInvalidFunction = 1;
constexpr int16_t kStatusEndOfFile = 9;
constexpr int8_t kModeNormal = 0;
constexpr int8_t kModeAccelerated = -1;
constexpr uint32_t kBatch = 1000;

constexpr uint16_t kKeyDuplicates = 0x0001;
constexpr uint16_t kKeyExtendedType = 0x0100;
constexpr uint8_t kTypeString = 0;
constexpr uint8_t kTypeInteger = 1;

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

class EngineStore final : public Store {
 public:
  EngineStore(void* library, BtrCall call, const std::string& dir, const std::string& name)
      : library_(library), call_(call), name_(name), path_(dir + "/" + name + ".dat") {}
  ~EngineStore() override {
    Close();
    dlclose(library_);
  }

  std::string Name() const override { return name_; }
  std::string LoadNote() const override { return load_note_; }

  void Create() override {
    Close();
    for (const char* suffix : {"", "-lock", "-gate"}) unlink((path_ + suffix).c_str());
    // File specification, then one key block per key (each key has one segment).
    uint8_t spec[16 + 2 * 16] = {};
    PutU16(spec + 0, kRecordSize);
    PutU16(spec + 2, 4096);
    PutU16(spec + 4, 2);
    uint8_t* k0 = spec + 16;
    PutU16(k0 + 0, kKey0Offset + 1);
    PutU16(k0 + 2, kKey0Size);
    PutU16(k0 + 4, kKeyExtendedType);
    k0[10] = kTypeInteger;
    uint8_t* k1 = spec + 32;
    PutU16(k1 + 0, kKey1Offset + 1);
    PutU16(k1 + 2, kKey1Size);
    PutU16(k1 + 4, kKeyExtendedType | kKeyDuplicates);
    k1[10] = kTypeString;
    uint32_t len = sizeof spec;
    uint8_t pos[128] = {};
    Expect(Call(kOpCreate, pos, spec, &len, PathKey(), -1), "Create");
  }

  void Open(OpenFor mode) override {
    Close();
    std::memset(pos_, 0, sizeof pos_);
    char owner[1] = {0};
    uint32_t len = 0;
    Expect(Call(kOpOpen, pos_, owner, &len, PathKey(),
                mode == OpenFor::kLoad ? kModeAccelerated : kModeNormal),
           "Open");
    open_ = true;
  }

  void Close() override {
    if (!open_) return;
    uint32_t len = 0;
    call_(kOpClose, pos_, nullptr, &len, key_, sizeof key_, 0);
    open_ = false;
  }

  void Load(uint32_t first, uint32_t count) override {
    // Batches in a transaction where the engine has them; otherwise every insert commits on
    // its own, with the lighter commit of an accelerated open.
    uint32_t len = 0;
    const int16_t begin = call_(kOpBeginTransaction, pos_, nullptr, &len, key_, sizeof key_, 0);
    if (begin == 0) call_(kOpAbortTransaction, pos_, nullptr, &len, key_, sizeof key_, 0);
    load_note_ = begin == 0 ? "accelerated open, one transaction per 1,000 records"
                            : "accelerated open, one commit per record (Begin Transaction "
                              "answered " +
                                  std::to_string(begin) + ")";
    for (uint32_t done = 0; done < count;) {
      const uint32_t n = begin == 0 ? std::min(kBatch, count - done) : 1;
      if (begin == 0)
        InsertTransaction(first + done, n);
      else
        InsertOne(first + done);
      done += n;
    }
  }

  void InsertTransaction(uint32_t first, uint32_t count) override {
    uint32_t len = 0;
    Expect(call_(kOpBeginTransaction, pos_, nullptr, &len, key_, sizeof key_, 0),
           "Begin Transaction");
    try {
      for (uint32_t j = 0; j < count; ++j) InsertOne(first + j);
    } catch (const StoreError&) {
      call_(kOpAbortTransaction, pos_, nullptr, &len, key_, sizeof key_, 0);
      throw;
    }
    Expect(call_(kOpEndTransaction, pos_, nullptr, &len, key_, sizeof key_, 0), "End Transaction");
  }

  void InsertOne(uint32_t ordinal) override {
    uint8_t rec[kRecordSize];
    MakeRecord(ordinal, rec);
    uint32_t len = kRecordSize;
    Expect(call_(kOpInsert, pos_, rec, &len, key_, sizeof key_, 0), "Insert");
  }

  void UpdateOne(uint32_t ordinal) override {
    EqualKey0(Key0Of(ordinal));
    MakeUpdatedRecord(ordinal, record_);
    uint32_t len = kRecordSize;
    Expect(call_(kOpUpdate, pos_, record_, &len, key_, sizeof key_, 0), "Update");
  }
  void DeleteOne(uint32_t ordinal) override {
    EqualKey0(Key0Of(ordinal));
    uint32_t len = 0;
    Expect(call_(kOpDelete, pos_, nullptr, &len, key_, sizeof key_, 0), "Delete");
  }
  uint64_t BytesOnDisk() const override { return FileBytes({path_, path_ + "-log"}); }
  bool Compact() override {
    // The engine's own operation; an engine without it answers 1.
    uint32_t len = 0;
    const int16_t status = call_(kOpCompact, pos_, nullptr, &len, key_, sizeof key_, 0);
    if (status == kStatusInvalidFunction) return false;
    Expect(status, "Compact");
    return true;
  }

  bool FirstKey0() override { return Read(kOpGetFirst, 0, "Get First"); }
  bool NextKey0() override { return Read(kOpGetNext, 0, "Get Next"); }

  void EqualKey0(int32_t key) override {
    // The key buffer carries the key in the record's own bytes: little-endian.
    const uint32_t u = static_cast<uint32_t>(key);
    for (uint32_t b = 0; b < kKey0Size; ++b) key_[b] = static_cast<uint8_t>(u >> (8 * b));
    if (!Read(kOpGetEqual, 0, "Get Equal")) Expect(kStatusEndOfFile, "Get Equal");
  }
  void EqualKey1(const char* key) override {
    std::memcpy(key_, key, kKey1Size);
    if (!Read(kOpGetEqual, 1, "Get Equal")) Expect(kStatusEndOfFile, "Get Equal");
  }
  bool NextKey1() override { return Read(kOpGetNext, 1, "Get Next"); }

  bool StepFirst() override { return Read(kOpStepFirst, 0, "Step First"); }
  bool StepNext() override { return Read(kOpStepNext, 0, "Step Next"); }

 private:
  int16_t Call(uint16_t op, void* pos, void* data, uint32_t* len, const std::string& key,
               int8_t key_num) {
    char buffer[256] = {};
    std::memcpy(buffer, key.data(), std::min(key.size(), sizeof buffer - 1));
    return call_(op, pos, data, len, buffer, static_cast<uint8_t>(sizeof buffer - 1), key_num);
  }

  std::string PathKey() const {
    if (path_.size() >= 255) throw StoreError("engine: path too long for the key buffer: " + path_);
    return path_;
  }

  bool Read(uint16_t op, int8_t key_num, const char* what) {
    uint32_t len = kRecordSize;
    const int16_t status = call_(op, pos_, record_, &len, key_, sizeof key_, key_num);
    if (status == kStatusEndOfFile) return false;
    Expect(status, what);
    return true;
  }

  static void Expect(int16_t status, const char* what) {
    if (status != 0)
      throw StoreError(std::string("engine: ") + what + " answered status " +
                       std::to_string(status));
  }

  void* library_;
  BtrCall call_;
  const std::string name_;
  const std::string path_;
  uint8_t pos_[128] = {};
  uint8_t key_[255] = {};
  bool open_ = false;
  std::string load_note_ = "accelerated open";
};

}  // namespace

uint64_t FileBytes(std::initializer_list<std::string> paths) {
  uint64_t total = 0;
  for (const std::string& path : paths) {
    struct stat st;
    // What the file system holds for the file: a file's length counts blocks given back.
    if (::stat(path.c_str(), &st) == 0) total += static_cast<uint64_t>(st.st_blocks) * 512;
  }
  return total;
}

std::unique_ptr<Store> MakeEngineStore(const std::string& library, const std::string& dir,
                                       std::string* why, const std::string& name) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* e = dlerror();
    *why = e ? e : ("cannot load " + library);
    return nullptr;
  }
  auto call = reinterpret_cast<BtrCall>(dlsym(handle, "BTRCALL"));
  if (!call) {
    *why = library + " has no BTRCALL";
    dlclose(handle);
    return nullptr;
  }
  return std::make_unique<EngineStore>(handle, call, dir, name);
}

}  // namespace vastrel::bench
