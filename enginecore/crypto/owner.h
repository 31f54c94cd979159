// Owner names and record encryption for record files.
//
// A file with an owner keeps an owner record (never the name itself) in its description.
// The owner record holds the level, a per-file random salt, the Argon2id parameters, and
// the file's record key sealed under a key derived from the name. Opening that seal is the
// name check: a wrong name fails at once, before any record is read. Records of files at
// levels 2 and 3 are sealed one by one under the record key with XChaCha20-Poly1305; the
// record's position is bound in, so a sealed record moved to another position does not
// open. Formats: enginecore/crypto/README.md.
//
// Levels: 0 the name is needed for any access; 1 reading is allowed without the name;
// 2 as 0, records encrypted; 3 as 1, records encrypted. A level 3 file must be readable
// without the name, so its owner record also carries the record key in the clear: at level
// 3 the encryption keeps record contents out of the file's raw bytes and gates writes on
// the name, but does not hide the contents from whoever holds the file. Level 2 hides them.
//
// Owner names are byte strings of 1 to 8 bytes, compared exactly (case and blanks count).
// Every function here cuts a name at its first NUL, as the engine does with the caller's
// buffer. A name still longer than 8 bytes is refused (MakeOwner) or never matches
// (CheckOwner) rather than being cut to 8, so that two different long names never share an
// owner; the engine passes at most 8 bytes.
//
// Threading: every function may be called from any thread; libsodium is initialised once,
// on first use. A SecretKey may be read from several threads at once; it is not copyable.
// Nothing here prints or throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mkde {

// What an owner or sealing operation answers. The engine status each one should become
// is given where the function is described.
enum class CryptoStatus : uint8_t {
  kOk = 0,
  kBadName,       // MakeOwner: the name is empty or longer than 8 bytes
  kBadLevel,      // MakeOwner: a level outside 0..3
  kBadParams,     // MakeOwner/CheckOwner: Argon2id parameters outside their bounds
  kNameMismatch,  // CheckOwner: the name is missing or wrong; ReadKeyWithoutName: not level 3
  kDamaged,       // OpenRecord: the sealed record fails authentication or is malformed
  kNoKey,         // SealRecord/OpenRecord: the key is empty (moved from, or never made)
  kNoMemory,      // secure memory or the derivation's working memory could not be had
  kUnavailable,   // libsodium could not be initialised
};

inline constexpr size_t kMaxOwnerNameLength = 8;
inline constexpr int kMaxOwnerLevel = 3;

// Which levels encrypt records, and which allow reading without the name.
constexpr bool OwnerLevelEncrypts(int level) { return level == 2 || level == 3; }
constexpr bool OwnerLevelReadsWithoutName(int level) { return level == 1 || level == 3; }

// Argon2id cost, kept in each owner record so it can be raised later without breaking
// older files. Decoding accepts opslimit 1..16 and memlimit 8 KiB..256 MiB, so a damaged or
// hostile file cannot make an open run for minutes or claim gigabytes.
struct OwnerParams {
  uint32_t opslimit = 2;              // passes over memory
  uint32_t memlimit_kib = 19 * 1024;  // working memory in KiB
};

inline constexpr uint32_t kMinOwnerOpslimit = 1;
inline constexpr uint32_t kMaxOwnerOpslimit = 16;
inline constexpr uint32_t kMinOwnerMemlimitKib = 8;
inline constexpr uint32_t kMaxOwnerMemlimitKib = 256 * 1024;

// The default cost: interactive grade (two passes over 19 MiB, a few tens of milliseconds).
inline constexpr OwnerParams kDefaultOwnerParams{};

// A 32-byte key in memory that libsodium guards: allocated with sodium_malloc (guard pages,
// kept out of swap where the system allows), read-only once filled, wiped and freed on
// destruction. Move-only; a moved-from key is empty and every operation refuses it (kNoKey).
class SecretKey {
 public:
  static constexpr size_t kSize = 32;

  SecretKey() = default;
  SecretKey(SecretKey&& other) noexcept;
  SecretKey& operator=(SecretKey&& other) noexcept;
  SecretKey(const SecretKey&) = delete;
  SecretKey& operator=(const SecretKey&) = delete;
  ~SecretKey();

  bool empty() const { return bytes_ == nullptr; }
  // The key's bytes; nullptr when empty.
  const uint8_t* data() const { return bytes_; }

 private:
  friend class SecretKeyWriter;
  uint8_t* bytes_ = nullptr;
};

