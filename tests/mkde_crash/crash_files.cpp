#include "tests/mkde_crash/crash_files.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "enginecore/include/wbtrv32.h"

namespace crash {

namespace {

constexpr size_t kReadRoom = 512;

void PutU16(std::string* s, size_t at, uint16_t v) {
  (*s)[at] = static_cast<char>(v);
  (*s)[at + 1] = static_cast<char>(v >> 8);
}
uint32_t GetU32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}
void AppendU32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}

std::string KeyBlock(uint16_t position, uint16_t length, uint16_t flags, uint8_t type) {
  std::string block(16, '\0');
  PutU16(&block, 0, position);
  PutU16(&block, 2, length);
  PutU16(&block, 4, flags | 0x0100);  // extended type
  block[10] = static_cast<char>(type);
  return block;
}

// An open file for reading back, closed on scope exit.
class Reader {
 public:
  ~Reader() {
    if (open_) BTRCALL(BTR_CLOSE, pos_, nullptr, nullptr, nullptr, 0, 0);
  }
  int Open(const std::string& dir, size_t file, int8_t mode) {
    int s = OpenFile(dir, file, pos_, mode);
    open_ = s == 0;
    return s;
  }
  // A Get or Step; on 0 *record holds the record and key_ the returned key value.
  int Call(int op, int8_t key_num, std::string* record, const std::string& key_value = "") {
    std::memset(key_, 0, sizeof key_);
    std::memcpy(key_, key_value.data(), std::min(key_value.size(), sizeof key_));
    record->assign(kReadRoom, '\0');
    uint32_t len = kReadRoom;
    int s =
        BTRCALL(static_cast<uint16_t>(op), pos_, record->data(), &len, key_, sizeof key_, key_num);
    if (s == 0) {
      if (len > kReadRoom) return -1;  // the engine claims more than the buffer held
      record->resize(len);
    }
    return s;
  }
  int Stat(std::string* reply) {
    reply->assign(1024, '\0');
    uint32_t len = 1024;
    int s = BTRCALL(BTR_STAT, pos_, reply->data(), &len, nullptr, 0, 0);
    if (s == 0) reply->resize(std::min<size_t>(len, reply->size()));
    return s;
  }

 private:
  uint8_t pos_[BTR_POS_BLOCK_SIZE] = {};
  uint8_t key_[255] = {};
  bool open_ = false;
};

// Walks a path from `first` with `next` until 9; any other status is a fault.
bool Walk(Reader* r, int first, int next, int8_t key_num, std::vector<std::string>* out,
          std::string* problem, const char* what) {
  out->clear();
  std::string record;
  int s = r->Call(first, key_num, &record);
  while (s == 0) {
    out->push_back(record);
    if (out->size() > 100000) {
      *problem = std::string(what) + ": the walk does not end";
      return false;
    }
    s = r->Call(next, key_num, &record);
  }
  if (s != BTR_END_OF_FILE) {
    *problem = std::string(what) + " answered " + std::to_string(s) + " after " +
               std::to_string(out->size()) + " records";
    return false;
  }
  return true;
}

bool SameReversed(const std::vector<std::string>& forward, std::vector<std::string> backward) {
  std::reverse(backward.begin(), backward.end());
  return forward == backward;
}

std::string Ids(const std::vector<std::string>& records) {
  std::string s;
  for (const std::string& r : records) s += std::to_string(RecordId(r)) + " ";
  return s;
}

}  // namespace

int32_t RecordId(const std::string& record) {
  return record.size() >= 4 ? static_cast<int32_t>(GetU32(record, 0)) : -1;
}

std::string RecordGroup(const std::string& record) {
  return record.size() >= kGroupOffset + kGroupLength ? record.substr(kGroupOffset, kGroupLength)
                                                      : std::string();
}

void Apply(const std::vector<Effect>& effects, Model* model) {
  for (const Effect& e : effects) {
    FileModel& file = (*model)[e.file];
    if (e.erase) {
      file.erase(e.id);
    } else {
      file[e.id] = e.record;
    }
  }
}

// serial u64, count u32, then per effect: file u8, erase u8, id u32, length u32, bytes.
std::string EncodeEffects(uint64_t serial, const std::vector<Effect>& effects) {
  std::string s;
  AppendU32(&s, static_cast<uint32_t>(serial));
  AppendU32(&s, static_cast<uint32_t>(serial >> 32));
  AppendU32(&s, static_cast<uint32_t>(effects.size()));
  for (const Effect& e : effects) {
    s.push_back(static_cast<char>(e.file));
    s.push_back(e.erase ? 1 : 0);
    AppendU32(&s, static_cast<uint32_t>(e.id));
    AppendU32(&s, static_cast<uint32_t>(e.record.size()));
    s += e.record;
  }
  return s;
}

