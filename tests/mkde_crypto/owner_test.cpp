#include "enginecore/crypto/owner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace mkde {
namespace {

// Cheap derivation for tests whose point is not the derivation's cost.
constexpr OwnerParams kFast{1, 64};

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// One owned file's state: the owner record as stored and the record key it was made with.
struct Owned {
  OwnerRecord record;
  SecretKey key;
  std::string stored;
};

Owned MakeOwned(std::string_view name, int level, const OwnerParams& params = kFast) {
  Owned o;
  EXPECT_EQ(MakeOwner(name, level, params, &o.record, &o.key), CryptoStatus::kOk);
  o.stored = EncodeOwner(o.record);
  return o;
}

std::string Seal(const SecretKey& key, uint32_t position, const std::string& plain) {
  std::string sealed;
  EXPECT_EQ(SealRecord(key, position, U8(plain), plain.size(), &sealed), CryptoStatus::kOk);
  return sealed;
}

CryptoStatus Open(const SecretKey& key, uint32_t position, const std::string& sealed,
                  std::string* plain) {
  return OpenRecord(key, position, U8(sealed), sealed.size(), plain);
}

// The key a check hands back opens what the owner's key sealed.
bool SameKey(const SecretKey& a, const SecretKey& b) {
  std::string plain;
  return Open(b, 1, Seal(a, 1, "probe"), &plain) == CryptoStatus::kOk && plain == "probe";
}

TEST(OwnerName, RightNameOpensWrongNamesDoNot) {
  Owned o = MakeOwned("Admin", 0);
  OwnerRecord stored;
  std::string reason;
  ASSERT_TRUE(DecodeOwner(U8(o.stored), o.stored.size(), &stored, &reason)) << reason;

  SecretKey key;
  ASSERT_EQ(CheckOwner(stored, "Admin", &key), CryptoStatus::kOk);
  EXPECT_TRUE(SameKey(o.key, key));
  // The name is cut at its first NUL, as the engine cuts the caller's buffer.
  SecretKey cut;
  EXPECT_EQ(CheckOwner(stored, std::string_view("Admin\0xyz", 9), &cut), CryptoStatus::kOk);

  for (std::string_view wrong : {"admin", "Admin ", "Admi", "AdminX", "", "Admin123X"}) {
    SecretKey none;
    EXPECT_EQ(CheckOwner(stored, wrong, &none), CryptoStatus::kNameMismatch) << wrong;
    EXPECT_TRUE(none.empty()) << wrong;
  }
}

TEST(OwnerName, NamesOutsideOneToEightBytesAreRefused) {
  OwnerRecord r;
  SecretKey k;
  EXPECT_EQ(MakeOwner("", 0, kFast, &r, &k), CryptoStatus::kBadName);
  EXPECT_EQ(MakeOwner(std::string_view("\0abc", 4), 0, kFast, &r, &k), CryptoStatus::kBadName);
  EXPECT_EQ(MakeOwner("NINECHARS", 0, kFast, &r, &k), CryptoStatus::kBadName);
  EXPECT_TRUE(k.empty());
  // Eight bytes of any value but NUL make a name.
  EXPECT_EQ(MakeOwner("\x01\xff\x80 ~ab", 0, kFast, &r, &k), CryptoStatus::kOk);
  SecretKey again;
  EXPECT_EQ(CheckOwner(r, "\x01\xff\x80 ~ab", &again), CryptoStatus::kOk);
}

TEST(OwnerName, NameNeverStoredAndEveryOwnerIsItsOwn) {
  Owned a = MakeOwned("SECRET42", 2);
  Owned b = MakeOwned("SECRET42", 2);
  EXPECT_EQ(a.stored.find("SECRET42"), std::string::npos);
  // Same name, different files: fresh salt and record key, so records do not cross over.
  EXPECT_NE(a.stored, b.stored);
  EXPECT_FALSE(SameKey(a.key, b.key));
  SecretKey cross;
  OwnerRecord mixed = a.record;
  std::memcpy(mixed.sealed_key, b.record.sealed_key, sizeof mixed.sealed_key);
  EXPECT_EQ(CheckOwner(mixed, "SECRET42", &cross), CryptoStatus::kNameMismatch);
}

TEST(OwnerLevel, EveryLevelRoundTripsAndOnlyThreeReadsWithoutName) {
  for (int level = 0; level <= kMaxOwnerLevel; ++level) {
    SCOPED_TRACE(level);
    Owned o = MakeOwned("Pw", level);
    EXPECT_EQ(o.stored.size(), level == 3 ? 132u : 100u);
    OwnerRecord back;
    std::string reason;
    ASSERT_TRUE(DecodeOwner(U8(o.stored), o.stored.size(), &back, &reason)) << reason;
    EXPECT_EQ(back.level, level);
    EXPECT_EQ(EncodeOwner(back), o.stored);

    SecretKey checked;
    ASSERT_EQ(CheckOwner(back, "Pw", &checked), CryptoStatus::kOk);
    EXPECT_TRUE(SameKey(o.key, checked));

    SecretKey reading;
    if (level == 3) {
      ASSERT_EQ(ReadKeyWithoutName(back, &reading), CryptoStatus::kOk);
      EXPECT_TRUE(SameKey(o.key, reading));
    } else {
      EXPECT_EQ(ReadKeyWithoutName(back, &reading), CryptoStatus::kNameMismatch);
      EXPECT_TRUE(reading.empty());
    }
  }
  OwnerRecord r;
  SecretKey k;
  EXPECT_EQ(MakeOwner("Pw", 4, kFast, &r, &k), CryptoStatus::kBadLevel);
  EXPECT_EQ(MakeOwner("Pw", -1, kFast, &r, &k), CryptoStatus::kBadLevel);
}

TEST(OwnerLevel, DefaultCostDerivesAndRecordsItsParameters) {
  Owned o = MakeOwned("Default", 2, kDefaultOwnerParams);
  OwnerRecord back;
  std::string reason;
  ASSERT_TRUE(DecodeOwner(U8(o.stored), o.stored.size(), &back, &reason)) << reason;
  EXPECT_EQ(back.params.opslimit, kDefaultOwnerParams.opslimit);
  EXPECT_EQ(back.params.memlimit_kib, kDefaultOwnerParams.memlimit_kib);
  SecretKey key;
  EXPECT_EQ(CheckOwner(back, "Default", &key), CryptoStatus::kOk);
}

TEST(OwnerLevel, CostOutsideBoundsIsRefused) {
  OwnerRecord r;
  SecretKey k;
  for (OwnerParams p :
       {OwnerParams{0, 64}, OwnerParams{kMaxOwnerOpslimit + 1, 64},
        OwnerParams{1, kMinOwnerMemlimitKib - 1}, OwnerParams{1, kMaxOwnerMemlimitKib + 1}}) {
    EXPECT_EQ(MakeOwner("Pw", 0, p, &r, &k), CryptoStatus::kBadParams);
  }
  // A record built by hand with a hostile cost is refused before any derivation runs.
  Owned o = MakeOwned("Pw", 0);
  o.record.params.memlimit_kib = 0xffffffff;
  EXPECT_EQ(CheckOwner(o.record, "Pw", &k), CryptoStatus::kBadParams);
}

TEST(OwnerDecode, EveryTruncationAndExtensionFailsWithAReason) {
  for (int level : {0, 3}) {
    Owned o = MakeOwned("Trunc", level);
    for (size_t n = 0; n < o.stored.size(); ++n) {
      // A copy of exactly n bytes, so a read past the end trips the sanitizer.
      std::vector<uint8_t> cut(o.stored.begin(), o.stored.begin() + n);
      OwnerRecord out;
      std::string reason;
      EXPECT_FALSE(DecodeOwner(cut.data(), cut.size(), &out, &reason)) << n;
      EXPECT_FALSE(reason.empty()) << n;
    }
    std::string longer = o.stored + '\0';
    OwnerRecord out;
    std::string reason;
    EXPECT_FALSE(DecodeOwner(U8(longer), longer.size(), &out, &reason));
    EXPECT_NE(reason.find("longer"), std::string::npos) << reason;
  }
}

TEST(OwnerDecode, EveryFlippedByteIsRefusedOrFailsTheNameCheck) {
  for (int level : {1, 3}) {
    SCOPED_TRACE(level);
    Owned o = MakeOwned("Flip", level);
    size_t refused = 0;
    for (size_t i = 0; i < o.stored.size(); ++i) {
      std::string flipped = o.stored;
      flipped[i] = static_cast<char>(flipped[i] ^ 0xff);
      OwnerRecord out;
      std::string reason;
      if (!DecodeOwner(U8(flipped), flipped.size(), &out, &reason)) {
        EXPECT_FALSE(reason.empty()) << i;
        ++refused;
        continue;
      }
      SecretKey key;
      EXPECT_EQ(CheckOwner(out, "Flip", &key), CryptoStatus::kNameMismatch) << "byte " << i;
    }
    // The version, level, derivation and reserved bytes and the high bytes of the cost.
    EXPECT_GE(refused, 8u);
  }
}

// Someone who can write the file turns a level 2 owner into level 3 with an open key of
// their own: reading without the name then yields a key that opens no record, and the
// right name no longer checks out either.
TEST(OwnerDecode, ForgedLevelThreeOpensNoRecord) {
  Owned o = MakeOwned("Level2", 2);
  const std::string sealed = Seal(o.key, 9, "confidential");
  std::string forged = o.stored;
  forged[1] = 3;
  forged.insert(28, std::string(32, '\x5a'));
  OwnerRecord out;
  std::string reason;
  ASSERT_TRUE(DecodeOwner(U8(forged), forged.size(), &out, &reason)) << reason;
  SecretKey reading;
  ASSERT_EQ(ReadKeyWithoutName(out, &reading), CryptoStatus::kOk);
  std::string plain;
  EXPECT_EQ(Open(reading, 9, sealed, &plain), CryptoStatus::kDamaged);
  SecretKey named;
  EXPECT_EQ(CheckOwner(out, "Level2", &named), CryptoStatus::kNameMismatch);
}

class SealedRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(MakeOwner("Seal", 2, kFast, &record_, &key_), CryptoStatus::kOk);
  }
  OwnerRecord record_;
  SecretKey key_;
};

