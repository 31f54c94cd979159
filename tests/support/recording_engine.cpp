#include "tests/support/recording_engine.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "binding/engine.h"

namespace vastrel::testing {
namespace {
RecordingEngine* current = nullptr;

std::string TextOf(const std::vector<uint8_t>& bytes) {
  auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
  return std::string(bytes.begin(), end);
}
}  // namespace

std::string RecordedCall::DataText() const { return TextOf(data); }
std::string RecordedCall::KeyText() const { return TextOf(key); }

RecordingEngine::RecordingEngine(bool plain_entry, bool client_entry) {
  if (current != nullptr) throw std::logic_error("one RecordingEngine at a time");
  current = this;
  engine::ModuleStartWith(plain_entry ? &Plain : nullptr, client_entry ? &WithId : nullptr);
}

RecordingEngine::~RecordingEngine() {
  engine::ModuleEnd();
  current = nullptr;
}

void RecordingEngine::Wake() {
  uint8_t scratch[256] = {};
  uint32_t length = 0;
  static_cast<void>(
      engine::EngineCall(engine::kOpVersion, scratch, scratch, &length, scratch, 0, 0));
  calls_.clear();
}

void RecordingEngine::Reply(uint16_t operation, ScriptedReply reply) {
  once_[operation].push_back(std::move(reply));
}

void RecordingEngine::ReplyAlways(uint16_t operation, ScriptedReply reply) {
  always_[operation] = std::move(reply);
}

ScriptedReply RecordingEngine::Status(int16_t status) {
  ScriptedReply reply;
  reply.status = status;
  return reply;
}

ScriptedReply RecordingEngine::Data(std::vector<uint8_t> bytes, int16_t status) {
  ScriptedReply reply;
  reply.status = status;
  reply.data = std::move(bytes);
  return reply;
}

ScriptedReply RecordingEngine::Text(const std::string& text, int16_t status) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return Data(std::move(bytes), status);
}

const RecordedCall& RecordingEngine::Last() const {
  if (calls_.empty()) throw std::logic_error("no engine call was made");
  return calls_.back();
}

std::vector<uint16_t> RecordingEngine::Operations() const {
  std::vector<uint16_t> ops;
  for (const auto& c : calls_) ops.push_back(c.operation);
  return ops;
}

std::vector<RecordedCall> RecordingEngine::CallsOf(uint16_t operation) const {
  std::vector<RecordedCall> out;
  for (const auto& c : calls_) {
    if (c.operation == operation) out.push_back(c);
  }
  return out;
}

int16_t RecordingEngine::Plain(uint16_t op, void* pos, void* data, uint32_t* len, void* key,
                               uint8_t key_len, int8_t key_num) {
  return current->Answer(op, pos, data, len, key, key_len, key_num, nullptr);
}

int16_t RecordingEngine::WithId(uint16_t op, void* pos, void* data, uint32_t* len, void* key,
                                uint8_t key_len, int8_t key_num, void* client) {
  return current->Answer(op, pos, data, len, key, key_len, key_num,
                         static_cast<const uint8_t*>(client));
}

int16_t RecordingEngine::Answer(uint16_t op, void* pos, void* data, uint32_t* len, void* key,
                                uint8_t key_len, int8_t key_num, const uint8_t* client) {
  RecordedCall call;
  call.operation = op;
  call.key_number = key_num;
  call.key_length = key_len;
  call.data_length = *len;
  call.data_address = data;
  call.key_address = key;
  call.position_block = pos;
  auto* data_bytes = static_cast<uint8_t*>(data);
  auto* key_bytes = static_cast<uint8_t*>(key);
  if (data_bytes != nullptr) call.data.assign(data_bytes, data_bytes + *len);
  if (key_bytes != nullptr) call.key.assign(key_bytes, key_bytes + key_len);
  if (client != nullptr) {
    call.with_client_id = true;
    call.client_block.assign(client, client + 16);
    call.client_id = TextOf(std::vector<uint8_t>(client + 12, client + 16));
  }
  calls_.push_back(std::move(call));

  ScriptedReply reply;
  if (auto it = once_.find(op); it != once_.end() && !it->second.empty()) {
    reply = std::move(it->second.front());
    it->second.pop_front();
  } else if (auto a = always_.find(op); a != always_.end()) {
    reply = a->second;
  }
  if (reply.data && data_bytes != nullptr) {
    const uint32_t n = std::min<uint32_t>(*len, static_cast<uint32_t>(reply.data->size()));
    std::memcpy(data_bytes, reply.data->data(), n);
    *len = n;
  }
  if (reply.data_length) *len = *reply.data_length;
  if (reply.key && key_bytes != nullptr) {
    std::memcpy(key_bytes, reply.key->data(), std::min<size_t>(key_len, reply.key->size()));
  }
  if (reply.action) reply.action(data_bytes, len, key_bytes);
  return reply.status;
}

std::vector<uint8_t> RecordingEngine::KeyBlock(int16_t position, int16_t length, uint16_t flags) {
  std::vector<uint8_t> block(16, 0);
  std::memcpy(&block[0], &position, 2);
  std::memcpy(&block[2], &length, 2);
  std::memcpy(&block[4], &flags, 2);
  return block;
}

ScriptedReply RecordingEngine::StatReply(uint16_t record_length, uint16_t page_size,
                                         uint32_t record_count,
                                         const std::vector<std::vector<uint8_t>>& key_blocks,
                                         uint16_t flags) {
  std::vector<uint8_t> bytes(16, 0);
  uint16_t keys = 0;
  for (const auto& block : key_blocks) {
    if ((block[4] & 0x10) == 0) ++keys;
  }
  std::memcpy(&bytes[0], &record_length, 2);
  std::memcpy(&bytes[2], &page_size, 2);
  std::memcpy(&bytes[4], &keys, 2);
  std::memcpy(&bytes[6], &record_count, 4);
  std::memcpy(&bytes[10], &flags, 2);
  for (const auto& block : key_blocks) bytes.insert(bytes.end(), block.begin(), block.end());
  ScriptedReply reply;
  reply.data = std::move(bytes);
  return reply;
}

}  // namespace vastrel::testing