bool DecodeEffects(const std::string& bytes, uint64_t* serial, std::vector<Effect>* effects) {
  if (bytes.size() < 12) return false;
  *serial = GetU32(bytes, 0) | (uint64_t{GetU32(bytes, 4)} << 32);
  const uint32_t count = GetU32(bytes, 8);
  size_t at = 12;
  effects->clear();
  for (uint32_t i = 0; i < count; ++i) {
    if (bytes.size() - at < 10) return false;
    Effect e;
    e.file = static_cast<uint8_t>(bytes[at]);
    e.erase = bytes[at + 1] != 0;
    e.id = static_cast<int32_t>(GetU32(bytes, at + 2));
    const uint32_t length = GetU32(bytes, at + 6);
    at += 10;
    if (e.file >= kFiles.size() || bytes.size() - at < length) return false;
    e.record = bytes.substr(at, length);
    at += length;
    effects->push_back(std::move(e));
  }
  return at == bytes.size();
}

std::string FilePath(const std::string& dir, size_t file) { return dir + "/" + kFiles[file].name; }

int OpenFile(const std::string& dir, size_t file, uint8_t* pos, int8_t mode) {
  std::string path = FilePath(dir, file) + '\0';
  char owner[sizeof kOwnerName];
  std::memcpy(owner, kOwnerName, sizeof owner);
  uint32_t len = sizeof owner;
  return BTRCALL(BTR_OPEN, pos, owner, &len, path.data(), static_cast<uint8_t>(path.size()), mode);
}

int CreateFiles(const std::string& dir) {
  for (size_t f = 0; f < kFiles.size(); ++f) {
    const FileDef& def = kFiles[f];
    std::string b(16, '\0');
    PutU16(&b, 0, def.record_length);
    PutU16(&b, 2, 4096);
    PutU16(&b, 4, 2);
    PutU16(&b, 10, def.variable ? 0x0001 : 0);
    b += KeyBlock(1, 4, 0, 1);  // id: unique integer, not modifiable
    b += KeyBlock(kGroupOffset + 1, kGroupLength,
                  0x0001 | 0x0002 | (def.group_descending ? 0x0040 : 0), 0);
    std::string path = FilePath(dir, f) + '\0';
    uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
    uint32_t len = static_cast<uint32_t>(b.size());
    int s =
        BTRCALL(BTR_CREATE, pos, b.data(), &len, path.data(), static_cast<uint8_t>(path.size()), 0);
    if (s != 0) return s;
    if (def.owner_level >= 0) {
      s = OpenFile(dir, f, pos, 0);
      char name[sizeof kOwnerName];
      std::memcpy(name, kOwnerName, sizeof name);
      len = sizeof name;
      if (s == 0) {
        s = BTRCALL(BTR_SET_OWNER, pos, name, &len, name, sizeof name,
                    static_cast<int8_t>(def.owner_level));
      }
      BTRCALL(BTR_CLOSE, pos, nullptr, nullptr, nullptr, 0, 0);
      if (s != 0) return s;
    }
  }
  return 0;
}

