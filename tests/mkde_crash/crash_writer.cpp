// The crash test's writer and compactor (crash_writer.h).
#include "tests/mkde_crash/crash_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <set>

#include "enginecore/include/wbtrv32.h"
#include "tests/mkde_crash/crash_files.h"

namespace crash {
namespace {

constexpr int kGroups = 40;
constexpr int kMaxTransactionOps = 50;

// ---------------------------------------------------------------------------------------------
// Messages: u32 length of what follows, a type byte, the payload.

void SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(4);  // the test is gone
    done += static_cast<size_t>(n);
  }
}

void Send(int fd, char type, const std::string& payload) {
  std::string frame(4, '\0');
  const uint32_t length = static_cast<uint32_t>(payload.size() + 1);
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>(length >> (8 * i));
  frame.push_back(type);
  frame += payload;
  SendAll(fd, frame);
}

// ---------------------------------------------------------------------------------------------
// The writer.

class Writer {
 public:
  Writer(std::string dir, uint64_t seed, uint32_t iteration, int fd, int8_t open_mode)
      : dir_(std::move(dir)), rng_(seed), iteration_(iteration), fd_(fd), open_mode_(open_mode) {}

  [[noreturn]] void Run() {
    for (size_t f = 0; f < kFiles.size(); ++f) Open(f);
    for (size_t f = 0; f < kFiles.size(); ++f) Load(f);
    uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
    int s = BTRCALL(BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, nullptr, 0, 0);
    if (s == 0) {
      Expect(BTRCALL(BTR_ABORT_TRANSACTION, pos, nullptr, nullptr, nullptr, 0, 0), 0,
             "Abort of an empty transaction");
      transactions_ = true;
    } else if (s != BTR_INVALID_FUNCTION) {
      Fail("Begin Transaction answered " + std::to_string(s));
    }
    Send(fd_, 'R', std::string(1, transactions_ ? 1 : 0));
    for (;;) {
      if (Chance(2)) {
        RewriteOwner();
      } else if (transactions_ && Chance(90)) {
        RunTransaction();
      } else {
        RunSingleWrite();
      }
    }
  }

 private:
  using Hook = std::function<void(const Effect&)>;

  [[noreturn]] void Fail(const std::string& what) {
    const std::string text = "writer iteration " + std::to_string(iteration_) + ", serial " +
                             std::to_string(serial_) + ": " + what;
    Send(fd_, 'F', text);
    _exit(3);
  }
  void Expect(int got, int want, const std::string& what) {
    if (got != want) {
      Fail(what + " answered " + std::to_string(got) + ", expected " + std::to_string(want));
    }
  }
  bool Chance(int percent) { return static_cast<int>(rng_() % 100) < percent; }
  uint32_t Uniform(uint32_t lo, uint32_t hi) {
    return lo + static_cast<uint32_t>(rng_() % (uint64_t{hi} - lo + 1));
  }

  void Open(size_t f) {
    Expect(OpenFile(dir_, f, pos_[f], open_mode_), 0, std::string("Open of ") + kFiles[f].name);
  }

  // The writer starts from what the files hold; the test has checked it already.
  void Load(size_t f) {
    std::string rec(512, '\0');
    uint32_t len = 512;
    int s = BTRCALL(BTR_STEP_FIRST, pos_[f], rec.data(), &len, nullptr, 0, 0);
    while (s == 0) {
      model_[f][RecordId(rec.substr(0, len))] = rec.substr(0, len);
      len = 512;
      s = BTRCALL(BTR_STEP_NEXT, pos_[f], rec.data(), &len, nullptr, 0, 0);
    }
    Expect(s, BTR_END_OF_FILE, "Step through the file at start");
  }

