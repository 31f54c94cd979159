// A recording stand-in for the engine library, put behind the component's two engine
// wrappers (engine::EngineCall, engine::EngineCallWithID) for the life of one object.
//
// Every call that reaches it is recorded: the operation, the key number as the engine
// reads it, the data length sent, the bytes of the data area and the key buffer, and the
// client ID of BTRCALLID calls. Answers are scripted per operation code: each scripted reply
// answers one call with that exact code, in the order scripted; an unscripted call answers
// status 0 and changes nothing.
//
//   RecordingEngine engine;                       // installed; module state fresh
//   engine.Wake();                                // the plain warm-up, then a clean log
//   engine.Reply(12, 9);                                       // the next Get First answers End Of
//   File table.First();                                // raises Btrexception (9)
//   EXPECT_EQ(engine.Last().operation, 12);
//
// Only one RecordingEngine may exist at a time. Its destructor runs module end (so the
// Stop calls reach it) and leaves the module with no engine (status -9999 everywhere).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vastrel::testing {

struct RecordedCall {
  uint16_t operation = 0;
  int8_t key_number = 0;
  uint8_t key_length = 0;
  // The data length that the caller offered or sent.
  uint32_t data_length = 0;
  // The addresses as received; the data area may be null.
  const void* data_address = nullptr;
  const void* key_address = nullptr;
  const void* position_block = nullptr;
  // The first data_length bytes of the data area (none when it is null).
  std::vector<uint8_t> data;
  // The first key_length bytes of the key buffer.
  std::vector<uint8_t> key;
  // BTRCALLID calls: the 16 bytes of the client ID block and the ID text in it.
  bool with_client_id = false;
  std::vector<uint8_t> client_block;
  std::string client_id;

  // The data area's bytes as text up to the first zero byte.
  std::string DataText() const;
  // The key buffer's bytes as text up to the first zero byte.
  std::string KeyText() const;
};

struct ScriptedReply {
  int16_t status = 0;
  // Copied to the start of the data area (at most the length offered, never into a null
  // area); the returned data length becomes the bytes copied unless data_length is set.
  std::optional<std::vector<uint8_t>> data;
  std::optional<uint32_t> data_length;
  // Copied to the start of the key buffer (at most the key length).
  std::optional<std::vector<uint8_t>> key;
  // Runs last, with the caller's areas, for answers a fixed reply cannot give.
  std::function<void(uint8_t* data, uint32_t* data_length, uint8_t* key)> action;
};

class RecordingEngine {
 public:
  // Installs the stand-in with both entry points (or only those asked for) and a fresh
  // module state: the engine is not woken and no client ID is known.
  explicit RecordingEngine(bool plain_entry = true, bool client_entry = true);
  ~RecordingEngine();
  RecordingEngine(const RecordingEngine&) = delete;
  RecordingEngine& operator=(const RecordingEngine&) = delete;

  // Runs the plain warm-up (one Version call through the wrapper) and clears the log.
  void Wake();

  // Scripts the answer to the next call with this operation code.
  void Reply(uint16_t operation, ScriptedReply reply);
  void Reply(uint16_t operation, int16_t status) { Reply(operation, Status(status)); }
  // A reply that only answers a status; one that also fills the data area.
  static ScriptedReply Status(int16_t status);
  static ScriptedReply Data(std::vector<uint8_t> bytes, int16_t status = 0);
  static ScriptedReply Text(const std::string& text, int16_t status = 0);
  // Answers every call with this code that has no one-off reply left.
  void ReplyAlways(uint16_t operation, ScriptedReply reply);

  const std::vector<RecordedCall>& Calls() const { return calls_; }
  const RecordedCall& Last() const;
  // The operation codes of the calls, in order.
  std::vector<uint16_t> Operations() const;
  // The calls with this operation code.
  std::vector<RecordedCall> CallsOf(uint16_t operation) const;
  void ClearCalls() { calls_.clear(); }

  // The reply of Stat: the file specification (record length, page size, record count,
  // flags word) and the key blocks given; the number of keys is counted from the blocks.
  static ScriptedReply StatReply(uint16_t record_length, uint16_t page_size, uint32_t record_count,
                                 const std::vector<std::vector<uint8_t>>& key_blocks = {},
                                 uint16_t flags = 0);
  // A 16-byte key block: position, length, flags.
  static std::vector<uint8_t> KeyBlock(int16_t position, int16_t length, uint16_t flags);

 private:
  static int16_t Plain(uint16_t op, void* pos, void* data, uint32_t* len, void* key,
                       uint8_t key_len, int8_t key_num);
  static int16_t WithId(uint16_t op, void* pos, void* data, uint32_t* len, void* key,
                        uint8_t key_len, int8_t key_num, void* client);
  int16_t Answer(uint16_t op, void* pos, void* data, uint32_t* len, void* key, uint8_t key_len,
                 int8_t key_num, const uint8_t* client);

  std::vector<RecordedCall> calls_;
  std::map<uint16_t, std::deque<ScriptedReply>> once_;
  std::map<uint16_t, ScriptedReply> always_;
};

}  // namespace vastrel::testing
