// LMDB used directly. Layout as in the engine: "records" maps a 4-byte big-endian position to
// the record; "key0" maps key 0 in order-preserving form (sign bit flipped, big-endian) to the
// position; "key1" holds key 1 with its positions as sorted duplicates, and since positions
// only grow, duplicates come back in insertion order.
#include <lmdb.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "bench/engine/store.h"

namespace vastrel::bench {
namespace {

constexpr uint32_t kBatch = 1000;
constexpr size_t kMapSize = size_t{16} << 30;  // address space only; the file grows as used

void Check(int rc, const char* what) {
  if (rc != MDB_SUCCESS) throw StoreError(std::string("lmdb: ") + what + ": " + mdb_strerror(rc));
}

void PutBigEndian(uint32_t v, uint8_t* out) {
  out[0] = static_cast<uint8_t>(v >> 24);
  out[1] = static_cast<uint8_t>(v >> 16);
  out[2] = static_cast<uint8_t>(v >> 8);
  out[3] = static_cast<uint8_t>(v);
}

void EncodeKey0(int32_t key, uint8_t* out) {
  PutBigEndian(static_cast<uint32_t>(key) ^ 0x80000000u, out);
}

class LmdbStore final : public Store {
 public:
  LmdbStore(const std::string& dir, bool one_per_call)
      : one_per_call_(one_per_call), path_(dir + (one_per_call ? "/lmdb-1.mdb" : "/lmdb.mdb")) {}
  ~LmdbStore() override { Close(); }

  std::string Name() const override { return one_per_call_ ? "lmdb-1" : "lmdb"; }
  std::string LoadNote() const override {
    return one_per_call_ ? "one commit per record, not synced (MDB_NOSYNC)"
                         : "one commit per 1,000 records, data pages synced (MDB_NOMETASYNC)";
  }

  void Create() override {
    Close();
    unlink(path_.c_str());
    unlink((path_ + "-lock").c_str());
    Open(OpenFor::kLoad);
    Close();
  }

  void Open(OpenFor mode) override {
    Close();
    Check(mdb_env_create(&env_), "env_create");
    Check(mdb_env_set_mapsize(env_, kMapSize), "set_mapsize");
    Check(mdb_env_set_maxdbs(env_, 4), "set_maxdbs");
    unsigned flags = MDB_NOSUBDIR | MDB_NOTLS;
    // The load commits as the engine's accelerated open does: data pages synced, the meta page
    // not. One commit per record synced so would take hours: lmdb-1 syncs nothing.
    if (mode == OpenFor::kLoad) flags |= one_per_call_ ? MDB_NOSYNC : MDB_NOMETASYNC;
    if (mode == OpenFor::kRead) flags |= MDB_RDONLY;
    Check(mdb_env_open(env_, path_.c_str(), flags, 0644), "env_open");
    if (mode != OpenFor::kRead) {
      MDB_txn* txn = nullptr;
      Check(mdb_txn_begin(env_, nullptr, 0, &txn), "txn_begin");
      int rc = mdb_dbi_open(txn, "records", MDB_CREATE, &records_);
      if (rc == MDB_SUCCESS) rc = mdb_dbi_open(txn, "key0", MDB_CREATE, &key0_);
      if (rc == MDB_SUCCESS)
        rc = mdb_dbi_open(txn, "key1", MDB_CREATE | MDB_DUPSORT | MDB_DUPFIXED, &key1_);
      if (rc != MDB_SUCCESS) mdb_txn_abort(txn);
      Check(rc, "dbi_open");
      Check(mdb_txn_commit(txn), "commit");
      next_position_ = LastPosition() + 1;
    } else {
      MDB_txn* txn = nullptr;
      Check(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn), "txn_begin");
      int rc = mdb_dbi_open(txn, "records", 0, &records_);
      if (rc == MDB_SUCCESS) rc = mdb_dbi_open(txn, "key0", 0, &key0_);
      if (rc == MDB_SUCCESS) rc = mdb_dbi_open(txn, "key1", MDB_DUPSORT | MDB_DUPFIXED, &key1_);
      if (rc != MDB_SUCCESS) {
        mdb_txn_abort(txn);
        Check(rc, "dbi_open");
      }
      // The handles stay valid after the opening transaction ends.
      Check(mdb_txn_commit(txn), "commit");
      Check(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &read_), "txn_begin");
      Check(mdb_cursor_open(read_, key0_, &cursor0_), "cursor_open");
      Check(mdb_cursor_open(read_, key1_, &cursor1_), "cursor_open");
      Check(mdb_cursor_open(read_, records_, &step_), "cursor_open");
      mdb_txn_reset(read_);
    }
  }