  std::string MakeRecord(size_t f, int32_t id) {
    const FileDef& def = kFiles[f];
    const size_t length =
        def.variable ? Uniform(def.record_length, kMaxVariableRecord) : def.record_length;
    std::string rec(length, '\0');
    auto put32 = [&](size_t at, uint32_t v) {
      for (int i = 0; i < 4; ++i) rec[at + i] = static_cast<char>(v >> (8 * i));
    };
    put32(0, static_cast<uint32_t>(id));
    char group[16];
    std::snprintf(group, sizeof group, "grp-%03u ", Uniform(0, kGroups - 1));
    std::memcpy(&rec[kGroupOffset], group, kGroupLength);
    put32(12, iteration_);
    put32(16, static_cast<uint32_t>(serial_));
    put32(20, ++op_number_);
    for (size_t i = 24; i < length; ++i) rec[i] = static_cast<char>(rng_());
    return rec;
  }

  static std::string IdValue(int32_t id) {
    std::string v(4, '\0');
    std::memcpy(v.data(), &id, 4);
    return v;
  }

  int Call(int op, size_t f, std::string* data, int8_t key_num, std::string* key_value = nullptr,
           uint32_t* out_len = nullptr) {
    uint32_t len = data ? static_cast<uint32_t>(data->size()) : 0;
    // Without a value the key buffer stays as the last call returned it (Get Next needs that).
    if (key_value) {
      std::memset(key_, 0, sizeof key_);
      std::memcpy(key_, key_value->data(), std::min(key_value->size(), sizeof key_));
    }
    int s = BTRCALL(static_cast<uint16_t>(op), pos_[f], data ? data->data() : nullptr, &len, key_,
                    sizeof key_, key_num);
    if (out_len) *out_len = len;
    return s;
  }

  // Reads record `id` along key path `path`, checking it holds what this writer last wrote
  // (its own uncommitted changes included).
  void Position(size_t f, int32_t id, int8_t path, const FileModel& local) {
    const std::string& want = local.at(id);
    std::string data(512, '\0'), key = path == 0 ? IdValue(id) : RecordGroup(want);
    uint32_t len = 0;
    // Any lock bias: the writer is alone, so every lock is granted, and a kill leaves the
    // locks it held behind for the next writer to find gone.
    const int bias = 100 * static_cast<int>(Uniform(0, 4));
    if (bias >= 300) multiple_locks_[f] = true;
    int s = Call(BTR_GET_EQUAL + bias, f, &data, path, &key, &len);
    for (size_t steps = 0; s == 0 && RecordId(data) != id; ++steps) {
      if (path == 0 || steps > local.size()) {
        Fail("Get Equal did not reach id " + std::to_string(id));
      }
      data.assign(512, '\0');
      s = Call(BTR_GET_NEXT + bias, f, &data, path, nullptr, &len);
    }
    Expect(s, 0, "positioning on id " + std::to_string(id) + " along key " + std::to_string(path));
    if (len != want.size() || data.compare(0, len, want) != 0) {
      Fail("id " + std::to_string(id) + " in " + kFiles[f].name +
           " reads other bytes than were written");
    }
  }

  int32_t AnyId(const FileModel& file) {
    auto it = file.begin();
    std::advance(it, rng_() % file.size());
    return it->first;
  }

  void Insert(size_t f, FileModel* local, std::vector<Effect>* effects, const Hook& hook) {
    int32_t id =
        !local->empty() && Chance(15) ? AnyId(*local) : static_cast<int32_t>(Uniform(1, kIdRange));
    const bool exists = local->count(id) != 0;
    const std::string rec = MakeRecord(f, id);
    const int8_t path = static_cast<int8_t>(rng_() % 2);
    std::string sent = rec;
    // A fixed-length file keeps its record length of a longer buffer.
    if (!kFiles[f].variable && Chance(10)) sent += std::string(Uniform(1, 40), '\x5a');
    const Effect effect{static_cast<uint8_t>(f), false, id, rec};
    if (!exists && hook) hook(effect);
    const int s = Call(BTR_INSERT, f, &sent, path);
    Expect(s, exists ? BTR_DUPLICATE_KEY : 0, "Insert of id " + std::to_string(id));
    if (exists) return;
    const std::string returned(reinterpret_cast<const char*>(key_), path == 0 ? 4 : kGroupLength);
    if (returned != (path == 0 ? IdValue(id) : RecordGroup(rec))) {
      Fail("Insert returned another key value");
    }
    (*local)[id] = rec;
    effects->push_back(effect);
  }

