// Fuzz target for the record engine's entry points: the input is read as a sequence of
// BTRCALL / BTRCALLID calls (operation codes with lock biases, position blocks whole,
// damaged or foreign, data and key buffers of any length, key numbers, three clients)
// against two small record files in a temporary folder. Every buffer is allocated at exactly
// the length the call declares, so a read or write past it is caught; the engine must
// answer every call with a status and never claim to have written more than it was offered.
//
// What a hostile caller cannot be protected from is left out: addresses inside an Update
// Chunk descriptor (0x80000001) always point at real chunk buffers, and paths for Open and
// Create stay inside the temporary folder. Wait-lock biases become their no-wait forms, so
// that a conflict answers at once instead of after the engine's bounded wait.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "enginecore/include/wbtrv32.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Reads the fuzz input front to back; past its end every read gives zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t U32() { return U16() | uint32_t{U16()} << 16; }
  // Up to n bytes of the input (fewer at its end).
  std::string Take(size_t n) {
    n = std::min(n, size_ - std::min(at_, size_));
    std::string s(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Codes the engine knows, so that most calls reach an operation.
constexpr uint16_t kOps[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,  14,
                             15, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 33,  34,
                             35, 44, 45, 53, 55, 56, 57, 58, 59, 60, 61, 62, 63, 1019};
constexpr uint16_t kBiases[] = {0, 0, 0, 200, 400};

constexpr size_t kLengths[] = {0,   1,   2,   3,    4,    5,    8,    15,    16,   24,
                               32,  40,  47,  48,   64,   100,  127,  128,   255,  256,
                               300, 512, 999, 1000, 4096, 4097, 8192, 33455, 65535};

const char* const kPaths[] = {
    "base.dat", "var.dat",       "new.dat",       "missing.dat",  "junk.dat", ".",
    "",         "base.dat-lock", "base.dat-gate", "sub/none.dat", "new2.dat"};

void PutU16(std::string* s, size_t at, uint16_t v) {
  (*s)[at] = static_cast<char>(v);
  (*s)[at + 1] = static_cast<char>(v >> 8);
}

std::string KeyBlock(uint16_t position, uint16_t length, uint16_t flags, uint8_t type) {
  std::string b(16, '\0');
  PutU16(&b, 0, position);
  PutU16(&b, 2, length);
  PutU16(&b, 4, flags | 0x0100);
  b[10] = static_cast<char>(type);
  return b;
}

// base.dat: 48-byte records; key 0 a unique integer, key 1 a string with duplicates,
// modifiable; key 2 an autoincrement. var.dat: variable length over a 24-byte fixed part;
// key 0 a case-insensitive zstring, key 1 a descending two-segment key with null values.
std::string CreationBuffer(int which) {
  std::string b(16, '\0');
  if (which == 0) {
    PutU16(&b, 0, 48);
    PutU16(&b, 2, 4096);
    PutU16(&b, 4, 3);
    b += KeyBlock(1, 4, 0, 1);
    b += KeyBlock(5, 10, 0x0003, 0);
    b += KeyBlock(41, 4, 0, 15);
  } else {
    PutU16(&b, 0, 24);
    PutU16(&b, 2, 1024);
    PutU16(&b, 4, 2);
    PutU16(&b, 10, 0x0001);
    b += KeyBlock(1, 10, 0x0400, 11);
    b += KeyBlock(11, 2, 0x0001 | 0x0008 | 0x0010 | 0x0040, 1);
    b += KeyBlock(13, 6, 0x0001 | 0x0008 | 0x0040, 0);
  }
  return b;
}

struct Client {
  bool plain;  // BTRCALL rather than BTRCALLID
  uint8_t id[16];
};

class Session {
 public:
  Session() {
    // A memory file system where there is one: every input creates its files afresh, and
    // syncs there cost nothing.
    std::string tmpl = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/engine-fuzz-XXXXXX"
                                                                 : "/tmp/engine-fuzz-XXXXXX";
    Check(mkdtemp(tmpl.data()) != nullptr);
    dir_ = tmpl;
    static std::string folder = dir_;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    });
    std::memcpy(clients_[1].id, "fuzz client AID1", 16);
    std::memcpy(clients_[2].id, "fuzz client BID2", 16);
  }

  void Run(Input& in) {
    Reset();
    int owner_calls = 0;
    owner_names_.assign(1, std::string());
    for (int call = 0; call < 64 && !in.done(); ++call) OneCall(in, &owner_calls);
    CheckFilesWhole();
  }

 private:
  int16_t Call(const Client& c, uint16_t op, void* pos, void* data, uint32_t* len, void* key,
               uint8_t key_len, int8_t key_num) {
    return c.plain
               ? BTRCALL(op, pos, data, len, key, key_len, key_num)
               : BTRCALLID(op, pos, data, len, key, key_len, key_num, const_cast<uint8_t*>(c.id));
  }

  // Every input starts from the same two files, opened by the default client.
  void Reset() {
    uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
    for (const Client& c : clients_) Call(c, BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0);
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      std::filesystem::remove_all(entry.path());
    }
    std::FILE* junk = std::fopen((dir_ + "/junk.dat").c_str(), "wb");
    Check(junk != nullptr);
    std::fputs("not a record file, just some bytes of text", junk);
    std::fclose(junk);
    std::memset(slots_, 0, sizeof slots_);
    for (int f = 0; f < 2; ++f) {
      std::string spec = CreationBuffer(f);
      std::string path = dir_ + "/" + kPaths[f] + '\0';
      uint32_t len = static_cast<uint32_t>(spec.size());
      Check(BTRCALL(BTR_CREATE, pos, spec.data(), &len, path.data(),
                    static_cast<uint8_t>(path.size()), 0) == 0);
      char owner[9] = {};
      len = sizeof owner;
      Check(BTRCALL(BTR_OPEN, slots_[f], owner, &len, path.data(),
                    static_cast<uint8_t>(path.size()), -1) == 0);
      for (int i = 0; i < 4; ++i) {
        std::string rec(f == 0 ? 48 : 40 + 10 * i, '\0');
        rec[0] = static_cast<char>('a' + i);
        rec[4] = static_cast<char>('k' + i % 2);
        if (f == 1) rec[1] = 0;
        uint8_t key[255];
        len = static_cast<uint32_t>(rec.size());
        Check(BTRCALL(BTR_INSERT, slots_[f], rec.data(), &len, key, sizeof key, 0) == 0);
      }
    }
  }

  uint16_t Operation(Input& in) {
    const uint8_t b = in.Byte();
    uint16_t op;
    if (b < 224) {
      op = kOps[b % std::size(kOps)] + kBiases[(b / std::size(kOps)) % std::size(kBiases)];
    } else {
      op = in.U16();
    }
    // Wait biases (+100, +300) become no-wait (+200, +400).
    const int bias = (op % 1000) / 100;
    if (bias == 1 || bias == 3) op = static_cast<uint16_t>(op + 100);
    return op;
  }

  // Returns the position block for the call: a slot as it is, a fresh or damaged one, or NULL.
  uint8_t* PositionBlock(Input& in) {
    const uint8_t b = in.Byte();
    switch (b % 8) {
      case 4:
        std::memset(scratch_, 0, sizeof scratch_);
        return scratch_;
      case 5: {
        std::memcpy(scratch_, slots_[(b / 8) % 4], sizeof scratch_);
        for (int n = 1 + in.Byte() % 4; n > 0; --n) {
          const uint8_t at = in.Byte() % BTR_POS_BLOCK_SIZE;
          scratch_[at] ^= static_cast<uint8_t>(in.Byte() | 1);
        }
        return scratch_;
      }
      case 6: {
        const std::string bytes = in.Take(BTR_POS_BLOCK_SIZE);
        std::memset(scratch_, 0xA5, sizeof scratch_);
        std::memcpy(scratch_, bytes.data(), bytes.size());
        return scratch_;
      }
      case 7:
        return b >= 248 ? nullptr : slots_[(b / 8) % 4];
      default:
        return slots_[b % 4];
    }
  }

  // The data buffer's bytes: a creation buffer for Create, else input bytes and a pattern.
  static void FillData(Input& in, uint16_t op, uint8_t* data, size_t length) {
    std::string bytes;
    if (op == BTR_CREATE && in.Byte() % 2 == 0) {
      bytes = CreationBuffer(in.Byte() % 2);
      for (int n = in.Byte() % 4; n > 0 && !bytes.empty(); --n) {
        bytes[in.Byte() % bytes.size()] = static_cast<char>(in.Byte());
      }
    } else {
      bytes = in.Take(std::min<size_t>(length, in.Byte()));
    }
    for (size_t i = 0; i < length; ++i) {
      data[i] =
          i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : static_cast<uint8_t>('a' + i % 26);
    }
  }

  // Update Chunk with direct addresses: each entry the buffer holds gets a real chunk.
  void PointChunks(uint8_t* data, size_t length) {
    auto get32 = [&](size_t at) {
      uint32_t v;
      std::memcpy(&v, data + at, 4);
      return v;
    };
    if (length < 8 || get32(0) != 0x80000001) return;
    const uint32_t count = get32(4);
    for (size_t i = 0; i < count && 8 + 16 * (i + 1) <= length; ++i) {
      const size_t entry = 8 + 16 * i;
      uint32_t chunk_length = std::min<uint32_t>(get32(entry + 4), 1 << 16);
      std::memcpy(data + entry + 4, &chunk_length, 4);
      chunks_.emplace_back(new uint8_t[chunk_length ? chunk_length : 1]);
      std::memset(chunks_.back().get(), 'c', chunk_length ? chunk_length : 1);
      const uint64_t address = reinterpret_cast<uintptr_t>(chunks_.back().get());
      std::memcpy(data + entry + 8, &address, 8);
    }
  }

  void OneCall(Input& in, int* owner_calls) {
    uint16_t op = Operation(in);
    const uint16_t base = op % 100;
    if (base == BTR_SET_OWNER || base == BTR_CLEAR_OWNER) {
      // Each runs the key derivation; one per input keeps the fuzzer fast.
      if (++*owner_calls > 1) return;
    }
    const Client& client = clients_[in.Byte() % 3];
    uint8_t* pos = PositionBlock(in);

    // The data buffer: exactly as long as declared.
    const uint8_t shape = in.Byte();
    size_t length = shape < 200 ? kLengths[shape % std::size(kLengths)] : in.U16();
    std::unique_ptr<uint8_t[]> data(new uint8_t[length]);
    FillData(in, base, data.get(), length);
    chunks_.clear();
    if (base == BTR_UPDATE_CHUNK) PointChunks(data.get(), length);
    uint32_t declared = static_cast<uint32_t>(length);
    uint32_t* len_ptr = &declared;
    uint8_t* data_ptr = data.get();
    const uint8_t nulls = in.Byte();
    if (nulls % 16 == 1) data_ptr = nullptr;
    if (nulls % 16 == 2) len_ptr = nullptr;

    // The key buffer: exactly key_len bytes. Open and Create take a path from the table, or
    // a name inside the folder.
    const uint8_t key_shape = in.Byte();
    std::string key_bytes;
    uint8_t key_len;
    if (base == BTR_OPEN || base == BTR_CREATE) {
      if (key_shape < 200) {
        key_bytes = dir_ + "/" + kPaths[key_shape % std::size(kPaths)] + '\0';
        if (key_shape % 7 == 6 && !key_bytes.empty()) key_bytes.pop_back();  // no NUL
      } else {
        std::string name = in.Take(in.Byte() % 200);
        for (char& c : name) {
          if (c == '/') c = '_';
        }
        if (name == "..") name = "x";
        key_bytes = dir_ + "/" + name;
      }
      key_len = static_cast<uint8_t>(std::min<size_t>(key_bytes.size(), 255));
    } else {
      key_len = key_shape;
      key_bytes = in.Take(key_len);
    }
    std::unique_ptr<uint8_t[]> key(new uint8_t[key_len]);
    for (size_t i = 0; i < key_len; ++i) {
      key[i] = i < key_bytes.size() ? static_cast<uint8_t>(key_bytes[i]) : static_cast<uint8_t>(i);
    }
    uint8_t* key_ptr = key.get();
    if (nulls % 16 == 3) key_ptr = nullptr;
    const int8_t key_num = static_cast<int8_t>(in.Byte());

    const int16_t status = Call(client, op, pos, data_ptr, len_ptr, key_ptr, key_len, key_num);
    // The engine never says it wrote more than it was offered.
    if (data_ptr && len_ptr) Check(declared <= length);
    // A name that took: the files are checked with it at the end.
    if (base == BTR_SET_OWNER && status == 0 && key_ptr) {
      const void* nul = std::memchr(key_ptr, 0, key_len);
      if (nul)
        owner_names_.emplace_back(reinterpret_cast<const char*>(key_ptr),
                                  static_cast<const uint8_t*>(nul) - key_ptr);
    }
  }

  // Whatever the calls did, the two files still hold together: reopened (with any owner
  // name the input set), every record reads in physical order and along each key path of
  // the first file, which has no null keys, as many times as physical order holds it.
  void CheckFilesWhole() {
    uint8_t stop[BTR_POS_BLOCK_SIZE] = {};
    for (const Client& c : clients_) Call(c, BTR_STOP, stop, nullptr, nullptr, nullptr, 0, 0);
    for (int f = 0; f < 2; ++f) {
      uint8_t pos[BTR_POS_BLOCK_SIZE] = {};
      std::string path = dir_ + "/" + kPaths[f] + '\0';
      int s = BTR_INVALID_OWNER;
      for (size_t i = 0; i < owner_names_.size() && s == BTR_INVALID_OWNER; ++i) {
        std::string name = owner_names_[i] + '\0';
        uint32_t len = static_cast<uint32_t>(name.size());
        s = BTRCALL(BTR_OPEN, pos, name.data(), &len, path.data(),
                    static_cast<uint8_t>(path.size()), 0);
      }
      // The input may have replaced or removed the file, or made it another's.
      if (s != 0) continue;
      const size_t physical = Count(pos, BTR_STEP_FIRST, BTR_STEP_NEXT, 0);
      if (f == 0) {
        uint8_t spec[1024];
        uint32_t len = sizeof spec;
        Check(BTRCALL(BTR_STAT, pos, spec, &len, nullptr, 0, 0) == 0);
        // Only a file shaped as Reset made it: three one-segment keys without null values.
        bool plain = len == 16 + 3 * 16 && spec[4] == 3 && spec[5] == 0;
        for (size_t b = 16; plain && b < len; b += 16) {
          const uint16_t flags = static_cast<uint16_t>(spec[b + 4] | spec[b + 5] << 8);
          plain = (flags & (0x0008 | 0x0010 | 0x0200)) == 0;
        }
        if (plain) {
          for (int8_t key = 0; key < 3; ++key) {
            Check(Count(pos, BTR_GET_FIRST, BTR_GET_NEXT, key) == physical);
          }
        }
      }
      BTRCALL(BTR_CLOSE, pos, nullptr, nullptr, nullptr, 0, 0);
    }
  }

  // Walks from `first` with `next`; every record must read (0) until the end (9).
  static size_t Count(uint8_t* pos, uint16_t first, uint16_t next, int8_t key) {
    std::unique_ptr<uint8_t[]> record(new uint8_t[65535]);
    uint8_t key_buf[255] = {};
    size_t n = 0;
    uint32_t len = 65535;
    int s = BTRCALL(first, pos, record.get(), &len, key_buf, sizeof key_buf, key);
    while (s == 0) {
      ++n;
      len = 65535;
      s = BTRCALL(next, pos, record.get(), &len, key_buf, sizeof key_buf, key);
    }
    if (s != BTR_END_OF_FILE) {
      std::fprintf(stderr, "walk from op %u on key %d answered %d after %zu records\n", first, key,
                   s, n);
      std::abort();
    }
    return n;
  }

  std::string dir_;
  Client clients_[3] = {{true, {}}, {false, {}}, {false, {}}};
  uint8_t slots_[4][BTR_POS_BLOCK_SIZE] = {};
  uint8_t scratch_[BTR_POS_BLOCK_SIZE] = {};
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  std::vector<std::string> owner_names_;  // "" and every name Set Owner took
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session* session = new Session();
  Input in(data, size);
  session->Run(in);
  return 0;
}
