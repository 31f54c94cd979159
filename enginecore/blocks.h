// Clients, open handles and the position blocks that name them, for either engine.
//
// A position block carries no engine state: it names a slot in the handle table, that
// slot's generation, and a check value keyed with a secret that only this process knows,
// computed over the slot, the generation and the owning client's identity. A block is
// trusted only after all three check out, so a zeroed, random, stale or copied block, or
// one of another client, is refused without ever being used.
#pragma once

#include <endian.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace mkde::core {

// The 16 bytes that identify a client; all zero for the process's default client.
using ClientId = std::array<uint8_t, 16>;

// The blocks' layout (tag, slot, generation, check value) and the keyed check value.
class BlockSeal {
 public:
  BlockSeal();
  // A new secret (after fork): every block handed out before fails its check.
  void Renew();
  void Check(uint32_t slot, uint64_t generation, const ClientId& client, uint8_t out[16]) const;
  // Writes the block (128 bytes).
  static void Write(uint32_t slot, uint64_t generation, const uint8_t check[16], void* block);
  // The slot and generation a block names; false when it does not carry the tag. Inline,
  // and read as whole words: this runs on every call.
  static bool Read(const void* block, uint32_t* slot, uint64_t* generation) {
    if (block == nullptr) return false;
    const uint8_t* b = static_cast<const uint8_t*>(block);
    uint32_t tag, expected_tag;
    std::memcpy(&tag, b, 4);
    std::memcpy(&expected_tag, kTag, 4);
    if (tag != expected_tag) return false;
    std::memcpy(slot, b + 4, 4);
    std::memcpy(generation, b + 8, 8);
    *slot = le32toh(*slot);
    *generation = le64toh(*generation);
    return true;
  }
  // The block's check value against `check`, in constant time, so that it cannot be found
  // byte by byte.
  static bool Matches(const void* block, const uint8_t check[16]) {
    uint64_t expected[2], given[2];
    std::memcpy(expected, check, 16);
    std::memcpy(given, static_cast<const uint8_t*>(block) + 16, 16);
    return ((expected[0] ^ given[0]) | (expected[1] ^ given[1])) == 0;
  }

  // A block's first four bytes.
  static constexpr uint8_t kTag[4] = {'V', 'p', 'b', 1};

 private:
  std::array<uint8_t, 16> secret_{};
};

// The handle table. A Handle has `slot`, `generation`, `check[16]` and `client` (a
// Client*); a Client has `id`.
template <class Handle, class Client>
class HandleSlots {
 public:
  Handle* Create(Client* client) {
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
    handle->client = client;
    seal_.Check(slot, handle->generation, client->id, handle->check);
    slots_[slot] = std::move(handle);
    return slots_[slot].get();
  }
  void Destroy(Handle* handle) {
    uint32_t slot = handle->slot;
    slots_[slot].reset();
    free_.push_back(slot);
  }
  void WriteBlock(const Handle& handle, void* block) const {
    BlockSeal::Write(handle.slot, handle.generation, handle.check, block);
  }
  // The handle a block names for this client, or nullptr when the block does not check out.
  Handle* Find(const void* block, const Client* client) const {
    uint32_t slot;
    uint64_t generation;
    if (!BlockSeal::Read(block, &slot, &generation)) return nullptr;
    if (slot >= slots_.size() || !slots_[slot]) return nullptr;
    Handle* handle = slots_[slot].get();
    if (handle->generation != generation || handle->client != client) return nullptr;
    return BlockSeal::Matches(block, handle->check) ? handle : nullptr;
  }
  template <class Pred>
  std::vector<Handle*> Where(Pred pred) const {
    std::vector<Handle*> out;
    for (const auto& h : slots_) {
      if (h && pred(*h)) out.push_back(h.get());
    }
    return out;
  }
  std::vector<Handle*> OfClient(const Client* client) const {
    return Where([&](const Handle& h) { return h.client == client; });
  }
  // In a child after fork(): nothing of the parent's may be used. `each` sees every handle
  // first (to let it go unused, or to release it); then the table is empty, generations
  // keep counting, and a new secret makes every old block fail its check.
  template <class F>
  void ForgetAfterFork(F each) {
    for (auto& h : slots_) {
      if (h) each(h);
    }
    slots_.clear();
    free_.clear();
    seal_.Renew();
  }

 private:
  BlockSeal seal_;
  std::vector<std::unique_ptr<Handle>> slots_;
  std::vector<uint64_t> generations_;  // per slot, survives the handle
  std::vector<uint32_t> free_;
};

// The clients of a process: the default one and one per BTRCALLID block seen. A Client has
// `id` and `serial` (distinct for every client of the process).
template <class Client>
class ClientList {
 public:
  // The client for a BTRCALLID block (nullptr: the default client). Created on first use.
  Client* For(const void* id) {
    if (id == nullptr) return &default_;
    ClientId key;
    std::memcpy(key.data(), id, key.size());
    if (key == default_.id) return &default_;
    for (auto& c : clients_) {
      if (c->id == key) return c.get();
    }
    clients_.push_back(std::make_unique<Client>());
    clients_.back()->id = key;
    clients_.back()->serial = static_cast<uint32_t>(clients_.size());
    return clients_.back().get();
  }
  Client& default_client() { return default_; }
  template <class F>
  void ForEach(F f) const {
    f(default_);
    for (const auto& c : clients_) f(*c);
  }
  // In a child after fork(): `each` sees every client but the default one (to let it go
  // unused, or to release it); then they are gone.
  template <class F>
  void ForgetAfterFork(F each) {
    for (auto& c : clients_) each(c);
    clients_.clear();
  }

 private:
  Client default_;
  std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace mkde::core