  void Update(size_t f, FileModel* local, std::vector<Effect>* effects, const Hook& hook) {
    const int32_t id = AnyId(*local);
    const int8_t path = static_cast<int8_t>(rng_() % 2);
    Position(f, id, path, *local);
    if (Chance(10)) {
      // The id is not modifiable: the Update is refused and changes nothing.
      int32_t other = id;
      while (local->count(other)) other = static_cast<int32_t>(Uniform(1, kIdRange));
      std::string moved = MakeRecord(f, other);
      Expect(Call(BTR_UPDATE, f, &moved, path), BTR_MODIFIABLE_KEY, "Update changing the id");
    }
    std::string rec = MakeRecord(f, id);
    const Effect effect{static_cast<uint8_t>(f), false, id, rec};
    if (hook) hook(effect);
    Expect(Call(BTR_UPDATE, f, &rec, path), 0, "Update of id " + std::to_string(id));
    (*local)[id] = effect.record;
    effects->push_back(effect);
  }

  void Delete(size_t f, FileModel* local, std::vector<Effect>* effects, const Hook& hook) {
    const int32_t id = AnyId(*local);
    const int8_t path = static_cast<int8_t>(rng_() % 2);
    Position(f, id, path, *local);
    const Effect effect{static_cast<uint8_t>(f), true, id, {}};
    if (hook) hook(effect);
    Expect(Call(BTR_DELETE, f, nullptr, path), 0, "Delete of id " + std::to_string(id));
    local->erase(id);
    effects->push_back(effect);
  }

  // One random change; the mix keeps every file between a few dozen and a few hundred records.
  void RandomChange(Model* local, std::vector<Effect>* effects, const Hook& hook) {
    const size_t f = rng_() % kFiles.size();
    if (multiple_locks_[f] && Chance(10)) {
      // 81 when every lock taken went with its record's Delete.
      const int s = Call(BTR_UNLOCK, f, nullptr, -2);
      if (s != 0 && s != BTR_LOCK_ERROR) Expect(s, 0, "Unlock of the multiple-record locks");
      multiple_locks_[f] = false;
    }
    FileModel& file = (*local)[f];
    const int roll = static_cast<int>(rng_() % 100);
    const int insert = file.size() < 30 ? 70 : file.size() > 250 ? 20 : 40;
    const int update = file.size() > 250 ? 30 : 35;
    if (file.empty() || roll < insert) {
      Insert(f, &file, effects, hook);
    } else if (roll < insert + update) {
      Update(f, &file, effects, hook);
    } else {
      Delete(f, &file, effects, hook);
    }
  }

  void RunTransaction() {
    ++serial_;
    uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
    // Exclusive or concurrent, with the lock bias a caller may add.
    const int begin = (Chance(50) ? BTR_BEGIN_TRANSACTION : 1000 + BTR_BEGIN_TRANSACTION) +
                      100 * static_cast<int>(Uniform(0, 4));
    Expect(BTRCALL(static_cast<uint16_t>(begin), pos, nullptr, nullptr, nullptr, 0, 0), 0,
           "Begin Transaction " + std::to_string(begin));
    Model local = model_;
    std::vector<Effect> effects;
    const int ops = static_cast<int>(Uniform(1, kMaxTransactionOps));
    for (int i = 0; i < ops; ++i) RandomChange(&local, &effects, nullptr);
    if (Chance(10)) {
      Expect(BTRCALL(BTR_ABORT_TRANSACTION, pos, nullptr, nullptr, nullptr, 0, 0), 0,
             "Abort Transaction");
      // What the transaction changed reads as it was before.
      for (size_t i = 0; i < effects.size() && i < 3; ++i) {
        const Effect& e = effects[rng_() % effects.size()];
        std::string data(512, '\0'), key = IdValue(e.id);
        uint32_t len = 0;
        const int s = Call(BTR_GET_EQUAL, e.file, &data, 0, &key, &len);
        auto it = model_[e.file].find(e.id);
        if (it == model_[e.file].end()) {
          Expect(s, BTR_KEY_NOT_FOUND, "Get Equal after Abort of an inserted id");
        } else if (s != 0 || data.compare(0, len, it->second) != 0 || len != it->second.size()) {
          Fail("id " + std::to_string(e.id) + " does not read as before the aborted transaction");
        }
      }
      return;
    }
    Send(fd_, 'T', EncodeEffects(serial_, effects));
    Expect(BTRCALL(BTR_END_TRANSACTION, pos, nullptr, nullptr, nullptr, 0, 0), 0,
           "End Transaction");
    Send(fd_, 'A', EncodeEffects(serial_, {}));
    model_ = std::move(local);
  }