bool ReadAndCheck(const std::string& dir, size_t file, int8_t open_mode, FileModel* out,
                  std::string* problem) {
  const FileDef& def = kFiles[file];
  Reader r;
  int s = r.Open(dir, file, open_mode);
  if (s != 0) {
    *problem = "open answered " + std::to_string(s);
    return false;
  }
  std::vector<std::string> physical, backward;
  if (!Walk(&r, BTR_STEP_FIRST, BTR_STEP_NEXT, 0, &physical, problem, "Step First/Next") ||
      !Walk(&r, BTR_STEP_LAST, BTR_STEP_PREVIOUS, 0, &backward, problem, "Step Last/Previous")) {
    return false;
  }
  if (!SameReversed(physical, backward)) {
    *problem = "physical order differs backwards: " + Ids(physical) + "| " + Ids(backward);
    return false;
  }
  out->clear();
  for (const std::string& rec : physical) {
    const bool length_ok = def.variable
                               ? rec.size() >= def.record_length && rec.size() <= kMaxVariableRecord
                               : rec.size() == def.record_length;
    if (!length_ok) {
      *problem =
          "record " + std::to_string(RecordId(rec)) + " has length " + std::to_string(rec.size());
      return false;
    }
    if (!out->emplace(RecordId(rec), rec).second) {
      *problem = "id " + std::to_string(RecordId(rec)) + " twice in physical order";
      return false;
    }
  }

  // Each key path holds exactly the physical records, in key order, the same both ways.
  std::set<std::string> groups;
  for (int8_t key = 0; key < 2; ++key) {
    std::vector<std::string> forward, reverse;
    const std::string name = "key " + std::to_string(key);
    if (!Walk(&r, BTR_GET_FIRST, BTR_GET_NEXT, key, &forward, problem,
              (name + " Get First/Next").c_str()) ||
        !Walk(&r, BTR_GET_LAST, BTR_GET_PREVIOUS, key, &reverse, problem,
              (name + " Get Last/Previous").c_str())) {
      return false;
    }
    if (!SameReversed(forward, reverse)) {
      *problem = name + " differs backwards: " + Ids(forward) + "| " + Ids(reverse);
      return false;
    }
    if (forward.size() != out->size()) {
      *problem = name + " holds " + std::to_string(forward.size()) + " records, physical order " +
                 std::to_string(out->size());
      return false;
    }
    for (size_t i = 0; i < forward.size(); ++i) {
      auto it = out->find(RecordId(forward[i]));
      if (it == out->end() || it->second != forward[i]) {
        *problem = name + " reaches record " + std::to_string(RecordId(forward[i])) +
                   " that physical order does not hold as read";
        return false;
      }
      if (i == 0) continue;
      bool ordered;
      if (key == 0) {
        ordered = RecordId(forward[i - 1]) < RecordId(forward[i]);
      } else {
        const int c = RecordGroup(forward[i - 1]).compare(RecordGroup(forward[i]));
        ordered = def.group_descending ? c >= 0 : c <= 0;
      }
      if (!ordered) {
        *problem = name + " out of order at " + std::to_string(i) + ": " + Ids(forward);
        return false;
      }
    }
    if (key == 1) {
      for (const std::string& rec : forward) groups.insert(RecordGroup(rec));
    }
  }

  for (const auto& [id, rec] : *out) {
    std::string value(4, '\0'), got;
    std::memcpy(value.data(), &rec[0], 4);
    s = r.Call(BTR_GET_EQUAL, 0, &got, value);
    if (s != 0 || got != rec) {
      *problem = "Get Equal of id " + std::to_string(id) + " answered " + std::to_string(s) +
                 (s == 0 ? " with other bytes" : "");
      return false;
    }
  }

  std::string stat;
  s = r.Stat(&stat);
  if (s != 0 || stat.size() < 48) {
    *problem = "Stat answered " + std::to_string(s);
    return false;
  }
  const uint32_t count = GetU32(stat, 6);
  const uint32_t unique0 = GetU32(stat, 16 + 6);
  const uint32_t unique1 = GetU32(stat, 32 + 6);
  if (count != out->size() || unique0 != out->size() || unique1 != groups.size()) {
    *problem = "Stat counts " + std::to_string(count) + " records, " + std::to_string(unique0) +
               " and " + std::to_string(unique1) + " unique values; the file holds " +
               std::to_string(out->size()) + " records in " + std::to_string(groups.size()) +
               " groups";
    return false;
  }
  return true;
}

std::string DescribeDifference(const FileModel& expected, const FileModel& actual, size_t limit) {
  std::string s;
  size_t lines = 0;
  auto line = [&](const std::string& text) {
    if (lines++ < limit) s += "    " + text + "\n";
  };
  for (const auto& [id, rec] : expected) {
    auto it = actual.find(id);
    if (it == actual.end()) {
      line("id " + std::to_string(id) + " missing (written by serial " +
           std::to_string(GetU32(rec, 16)) + ")");
    } else if (it->second != rec) {
      line("id " + std::to_string(id) + " holds serial " + std::to_string(GetU32(it->second, 16)) +
           ", expected serial " + std::to_string(GetU32(rec, 16)));
    }
  }
  for (const auto& [id, rec] : actual) {
    if (!expected.count(id)) {
      line("id " + std::to_string(id) + " unexpected (serial " + std::to_string(GetU32(rec, 16)) +
           ")");
    }
  }
  if (lines > limit) s += "    ... " + std::to_string(lines - limit) + " more\n";
  return s;
}

}  // namespace crash
