#include "enginecore/crypto/owner.h"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "enginecore/coding.h"

namespace mkde {

static_assert(SecretKey::kSize == crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
static_assert(OwnerRecord::kNonceSize == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(OwnerRecord::kSealedKeySize ==
              SecretKey::kSize + crypto_aead_xchacha20poly1305_ietf_ABYTES);
static_assert(OwnerRecord::kSaltSize == crypto_pwhash_argon2id_SALTBYTES);
static_assert(kSealOverhead == 1 + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES +
                                   crypto_aead_xchacha20poly1305_ietf_ABYTES);
static_assert(kMinOwnerOpslimit >= crypto_pwhash_argon2id_OPSLIMIT_MIN);
static_assert(kMinOwnerMemlimitKib * 1024ull >= crypto_pwhash_argon2id_MEMLIMIT_MIN);

namespace {

constexpr uint8_t kOwnerVersion = 1;
constexpr uint8_t kKdfArgon2id13 = 1;
constexpr uint8_t kSealVersion = 1;
// version, level, derivation, reserved, opslimit, memlimit, salt
constexpr size_t kOwnerFixedHeader = 4 + 4 + 4 + OwnerRecord::kSaltSize;
constexpr size_t kOwnerTail = OwnerRecord::kNonceSize + OwnerRecord::kSealedKeySize;
constexpr size_t kOwnerSize = kOwnerFixedHeader + kOwnerTail;
constexpr size_t kOwnerSizeLevel3 = kOwnerSize + SecretKey::kSize;
static_assert(kOwnerSize == 100 && kOwnerSizeLevel3 == 132);

// sodium_init is itself safe to call repeatedly, but a function-local static makes the
// one call race-free and lets later calls skip it.
bool SodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

// The name as the engine means it: up to its first NUL.
std::string_view CutName(std::string_view name) {
  size_t nul = name.find('\0');
  return nul == std::string_view::npos ? name : name.substr(0, nul);
}

bool ParamsInBounds(const OwnerParams& p) {
  return p.opslimit >= kMinOwnerOpslimit && p.opslimit <= kMaxOwnerOpslimit &&
         p.memlimit_kib >= kMinOwnerMemlimitKib && p.memlimit_kib <= kMaxOwnerMemlimitKib;
}

// The stored bytes before the nonce; they are the associated data of the sealed key, so
// changing the level, the parameters, the salt or the open key breaks the name check.
std::string OwnerHeader(const OwnerRecord& r) {
  std::string out;
  out.reserve(kOwnerSizeLevel3);
  out.push_back(static_cast<char>(kOwnerVersion));
  out.push_back(static_cast<char>(r.level));
  out.push_back(static_cast<char>(kKdfArgon2id13));
  out.push_back(0);
  PutFixed32(&out, r.params.opslimit);
  PutFixed32(&out, r.params.memlimit_kib);
  out.append(reinterpret_cast<const char*>(r.salt), sizeof r.salt);
  if (r.level == 3) out.append(reinterpret_cast<const char*>(r.open_key), sizeof r.open_key);
  return out;
}

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

// The only code that writes key bytes: it allocates guarded storage, lets the caller fill
// it, then makes it read-only.
class SecretKeyWriter {
 public:
  // Returns writable storage for *key's bytes (dropping what it held), or nullptr.
  static uint8_t* Open(SecretKey* key) {
    *key = SecretKey();
    key->bytes_ = static_cast<uint8_t*>(sodium_malloc(SecretKey::kSize));
    return key->bytes_;
  }
  static void Close(SecretKey* key) { sodium_mprotect_readonly(key->bytes_); }
};

SecretKey::SecretKey(SecretKey&& other) noexcept : bytes_(std::exchange(other.bytes_, nullptr)) {}

SecretKey& SecretKey::operator=(SecretKey&& other) noexcept {
  if (this != &other) {
    if (bytes_ != nullptr) sodium_free(bytes_);
    bytes_ = std::exchange(other.bytes_, nullptr);
  }
  return *this;
}

// sodium_free makes the region writable again and wipes it before unmapping.
SecretKey::~SecretKey() {
  if (bytes_ != nullptr) sodium_free(bytes_);
}

namespace {

// Keys derived lately, so that a program that opens an owned file per request pays the
// costly derivation once: found again by a keyed hash of the salt, the parameters and the
// name (the name itself is not kept), dropped after a minute unused or when newer ones
// crowd them out, and wiped when dropped (the key by SecretKey, the tag here).
class DerivedKeys {
 public:
  static constexpr size_t kCount = 16;
  static constexpr auto kKeep = std::chrono::seconds(60);

  static DerivedKeys& Get() {
    static DerivedKeys keys;
    return keys;
  }

  // Copies a kept key for `tag` into *out. False when none is kept.
  bool Find(const uint8_t* tag, SecretKey* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    DropOld(now);
    for (Entry& e : entries_) {
      if (sodium_memcmp(e.tag, tag, sizeof e.tag) != 0) continue;
      uint8_t* k = SecretKeyWriter::Open(out);
      if (k == nullptr) return false;
      std::memcpy(k, e.key.data(), SecretKey::kSize);
      SecretKeyWriter::Close(out);
      e.used = now;
      return true;
    }
    return false;
  }

  void Keep(const uint8_t* tag, const SecretKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    DropOld(now);
    if (entries_.size() >= kCount) {
      auto oldest =
          std::min_element(entries_.begin(), entries_.end(),
                           [](const Entry& a, const Entry& b) { return a.used < b.used; });
      Drop(oldest);
    }
    Entry e;
    uint8_t* k = SecretKeyWriter::Open(&e.key);
    if (k == nullptr) return;
    std::memcpy(k, key.data(), SecretKey::kSize);
    SecretKeyWriter::Close(&e.key);
    std::memcpy(e.tag, tag, sizeof e.tag);
    e.used = now;
    entries_.push_back(std::move(e));
  }

  // The tag of one derivation's inputs, keyed with a secret of this process.
  void Tag(const OwnerRecord& r, std::string_view name, uint8_t* tag) {
    std::call_once(secret_once_, [this] { crypto_generichash_keygen(secret_); });
    crypto_generichash_state st;
    crypto_generichash_init(&st, secret_, sizeof secret_, kTagSize);
    crypto_generichash_update(&st, r.salt, sizeof r.salt);
    uint8_t params[8];
    EncodeFixed32(params, r.params.opslimit);
    EncodeFixed32(params + 4, r.params.memlimit_kib);
    crypto_generichash_update(&st, params, sizeof params);
    crypto_generichash_update(&st, reinterpret_cast<const unsigned char*>(name.data()),
                              name.size());
    crypto_generichash_final(&st, tag, kTagSize);
    sodium_memzero(&st, sizeof st);
  }

  static constexpr size_t kTagSize = 32;

 private:
  struct Entry {
    uint8_t tag[kTagSize];
    SecretKey key;
    std::chrono::steady_clock::time_point used;
  };
  void Drop(std::vector<Entry>::iterator it) {
    sodium_memzero(it->tag, sizeof it->tag);
    entries_.erase(it);  // the key wipes itself
  }
  void DropOld(std::chrono::steady_clock::time_point now) {
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (now - it->used > kKeep) {
        sodium_memzero(it->tag, sizeof it->tag);
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
  }

  std::mutex mutex_;
  std::once_flag secret_once_;
  uint8_t secret_[crypto_generichash_KEYBYTES] = {};
  std::vector<Entry> entries_;
};

// Derives the key that seals the record key from the name and the record's salt, or finds
// it kept from a derivation of the same inputs a moment ago.
CryptoStatus DeriveNameKey(const OwnerRecord& r, std::string_view name, SecretKey* out) {
  DerivedKeys& kept = DerivedKeys::Get();
  uint8_t tag[DerivedKeys::kTagSize];
  kept.Tag(r, name, tag);
  if (kept.Find(tag, out)) {
    sodium_memzero(tag, sizeof tag);
    return CryptoStatus::kOk;
  }
  uint8_t* k = SecretKeyWriter::Open(out);
  if (k == nullptr) return CryptoStatus::kNoMemory;
  // Argon2id fails only when its working memory cannot be had; the inputs are in range.
  if (crypto_pwhash(k, SecretKey::kSize, name.data(), name.size(), r.salt, r.params.opslimit,
                    size_t{r.params.memlimit_kib} * 1024, crypto_pwhash_ALG_ARGON2ID13) != 0) {
    *out = SecretKey();
    return CryptoStatus::kNoMemory;
  }
  SecretKeyWriter::Close(out);
  kept.Keep(tag, *out);
  sodium_memzero(tag, sizeof tag);
  return CryptoStatus::kOk;
}

}  // namespace

CryptoStatus MakeOwner(std::string_view name, int level, const OwnerParams& params,
                       OwnerRecord* record, SecretKey* key) {
  if (!SodiumReady()) return CryptoStatus::kUnavailable;
  name = CutName(name);
  if (name.empty() || name.size() > kMaxOwnerNameLength) return CryptoStatus::kBadName;
  if (level < 0 || level > kMaxOwnerLevel) return CryptoStatus::kBadLevel;
  if (!ParamsInBounds(params)) return CryptoStatus::kBadParams;

  OwnerRecord r;
  r.level = static_cast<uint8_t>(level);
  r.params = params;
  randombytes_buf(r.salt, sizeof r.salt);

  SecretKey record_key;
  uint8_t* k = SecretKeyWriter::Open(&record_key);
  if (k == nullptr) return CryptoStatus::kNoMemory;
  crypto_aead_xchacha20poly1305_ietf_keygen(k);
  SecretKeyWriter::Close(&record_key);
  if (level == 3) std::memcpy(r.open_key, record_key.data(), SecretKey::kSize);

  SecretKey name_key;
  if (CryptoStatus s = DeriveNameKey(r, name, &name_key); s != CryptoStatus::kOk) return s;
  randombytes_buf(r.check_nonce, sizeof r.check_nonce);
  const std::string ad = OwnerHeader(r);
  unsigned long long sealed_length = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(r.sealed_key, &sealed_length, record_key.data(),
                                             SecretKey::kSize, Bytes(ad), ad.size(), nullptr,
                                             r.check_nonce, name_key.data());

  *record = r;
  sodium_memzero(r.open_key, sizeof r.open_key);
  *key = std::move(record_key);
  return CryptoStatus::kOk;
}

CryptoStatus CheckOwner(const OwnerRecord& record, std::string_view name, SecretKey* key) {
  if (!SodiumReady()) return CryptoStatus::kUnavailable;
  if (record.level > kMaxOwnerLevel) return CryptoStatus::kBadLevel;
  if (!ParamsInBounds(record.params)) return CryptoStatus::kBadParams;
  name = CutName(name);
  // No name MakeOwner accepts can be empty or longer: skip the derivation.
  if (name.empty() || name.size() > kMaxOwnerNameLength) return CryptoStatus::kNameMismatch;

  SecretKey name_key;
  if (CryptoStatus s = DeriveNameKey(record, name, &name_key); s != CryptoStatus::kOk) return s;
  SecretKey record_key;
  uint8_t* k = SecretKeyWriter::Open(&record_key);
  if (k == nullptr) return CryptoStatus::kNoMemory;
  const std::string ad = OwnerHeader(record);
  unsigned long long key_length = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(k, &key_length, nullptr, record.sealed_key,
                                                 sizeof record.sealed_key, Bytes(ad), ad.size(),
                                                 record.check_nonce, name_key.data()) != 0) {
    return CryptoStatus::kNameMismatch;
  }
  SecretKeyWriter::Close(&record_key);
  *key = std::move(record_key);
  return CryptoStatus::kOk;
}

CryptoStatus ReadKeyWithoutName(const OwnerRecord& record, SecretKey* key) {
  if (!SodiumReady()) return CryptoStatus::kUnavailable;
  if (record.level != 3) return CryptoStatus::kNameMismatch;
  SecretKey record_key;
  uint8_t* k = SecretKeyWriter::Open(&record_key);
  if (k == nullptr) return CryptoStatus::kNoMemory;
  std::memcpy(k, record.open_key, SecretKey::kSize);
  SecretKeyWriter::Close(&record_key);
  *key = std::move(record_key);
  return CryptoStatus::kOk;
}

std::string EncodeOwner(const OwnerRecord& record) {
  std::string out = OwnerHeader(record);
  out.append(reinterpret_cast<const char*>(record.check_nonce), sizeof record.check_nonce);
  out.append(reinterpret_cast<const char*>(record.sealed_key), sizeof record.sealed_key);
  return out;
}

bool DecodeOwner(const uint8_t* data, size_t length, OwnerRecord* out, std::string* reason) {
  auto fail = [reason](const char* why) {
    *reason = why;
    return false;
  };
  if (length < 4) return fail("owner record shorter than its header");
  if (data[0] != kOwnerVersion) return fail("owner record of an unknown version");
  if (data[1] > kMaxOwnerLevel) return fail("owner level out of range");
  if (data[2] != kKdfArgon2id13) return fail("owner record names an unknown key derivation");
  if (data[3] != 0) return fail("owner record's reserved byte is not zero");
  const size_t expected = data[1] == 3 ? kOwnerSizeLevel3 : kOwnerSize;
  if (length < expected) return fail("owner record truncated");
  if (length > expected) return fail("owner record longer than its level allows");

  OwnerRecord r;
  r.level = data[1];
  r.params.opslimit = DecodeFixed32(data + 4);
  r.params.memlimit_kib = DecodeFixed32(data + 8);
  if (!ParamsInBounds(r.params)) return fail("owner record's derivation cost out of bounds");
  const uint8_t* p = data + 12;
  std::memcpy(r.salt, p, sizeof r.salt);
  p += sizeof r.salt;
  if (r.level == 3) {
    std::memcpy(r.open_key, p, sizeof r.open_key);
    p += sizeof r.open_key;
  }
  std::memcpy(r.check_nonce, p, sizeof r.check_nonce);
  p += sizeof r.check_nonce;
  std::memcpy(r.sealed_key, p, sizeof r.sealed_key);
  *out = r;
  return true;
}

namespace {

// The associated data of a sealed record: its format version and its position, big-endian
// as the record's key in the store.
void SealAd(uint32_t position, unsigned char ad[5]) {
  ad[0] = kSealVersion;
  ad[1] = static_cast<unsigned char>(position >> 24);
  ad[2] = static_cast<unsigned char>(position >> 16);
  ad[3] = static_cast<unsigned char>(position >> 8);
  ad[4] = static_cast<unsigned char>(position);
}

}  // namespace

CryptoStatus SealRecord(const SecretKey& key, uint32_t position, const uint8_t* plaintext,
                        size_t length, std::string* sealed) {
  if (!SodiumReady()) return CryptoStatus::kUnavailable;
  if (key.empty()) return CryptoStatus::kNoKey;
  sealed->resize(SealedSize(length));
  auto* out = reinterpret_cast<unsigned char*>(sealed->data());
  out[0] = kSealVersion;
  unsigned char* nonce = out + 1;
  randombytes_buf(nonce, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
  unsigned char ad[5];
  SealAd(position, ad);
  static const unsigned char kNothing = 0;
  unsigned long long sealed_length = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(out + 1 + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES,
                                             &sealed_length, length == 0 ? &kNothing : plaintext,
                                             length, ad, sizeof ad, nullptr, nonce, key.data());
  return CryptoStatus::kOk;
}

CryptoStatus OpenRecord(const SecretKey& key, uint32_t position, const uint8_t* sealed,
                        size_t length, std::string* plaintext) {
  plaintext->clear();
  if (!SodiumReady()) return CryptoStatus::kUnavailable;
  if (key.empty()) return CryptoStatus::kNoKey;
  if (length < kSealOverhead || sealed[0] != kSealVersion) return CryptoStatus::kDamaged;
  const unsigned char* nonce = sealed + 1;
  const unsigned char* cipher = nonce + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
  const size_t cipher_length = length - 1 - crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
  unsigned char ad[5];
  SealAd(position, ad);
  plaintext->resize(length - kSealOverhead);
  unsigned char scratch = 0;
  unsigned char* out =
      plaintext->empty() ? &scratch : reinterpret_cast<unsigned char*>(plaintext->data());
  unsigned long long plain_length = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(out, &plain_length, nullptr, cipher, cipher_length,
                                                 ad, sizeof ad, nonce, key.data()) != 0) {
    plaintext->clear();
    return CryptoStatus::kDamaged;
  }
  return CryptoStatus::kOk;
}

const char* CryptoStatusText(CryptoStatus status) {
  switch (status) {
    case CryptoStatus::kOk:
      return "ok";
    case CryptoStatus::kBadName:
      return "owner name empty or longer than 8 characters";
    case CryptoStatus::kBadLevel:
      return "owner level out of range";
    case CryptoStatus::kBadParams:
      return "key derivation cost out of bounds";
    case CryptoStatus::kNameMismatch:
      return "owner name missing or wrong";
    case CryptoStatus::kDamaged:
      return "sealed record damaged";
    case CryptoStatus::kNoKey:
      return "no key";
    case CryptoStatus::kNoMemory:
      return "out of memory for key material";
    case CryptoStatus::kUnavailable:
      return "cryptographic library unavailable";
  }
  return "unknown status";
}

}  // namespace mkde