TEST_F(SealedRecord, RoundTripsAnyLength) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{57}, size_t{4096}, size_t{70000}}) {
    std::string plain(n, '\0');
    for (size_t i = 0; i < n; ++i) plain[i] = static_cast<char>(i * 31 + 7);
    std::string sealed = Seal(key_, 0xfedcba98, plain);
    EXPECT_EQ(sealed.size(), SealedSize(n));
    std::string back = "stale";
    ASSERT_EQ(Open(key_, 0xfedcba98, sealed, &back), CryptoStatus::kOk) << n;
    EXPECT_EQ(back, plain);
  }
}

TEST_F(SealedRecord, EveryFlippedBitOrCutFailsAndLeavesNothing) {
  const std::string sealed = Seal(key_, 7, "Customer 0042, balance 100.00");
  for (size_t n = 0; n < sealed.size(); ++n) {
    // Exactly n bytes, so a read past the end trips the sanitizer.
    std::vector<uint8_t> cut(sealed.begin(), sealed.begin() + n);
    std::string plain = "stale";
    EXPECT_EQ(OpenRecord(key_, 7, cut.data(), cut.size(), &plain), CryptoStatus::kDamaged) << n;
    EXPECT_TRUE(plain.empty());
  }
  std::string plain;
  EXPECT_EQ(Open(key_, 7, sealed + 'x', &plain), CryptoStatus::kDamaged);
  for (size_t i = 0; i < sealed.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string flipped = sealed;
      flipped[i] = static_cast<char>(flipped[i] ^ (1 << bit));
      std::string plain = "stale";
      EXPECT_EQ(Open(key_, 7, flipped, &plain), CryptoStatus::kDamaged) << i << ":" << bit;
      EXPECT_TRUE(plain.empty());
    }
  }
}

