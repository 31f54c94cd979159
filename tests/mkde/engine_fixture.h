// Test helpers for the record engine: creation buffers, one open file per Table, and a
// temporary folder per test. Tests call the engine through BTRCALL / BTRCALLID as any
// caller would.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "enginecore/include/wbtrv32.h"

namespace mkde_test {

struct Seg {
  uint16_t position;  // 1-based
  uint16_t length;
  uint16_t flags;
  uint8_t type;
  uint8_t null_value = 0;
};
using Key = std::vector<Seg>;

inline void PutU16(std::string* s, size_t at, uint16_t v) {
  (*s)[at] = static_cast<char>(v);
  (*s)[at + 1] = static_cast<char>(v >> 8);
}
inline uint16_t GetU16(const std::string& s, size_t at) {
  return static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8);
}
inline uint32_t GetU32(const std::string& s, size_t at) {
  return GetU16(s, at) | (uint32_t{GetU16(s, at + 2)} << 16);
}
// A 4-byte integer key value, as the key buffer carries it.
inline std::string IdKey(int32_t id) { return std::string(reinterpret_cast<char*>(&id), 4); }

// Polls `fact` until it holds: false only when it did not within `bound`, which nothing but
// a hang reaches. For what a test would otherwise sleep for a while to let happen.
template <class F>
bool Eventually(F fact, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!fact()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs `body` in a child process; its return value is the child's exit status.
template <class F>
pid_t Spawn(F body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}
// The exit status of a child, or 100 + the signal that ended it.
inline int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Once a client of process `pid` waits for a gate or a record lock that another client
// holds: true; false when none did within Eventually's bound.
bool AwaitWaiter(pid_t pid);

// A record of `length` bytes: the 4-byte id, then as much of `text` as fits, then zeros.
inline std::string Record(uint16_t length, int32_t id, std::string_view text) {
  std::string r(length, '\0');
  std::memcpy(r.data(), &id, 4);
  std::memcpy(r.data() + 4, text.data(), std::min<size_t>(text.size(), length - 4u));
  return r;
}

// The 4-byte id a record begins with.
inline int32_t IdOf(const std::string& record) {
  int32_t id;
  std::memcpy(&id, record.data(), 4);
  return id;
}

// Client ID blocks of two clients: 12 zero bytes, the ID text, zero bytes.
inline constexpr uint8_t kClientA[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'A', 0, 0, 0};
inline constexpr uint8_t kClientB[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'B', 0, 0, 0};

inline std::string U32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

// A creation buffer: every segment gets the extended-type flag, and every segment but a
// key's last the segment-follows flag.
inline std::string CreationBuffer(uint16_t record_length, const std::vector<Key>& keys,
                                  uint16_t file_flags = 0) {
  std::string b(16, '\0');
  PutU16(&b, 0, record_length);
  PutU16(&b, 2, 4096);
  PutU16(&b, 4, static_cast<uint16_t>(keys.size()));
  PutU16(&b, 10, file_flags);
  for (const Key& key : keys) {
    for (size_t i = 0; i < key.size(); ++i) {
      std::string block(16, '\0');
      PutU16(&block, 0, key[i].position);
      PutU16(&block, 2, key[i].length);
      uint16_t flags = key[i].flags | 0x0100;
      if (i + 1 < key.size()) flags |= 0x0010;
      PutU16(&block, 4, flags);
      block[10] = static_cast<char>(key[i].type);
      block[11] = static_cast<char>(key[i].null_value);
      b += block;
    }
  }
  return b;
}

// The calling client: nullptr for BTRCALL, else the 16 bytes for BTRCALLID.
inline int16_t Call(uint16_t op, void* pos, std::string* data, std::string* key, int8_t key_num,
                    const uint8_t* client = nullptr, uint32_t* out_len = nullptr) {
  uint32_t len = data ? static_cast<uint32_t>(data->size()) : 0;
  uint8_t key_len = key ? static_cast<uint8_t>(std::min<size_t>(key->size(), 255)) : 0;
  void* d = data ? data->data() : nullptr;
  void* k = key ? key->data() : nullptr;
  int16_t status =
      client ? BTRCALLID(op, pos, d, &len, k, key_len, key_num, const_cast<uint8_t*>(client))
             : BTRCALL(op, pos, d, &len, k, key_len, key_num);
  if (out_len) *out_len = len;
  if (data && status == 0 && len <= data->size()) data->resize(len);
  return status;
}

inline int16_t CreateFile(const std::string& path, const std::string& buffer, int8_t key_num = 0) {
  std::string data = buffer;
  std::string key = path + '\0';
  uint8_t pos[128] = {};
  return Call(BTR_CREATE, pos, &data, &key, key_num);
}

// One open file: a position block, its client, and a data buffer of the record length.
class Table {
 public:
  explicit Table(const uint8_t* client = nullptr) {
    if (client) {
      std::memcpy(client_, client, 16);
      has_client_ = true;
    }
  }
  ~Table() {
    if (open_) Close();
  }
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  // Opens with an owner name (the data buffer's text).
  int16_t Open(const std::string& path, int8_t mode = 0, const std::string& owner = "") {
    std::string key = path + '\0';
    std::string data = owner;
    data.resize(101, '\0');
    int16_t s = Do(BTR_OPEN, &data, &key, mode);
    open_ = s == 0;
    last_data = data;
    return s;
  }
  int16_t Close() {
    open_ = false;
    return Do(BTR_CLOSE, nullptr, nullptr, 0);
  }
  int16_t Insert(const std::string& record, int8_t key = 0) {
    data = record;
    key_buf.assign(255, '\0');
    return Do(BTR_INSERT, &data, &key_buf, key);
  }
  int16_t Update(const std::string& record, int8_t key = 0) {
    data = record;
    key_buf.assign(255, '\0');
    return Do(BTR_UPDATE, &data, &key_buf, key);
  }
  int16_t Delete(int8_t key = 0) {
    std::string d;
    return Do(BTR_DELETE, &d, nullptr, key);
  }
  // A Get with a key value (padded to 255 bytes) and a data buffer of `room` bytes.
  int16_t Get(uint16_t op, int8_t key, const std::string& value = "", size_t room = 4096) {
    key_buf = value;
    key_buf.resize(255, '\0');
    data.assign(room, '\0');
    return Do(op, &data, &key_buf, key);
  }
  int16_t Step(uint16_t op, size_t room = 4096) {
    data.assign(room, '\0');
    return Do(op, &data, nullptr, 0);
  }
  int16_t Position(uint32_t* position) {
    std::string d(4, '\0');
    int16_t s = Do(BTR_GET_POSITION, &d, nullptr, 0);
    if (s == 0) *position = GetU32(d, 0);
    return s;
  }
  int16_t Direct(uint32_t position, int8_t key = -1, size_t room = 4096) {
    data.assign(room, '\0');
    std::memcpy(data.data(), U32(position).data(), 4);
    key_buf.assign(255, '\0');
    return Do(BTR_GET_DIRECT, &data, &key_buf, key);
  }
  int16_t Stat(std::string* reply) {
    reply->assign(33455, '\0');
    return Do(BTR_STAT, reply, nullptr, 0);
  }
  int16_t Do(uint16_t op, std::string* d, std::string* k, int8_t key_num) {
    return Call(op, pos, d, k, key_num, has_client_ ? client_ : nullptr, &out_len);
  }

  uint8_t pos[128] = {};
  std::string data;
  std::string key_buf;
  std::string last_data;
  uint32_t out_len = 0;

 private:
  uint8_t client_[16] = {};
  bool has_client_ = false;
  bool open_ = false;
};

// A fresh folder per test, removed afterwards; Stop ends whatever a test left open.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mkde-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    uint8_t pos[128] = {};
    BTRCALL(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0);
    std::filesystem::remove_all(dir_);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

}  // namespace mkde_test