  // The owned file's owner cleared and set again: each rewrites every record in one step,
  // and a kill in between must leave all of them readable with the name.
  void RewriteOwner() {
    for (size_t f = 0; f < kFiles.size(); ++f) {
      if (kFiles[f].owner_level < 0) continue;
      // Either answers 85 while the test's reader has the file open.
      const int cleared = Call(BTR_CLEAR_OWNER, f, nullptr, 0);
      if (cleared == BTR_FILE_IN_USE) continue;
      Expect(cleared, 0, "Clear Owner");
      multiple_locks_[f] = false;
      char name[sizeof kOwnerName];
      std::memcpy(name, kOwnerName, sizeof name);
      uint32_t len = sizeof name;
      const int set = BTRCALL(BTR_SET_OWNER, pos_[f], name, &len, name, sizeof name,
                              static_cast<int8_t>(kFiles[f].owner_level));
      if (set != BTR_FILE_IN_USE) Expect(set, 0, "Set Owner");
    }
  }

  // One write outside a transaction: durable when the call returns.
  void RunSingleWrite() {
    ++serial_;
    std::vector<Effect> effects;
    bool announced = false;
    Model local = model_;
    RandomChange(&local, &effects, [&](const Effect& e) {
      Send(fd_, 'T', EncodeEffects(serial_, {e}));
      announced = true;
    });
    if (announced) Send(fd_, 'A', EncodeEffects(serial_, {}));
    model_ = std::move(local);
  }

  const std::string dir_;
  std::mt19937_64 rng_;
  const uint32_t iteration_;
  const int fd_;
  const int8_t open_mode_;
  uint8_t pos_[kFiles.size()][BTR_POS_BLOCK_SIZE] = {};
  uint8_t key_[255] = {};
  bool multiple_locks_[kFiles.size()] = {};
  Model model_;
  bool transactions_ = false;
  uint64_t serial_ = uint64_t{iteration_} << 32;
  uint32_t op_number_ = 0;
};

}  // namespace

// Each compact swaps a new file in under the writer, which must follow it with nothing lost.
[[noreturn]] void RunCompactor(const std::string& dir, uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (;;) {
    const size_t f = rng() % kFiles.size();
    uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
    // 85: kept out by an exclusive transaction of the writer, or its owner change.
    int s = OpenFile(dir, f, pos, 0);
    if (s == 0) {
      uint32_t len = 0;
      s = BTRCALL(BTR_COMPACT, pos, nullptr, &len, nullptr, 0, 0);
      BTRCALL(BTR_CLOSE, pos, nullptr, nullptr, nullptr, 0, 0);
      if (s != 0 && s != BTR_FILE_IN_USE) {
        std::fprintf(stderr, "compactor: Compact of %s answered %d\n", kFiles[f].name, s);
        _exit(3);
      }
    } else if (s != BTR_FILE_IN_USE && s != BTR_INCOMPATIBLE_MODE) {
      std::fprintf(stderr, "compactor: Open of %s answered %d\n", kFiles[f].name, s);
      _exit(3);
    }
    usleep(static_cast<useconds_t>(rng() % 3000));
  }
}

[[noreturn]] void RunWriter(const std::vector<std::string>& args) {
  Writer w(args[0], std::strtoull(args[1].c_str(), nullptr, 10),
           static_cast<uint32_t>(std::strtoul(args[2].c_str(), nullptr, 10)),
           std::atoi(args[3].c_str()), static_cast<int8_t>(std::atoi(args[4].c_str())));
  w.Run();
}

}  // namespace crash
