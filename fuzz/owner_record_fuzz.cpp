// Fuzz target for owner records and sealed records: any bytes, read as a stored owner record,
// are either refused with a reason or decode into a record whose stored form is exactly those
// bytes; no name opens a forged record; and any bytes, opened as a sealed record, are refused
// without plaintext, while sealing them and opening the seal gives them back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "enginecore/crypto/owner.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// A record key of a real owner, made once at the lowest cost.
const mkde::SecretKey& FixedKey() {
  static mkde::SecretKey key = [] {
    mkde::OwnerRecord record;
    mkde::SecretKey k;
    const mkde::OwnerParams cheap{mkde::kMinOwnerOpslimit, mkde::kMinOwnerMemlimitKib};
    Check(mkde::MakeOwner("fuzzer", 2, cheap, &record, &k) == mkde::CryptoStatus::kOk);
    return k;
  }();
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so that a read past the end is caught.
  std::unique_ptr<uint8_t[]> input(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(input.get(), data, size);

  mkde::OwnerRecord record;
  std::string reason;
  if (mkde::DecodeOwner(input.get(), size, &record, &reason)) {
    Check(record.level <= mkde::kMaxOwnerLevel);
    Check(record.params.opslimit >= mkde::kMinOwnerOpslimit &&
          record.params.opslimit <= mkde::kMaxOwnerOpslimit);
    Check(record.params.memlimit_kib >= mkde::kMinOwnerMemlimitKib &&
          record.params.memlimit_kib <= mkde::kMaxOwnerMemlimitKib);
    const std::string stored = mkde::EncodeOwner(record);
    Check(stored.size() == size && std::memcmp(stored.data(), input.get(), size) == 0);
    // The name check runs the full derivation; only cheap costs keep the fuzzer fast.
    if (record.params.opslimit <= 2 && record.params.memlimit_kib <= 64) {
      mkde::SecretKey key;
      Check(mkde::CheckOwner(record, "fuzzer", &key) != mkde::CryptoStatus::kOk);
      Check(mkde::CheckOwner(record, "", &key) == mkde::CryptoStatus::kNameMismatch);
    }
    mkde::SecretKey open_key;
    const mkde::CryptoStatus s = mkde::ReadKeyWithoutName(record, &open_key);
    Check((s == mkde::CryptoStatus::kOk) == (record.level == 3));
    if (s == mkde::CryptoStatus::kOk) {
      std::string plain;
      Check(mkde::OpenRecord(open_key, 1, input.get(), size, &plain) != mkde::CryptoStatus::kOk);
    }
  } else {
    Check(!reason.empty());
  }

  // The bytes as a sealed record: refused, and nothing of them comes out.
  std::string plain = "left over";
  const uint32_t position = size >= 4 ? uint32_t{input[0]} | uint32_t{input[1]} << 8 : 0;
  Check(mkde::OpenRecord(FixedKey(), position, input.get(), size, &plain) ==
        mkde::CryptoStatus::kDamaged);
  Check(plain.empty());
  // Sealed properly, the same bytes come back, and only at their own position.
  std::string sealed;
  Check(mkde::SealRecord(FixedKey(), position, input.get(), size, &sealed) ==
        mkde::CryptoStatus::kOk);
  Check(sealed.size() == mkde::SealedSize(size));
  Check(mkde::OpenRecord(FixedKey(), position, reinterpret_cast<const uint8_t*>(sealed.data()),
                         sealed.size(), &plain) == mkde::CryptoStatus::kOk);
  Check(plain.size() == size && std::memcmp(plain.data(), input.get(), size) == 0);
  Check(mkde::OpenRecord(FixedKey(), position + 1, reinterpret_cast<const uint8_t*>(sealed.data()),
                         sealed.size(), &plain) == mkde::CryptoStatus::kDamaged);
  return 0;
}