  void Close() override {
    if (!env_) return;
    if (cursor0_) mdb_cursor_close(cursor0_);
    if (cursor1_) mdb_cursor_close(cursor1_);
    if (step_) mdb_cursor_close(step_);
    if (read_) mdb_txn_abort(read_);
    cursor0_ = cursor1_ = step_ = nullptr;
    read_ = nullptr;
    snapshot_held_ = false;
    mdb_env_close(env_);
    env_ = nullptr;
  }

  void Load(uint32_t first, uint32_t count) override {
    const uint32_t batch = one_per_call_ ? 1 : kBatch;
    for (uint32_t done = 0; done < count;) {
      const uint32_t n = std::min(batch, count - done);
      InsertTransaction(first + done, n);
      done += n;
    }
  }

  void InsertOne(uint32_t ordinal) override { InsertTransaction(ordinal, 1); }

  void InsertTransaction(uint32_t first, uint32_t count) override {
    const uint32_t position = next_position_;
    MDB_txn* txn = nullptr;
    Check(mdb_txn_begin(env_, nullptr, 0, &txn), "txn_begin");
    for (uint32_t j = 0; j < count; ++j) {
      const int rc = Put(txn, first + j);
      if (rc != MDB_SUCCESS) {
        mdb_txn_abort(txn);
        next_position_ = position;
        Check(rc, "put");
      }
    }
    const int rc = mdb_txn_commit(txn);
    if (rc != MDB_SUCCESS) next_position_ = position;
    Check(rc, "commit");
  }

  void UpdateOne(uint32_t ordinal) override {
    Change(ordinal, [&](MDB_txn* txn, MDB_val& position, uint8_t* rec) {
      MakeUpdatedRecord(ordinal, rec);
      MDB_val v{kRecordSize, rec};
      return mdb_put(txn, records_, &position, &v, 0);
    });
  }
  void DeleteOne(uint32_t ordinal) override {
    Change(ordinal, [&](MDB_txn* txn, MDB_val& position, uint8_t* rec) {
      MakeRecord(ordinal, rec);
      uint8_t encoded[4];
      EncodeKey0(Key0OfRecord(rec), encoded);
      MDB_val k0{4, encoded}, k1{kKey1Size, rec + kKey1Offset};
      int rc = mdb_del(txn, key1_, &k1, &position);
      if (rc == MDB_SUCCESS) rc = mdb_del(txn, key0_, &k0, nullptr);
      if (rc == MDB_SUCCESS) rc = mdb_del(txn, records_, &position, nullptr);
      return rc;
    });
  }
  uint64_t BytesOnDisk() const override { return FileBytes({path_}); }

  void BeginReads() override {
    if (!one_per_call_) Renew();
  }
  void EndReads() override {
    if (snapshot_held_) mdb_txn_reset(read_);
    snapshot_held_ = false;
  }

  bool FirstKey0() override {
    Call call(this);
    MDB_val k, v;
    const int rc = mdb_cursor_get(cursor0_, &k, &v, MDB_FIRST);
    return Reached(rc, k, v, remembered0_);
  }