TEST_F(SealedRecord, BoundToItsPositionAndKey) {
  const std::string sealed = Seal(key_, 5, "moved record");
  std::string plain;
  EXPECT_EQ(Open(key_, 6, sealed, &plain), CryptoStatus::kDamaged);
  EXPECT_EQ(Open(key_, 5 + (1u << 24), sealed, &plain), CryptoStatus::kDamaged);
  OwnerRecord other;
  SecretKey other_key;
  ASSERT_EQ(MakeOwner("Seal", 2, kFast, &other, &other_key), CryptoStatus::kOk);
  EXPECT_EQ(Open(other_key, 5, sealed, &plain), CryptoStatus::kDamaged);
  EXPECT_EQ(Open(key_, 5, sealed, &plain), CryptoStatus::kOk);
}

TEST_F(SealedRecord, PlaintextNeverShowsInSealedBytes) {
  const std::string marker = "MARKER-7f3a-NOT-IN-FILE";
  std::string plain = "key1" + marker + std::string(40, ' ') + marker;
  std::string sealed_a = Seal(key_, 1, plain);
  std::string sealed_b = Seal(key_, 1, plain);
  for (const std::string& s : {sealed_a, sealed_b}) {
    EXPECT_EQ(s.find(marker), std::string::npos);
    EXPECT_EQ(s.find("MARKER"), std::string::npos);
  }
  // A fresh nonce every time: equal records do not give equal bytes.
  EXPECT_NE(sealed_a, sealed_b);
}

TEST_F(SealedRecord, AnEmptyKeyIsRefused) {
  SecretKey moved = std::move(key_);
  const std::string record = "x";
  std::string out = "stale";
  EXPECT_EQ(SealRecord(key_, 1, U8(record), record.size(), &out), CryptoStatus::kNoKey);
  std::string sealed = Seal(moved, 1, "x");
  EXPECT_EQ(Open(key_, 1, sealed, &out), CryptoStatus::kNoKey);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(Open(moved, 1, sealed, &out), CryptoStatus::kOk);
}

}  // namespace
}  // namespace mkde