// An owner record as the file keeps it. Fields are the stored ones; build it with MakeOwner
// and read it with DecodeOwner, never field by field.
struct OwnerRecord {
  static constexpr size_t kSaltSize = 16;
  static constexpr size_t kNonceSize = 24;
  static constexpr size_t kSealedKeySize = SecretKey::kSize + 16;

  uint8_t level = 0;
  OwnerParams params;
  uint8_t salt[kSaltSize] = {};
  // Level 3 only: the record key in the clear, so the file can be read without the name.
  uint8_t open_key[SecretKey::kSize] = {};
  // The record key sealed under the name's key; the bytes before it in the stored form
  // (version, level, parameters, salt, open key) are bound in as associated data.
  uint8_t check_nonce[kNonceSize] = {};
  uint8_t sealed_key[kSealedKeySize] = {};
};

// Makes a new owner: a fresh salt and a fresh random record key, the key derived from
// `name` sealing it. On kOk fills *record and *key (the record key, to seal records with at
// levels 2 and 3). kBadName for an empty or over-long name; kBadLevel for a level outside
// 0..3; kBadParams for params outside their bounds; kNoMemory; kUnavailable. Set Owner
// would answer kBadName with 51 (no usable name) and kBadLevel with 6 (the level arrives
// as the key number); the caller never produces kBadParams with kDefaultOwnerParams.
CryptoStatus MakeOwner(std::string_view name, int level, const OwnerParams& params,
                       OwnerRecord* record, SecretKey* key);
inline CryptoStatus MakeOwner(std::string_view name, int level, OwnerRecord* record,
                              SecretKey* key) {
  return MakeOwner(name, level, kDefaultOwnerParams, record, key);
}

// Checks `name` against the owner record. kOk with *key set to the record key, or
// kNameMismatch (the engine answers 51 at levels 0 and 2 and opens read-only at levels 1
// and 3). An empty or over-long name answers kNameMismatch at once, without the costly
// derivation. kBadLevel or kBadParams when the record holds what DecodeOwner would refuse
// (a record built by hand). Also kNoMemory and kUnavailable.
CryptoStatus CheckOwner(const OwnerRecord& record, std::string_view name, SecretKey* key);

// A level 3 file opened without the right name: the record key for reading. kNameMismatch
// for any other level (levels 0 and 2 cannot be read without the name; level 1 needs no key).
CryptoStatus ReadKeyWithoutName(const OwnerRecord& record, SecretKey* key);

// The stored form of an owner record: 100 bytes, or 132 at level 3.
std::string EncodeOwner(const OwnerRecord& record);

// Reads a stored owner record of `length` bytes. Returns false with *reason for anything it
// cannot trust (short, long, unknown version or derivation, level or parameters out of
// range) and never reads past `length`. A record that decodes may still have been altered:
// CheckOwner then answers kNameMismatch, since the header is bound into the sealed key.
// The engine answers a record that does not decode with 2 (the file is damaged).
bool DecodeOwner(const uint8_t* data, size_t length, OwnerRecord* out, std::string* reason);

// Size of a sealed record: a version byte, a 24-byte nonce, the ciphertext (as long as the
// plaintext) and a 16-byte tag.
inline constexpr size_t kSealOverhead = 1 + 24 + 16;
constexpr size_t SealedSize(size_t plaintext_length) { return plaintext_length + kSealOverhead; }

// Seals `length` bytes of `plaintext` stored at `position` under `key` into *sealed
// (replacing its contents; its capacity is reused; plaintext must not point into it). A
// fresh random nonce each call, so two seals of one record differ. kOk, kNoKey,
// kUnavailable.
CryptoStatus SealRecord(const SecretKey& key, uint32_t position, const uint8_t* plaintext,
                        size_t length, std::string* sealed);

// Opens a sealed record read from `position` into *plaintext (replacing its contents;
// sealed must not point into it). Any change to the sealed bytes, a wrong key or another
// position answers kDamaged and leaves *plaintext empty: never unauthenticated bytes. The
// engine answers kDamaged with 2 (the stored record cannot be trusted), not 30, which says
// the file as a whole is not a record file. Also kNoKey and kUnavailable.
CryptoStatus OpenRecord(const SecretKey& key, uint32_t position, const uint8_t* sealed,
                        size_t length, std::string* plaintext);

// A short English description of a status, for logs and test messages.
const char* CryptoStatusText(CryptoStatus status);

}  // namespace mkde