  bool NextKey0() override {
    Call call(this);
    MDB_val k, v;
    int rc;
    if (one_per_call_) {
      // A fresh snapshot: find the remembered key again, then move on from it.
      k = {remembered0_.key_size, remembered0_.key};
      rc = mdb_cursor_get(cursor0_, &k, &v, MDB_SET_RANGE);
      if (rc == MDB_SUCCESS && k.mv_size == remembered0_.key_size &&
          std::memcmp(k.mv_data, remembered0_.key, k.mv_size) == 0)
        rc = mdb_cursor_get(cursor0_, &k, &v, MDB_NEXT);
    } else {
      rc = mdb_cursor_get(cursor0_, &k, &v, MDB_NEXT);
    }
    return Reached(rc, k, v, remembered0_);
  }

  void EqualKey0(int32_t key) override {
    Call call(this);
    uint8_t encoded[4];
    EncodeKey0(key, encoded);
    MDB_val k{sizeof encoded, encoded}, v;
    Check(mdb_get(read_, key0_, &k, &v), "get key0");
    Fetch(v);
  }

  void EqualKey1(const char* key) override {
    Call call(this);
    MDB_val k{kKey1Size, const_cast<char*>(key)}, v;
    const int rc = mdb_cursor_get(cursor1_, &k, &v, MDB_SET_KEY);
    if (!Reached(rc, k, v, remembered1_)) Check(MDB_NOTFOUND, "get key1");
  }

  bool NextKey1() override {
    Call call(this);
    MDB_val k, v;
    int rc;
    if (one_per_call_) {
      k = {remembered1_.key_size, remembered1_.key};
      v = {4, remembered1_.position};
      rc = mdb_cursor_get(cursor1_, &k, &v, MDB_GET_BOTH_RANGE);
      if (rc == MDB_SUCCESS && std::memcmp(v.mv_data, remembered1_.position, 4) == 0)
        rc = mdb_cursor_get(cursor1_, &k, &v, MDB_NEXT);
    } else {
      rc = mdb_cursor_get(cursor1_, &k, &v, MDB_NEXT);
    }
    return Reached(rc, k, v, remembered1_);
  }

  bool StepFirst() override {
    Call call(this);
    MDB_val k, v;
    return Stepped(mdb_cursor_get(step_, &k, &v, MDB_FIRST), k, v);
  }

  bool StepNext() override {
    Call call(this);
    MDB_val k, v;
    int rc;
    if (one_per_call_) {
      k = {4, step_position_};
      rc = mdb_cursor_get(step_, &k, &v, MDB_SET_RANGE);
      if (rc == MDB_SUCCESS && std::memcmp(k.mv_data, step_position_, 4) == 0)
        rc = mdb_cursor_get(step_, &k, &v, MDB_NEXT);
    } else {
      rc = mdb_cursor_get(step_, &k, &v, MDB_NEXT);
    }
    return Stepped(rc, k, v);
  }

 private:
  // Where a read left off: enough to find the place again in a later snapshot.
  struct Place {
    uint8_t key[kKey1Size] = {};
    size_t key_size = 0;
    uint8_t position[4] = {};
  };

  // In one-per-call mode each read takes its own snapshot, as every engine call does.
  class Call {
   public:
    explicit Call(LmdbStore* s) : s_(s) {
      if (s_->one_per_call_) s_->Renew();
    }
    ~Call() {
      if (s_->one_per_call_) s_->EndReads();
    }

   private:
    LmdbStore* s_;
  };

  void Renew() {
    if (snapshot_held_) return;
    Check(mdb_txn_renew(read_), "txn_renew");
    Check(mdb_cursor_renew(read_, cursor0_), "cursor_renew");
    Check(mdb_cursor_renew(read_, cursor1_), "cursor_renew");
    Check(mdb_cursor_renew(read_, step_), "cursor_renew");
    snapshot_held_ = true;
  }

