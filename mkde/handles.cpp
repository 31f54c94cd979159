#include "mkde/handles.h"

#include <endian.h>
#include <sodium.h>
#include <unistd.h>

#include <cstring>

#include "mkde/coding.h"
#include "mkde/fs.h"
#include "mkde/waits.h"

namespace mkde {

namespace {

constexpr uint8_t kTag[4] = {'V', 'p', 'b', 1};
constexpr size_t kBlockSize = 128;

}  // namespace

HandleTable::HandleTable() {
  if (sodium_init() < 0) {
    // Without libsodium's generator the secret still must not be guessable.
    std::memset(secret_.data(), 0, secret_.size());
  }
  randombytes_buf(secret_.data(), secret_.size());
}

void HandleTable::ForgetAfterFork() {
  // The parent's handles and their files are let go. Their lock descriptors are closed:
  // the record locks stay with the parent's open file descriptions, and a copy kept here
  // would keep them alive after the parent ends.
  for (auto& h : slots_) {
    if (h && h->lock_fd >= 0) Fs().Close(h->lock_fd);
    (void)h.release();
  }
  slots_.clear();
  free_.clear();
  for (auto& c : clients_) (void)c.release();
  clients_.clear();
  // The default client starts without the parent's transaction: its write transactions
  // belong to the parent's environments and are never touched here.
  default_client_.in_transaction = false;
  default_client_.concurrent = false;
  for (FileWrite& w : default_client_.writes) {
    w.txn.Forget();
    w.gate.Forget();
  }
  default_client_.writes.clear();
  // Generations keep counting, and the new secret makes every old block fail its check.
  randombytes_buf(secret_.data(), secret_.size());
}

Client* HandleTable::ClientFor(const void* id) {
  if (id == nullptr) return &default_client_;
  ClientId key;
  std::memcpy(key.data(), id, key.size());
  if (key == default_client_.id) return &default_client_;
  for (auto& c : clients_) {
    if (c->id == key) return c.get();
  }
  clients_.push_back(std::make_unique<Client>());
  clients_.back()->id = key;
  clients_.back()->serial = static_cast<uint32_t>(clients_.size());
  return clients_.back().get();
}

void HandleTable::Check(const Handle& handle, uint8_t out[16]) const {
  uint8_t message[16 + 16];
  std::memcpy(message, kTag, 4);
  EncodeFixed32(message + 4, handle.slot);
  EncodeFixed64(message + 8, handle.generation);
  std::memcpy(message + 16, handle.client->id.data(), 16);
  crypto_shorthash_siphashx24(out, message, sizeof message, secret_.data());
}

Handle* HandleTable::Create(FileEnv* file, Client* client) {
  uint32_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    slot = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
    generations_.resize(slots_.size(), 0);
  }
  auto handle = std::make_unique<Handle>();
  handle->slot = slot;
  handle->generation = ++generations_[slot];
  handle->file = file;
  handle->client = client;
  Check(*handle, handle->check);
  slots_[slot] = std::move(handle);
  return slots_[slot].get();
}

void HandleTable::Destroy(Handle* handle) {
  if (handle->lock_fd >= 0) {
    Fs().Close(handle->lock_fd);  // drops every lock of the block
    if (handle->single_locked || !handle->multiple.empty()) Waits::Get().Released();
  }
  uint32_t slot = handle->slot;
  slots_[slot].reset();
  free_.push_back(slot);
}

void HandleTable::WriteBlock(const Handle& handle, void* block) const {
  uint8_t* b = static_cast<uint8_t*>(block);
  std::memset(b, 0, kBlockSize);
  std::memcpy(b, kTag, 4);
  EncodeFixed32(b + 4, handle.slot);
  EncodeFixed64(b + 8, handle.generation);
  std::memcpy(b + 16, handle.check, 16);
}

Handle* HandleTable::Find(const void* block, const Client* client) const {
  if (block == nullptr) return nullptr;
  // Read as whole words: this runs on every call.
  const uint8_t* b = static_cast<const uint8_t*>(block);
  uint32_t tag, slot, expected_tag;
  uint64_t generation;
  std::memcpy(&tag, b, 4);
  std::memcpy(&expected_tag, kTag, 4);
  std::memcpy(&slot, b + 4, 4);
  std::memcpy(&generation, b + 8, 8);
  slot = le32toh(slot);
  if (tag != expected_tag || slot >= slots_.size() || !slots_[slot]) return nullptr;
  Handle* handle = slots_[slot].get();
  if (handle->generation != le64toh(generation) || handle->client != client) return nullptr;
  // Constant time, so that the check value cannot be found byte by byte.
  uint64_t check[2], given[2];
  std::memcpy(check, handle->check, 16);
  std::memcpy(given, b + 16, 16);
  if (((check[0] ^ given[0]) | (check[1] ^ given[1])) != 0) return nullptr;
  return handle;
}

std::vector<Handle*> HandleTable::OfClient(const Client* client) const {
  std::vector<Handle*> out;
  for (const auto& h : slots_) {
    if (h && h->client == client) out.push_back(h.get());
  }
  return out;
}

std::vector<Handle*> HandleTable::OfFile(const FileEnv* file) const {
  std::vector<Handle*> out;
  for (const auto& h : slots_) {
    if (h && h->file == file) out.push_back(h.get());
  }
  return out;
}

}  // namespace mkde