  // One commit: `change` gets the position record `ordinal` has by key 0 (copied out of the
  // tree, which the change may alter) and room for a record.
  template <typename F>
  void Change(uint32_t ordinal, F change) {
    MDB_txn* txn = nullptr;
    Check(mdb_txn_begin(env_, nullptr, 0, &txn), "txn_begin");
    uint8_t encoded[4], position[4], rec[kRecordSize];
    EncodeKey0(Key0Of(ordinal), encoded);
    MDB_val k{4, encoded}, v;
    int rc = mdb_get(txn, key0_, &k, &v);
    if (rc == MDB_SUCCESS) {
      std::memcpy(position, v.mv_data, 4);
      MDB_val p{4, position};
      rc = change(txn, p, rec);
    }
    if (rc != MDB_SUCCESS) {
      mdb_txn_abort(txn);
      Check(rc, "change");
    }
    Check(mdb_txn_commit(txn), "commit");
  }

  int Put(MDB_txn* txn, uint32_t ordinal) {
    uint8_t rec[kRecordSize];
    MakeRecord(ordinal, rec);
    uint8_t position[4], encoded[4];
    PutBigEndian(next_position_, position);
    EncodeKey0(Key0OfRecord(rec), encoded);
    MDB_val pk{4, position}, pv{kRecordSize, rec};
    MDB_val k0{4, encoded}, k1{kKey1Size, rec + kKey1Offset};
    int rc = mdb_put(txn, records_, &pk, &pv, MDB_APPEND);
    if (rc == MDB_SUCCESS) rc = mdb_put(txn, key0_, &k0, &pk, MDB_NOOVERWRITE);
    if (rc == MDB_SUCCESS) rc = mdb_put(txn, key1_, &k1, &pk, MDB_NODUPDATA);
    if (rc == MDB_SUCCESS) ++next_position_;
    return rc;
  }

  uint32_t LastPosition() {
    MDB_txn* txn = nullptr;
    MDB_cursor* c = nullptr;
    Check(mdb_txn_begin(env_, nullptr, MDB_RDONLY, &txn), "txn_begin");
    uint32_t last = 0;
    MDB_val k, v;
    if (mdb_cursor_open(txn, records_, &c) == MDB_SUCCESS) {
      if (mdb_cursor_get(c, &k, &v, MDB_LAST) == MDB_SUCCESS && k.mv_size == 4) {
        const auto* p = static_cast<const uint8_t*>(k.mv_data);
        last = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
      }
      mdb_cursor_close(c);
    }
    mdb_txn_abort(txn);
    return last;
  }

  // Copies the record at the position in v.
  void Fetch(const MDB_val& position) {
    MDB_val k = position, v;
    Check(mdb_get(read_, records_, &k, &v), "get record");
    std::memcpy(record_, v.mv_data, std::min<size_t>(v.mv_size, kRecordSize));
  }

  bool Reached(int rc, const MDB_val& k, const MDB_val& v, Place& place) {
    if (rc == MDB_NOTFOUND) return false;
    Check(rc, "cursor_get");
    Fetch(v);
    if (one_per_call_) {
      place.key_size = std::min(k.mv_size, sizeof place.key);
      std::memcpy(place.key, k.mv_data, place.key_size);
      std::memcpy(place.position, v.mv_data, 4);
    }
    return true;
  }

  bool Stepped(int rc, const MDB_val& k, const MDB_val& v) {
    if (rc == MDB_NOTFOUND) return false;
    Check(rc, "cursor_get");
    std::memcpy(record_, v.mv_data, std::min<size_t>(v.mv_size, kRecordSize));
    if (one_per_call_) std::memcpy(step_position_, k.mv_data, 4);
    return true;
  }

  const bool one_per_call_;
  const std::string path_;
  MDB_env* env_ = nullptr;
  MDB_dbi records_ = 0, key0_ = 0, key1_ = 0;
  MDB_txn* read_ = nullptr;
  MDB_cursor *cursor0_ = nullptr, *cursor1_ = nullptr, *step_ = nullptr;
  bool snapshot_held_ = false;
  uint32_t next_position_ = 1;
  Place remembered0_, remembered1_;
  uint8_t step_position_[4] = {};
};

}  // namespace

std::unique_ptr<Store> MakeLmdbStore(const std::string& dir, bool one_per_call) {
  return std::make_unique<LmdbStore>(dir, one_per_call);
}

}  // namespace vastrel::bench
