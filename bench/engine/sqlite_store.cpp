// SQLite with the same records: the rowid is the position, k0 and k1 carry the two keys (k1 as
// a 20-byte blob, compared byte by byte like the engine's string key), data the whole record.
// A running SELECT is the cursor: Get Next is one more step of the statement a Get started.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "bench/engine/store.h"

namespace vastrel::bench {
namespace {

constexpr uint32_t kBatch = 1000;

class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { Finalize(); }

  void Prepare(sqlite3* db, const char* sql) {
    Finalize();
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK)
      throw StoreError(std::string("sqlite: prepare ") + sql + ": " + sqlite3_errmsg(db));
  }
  void Finalize() {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

class SqliteStore final : public Store {
 public:
  SqliteStore(const std::string& dir, bool full)
      : path_(dir + (full ? "/sqlite-full.db" : "/sqlite.db")), full_(full) {}
  ~SqliteStore() override { Close(); }

  std::string Name() const override { return full_ ? "sqlite-full" : "sqlite"; }
  std::string LoadNote() const override {
    return full_ ? "one transaction per 1,000 records, WAL, synchronous FULL"
                 : "one transaction per 1,000 records, WAL, synchronous NORMAL";
  }

  void Create() override {
    Close();
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((path_ + suffix).c_str());
    OpenDb();
    Exec(
        "CREATE TABLE rec(pos INTEGER PRIMARY KEY, k0 INTEGER NOT NULL, k1 BLOB NOT NULL, "
        "data BLOB NOT NULL);"
        "CREATE UNIQUE INDEX rec_k0 ON rec(k0);"
        "CREATE INDEX rec_k1 ON rec(k1);");
    Close();
  }

  void Open(OpenFor) override {
    Close();
    OpenDb();
    insert_.Prepare(db_, "INSERT INTO rec(k0, k1, data) VALUES(?1, ?2, ?3)");
    update_.Prepare(db_, "UPDATE rec SET data = ?2 WHERE k0 = ?1");
    delete_.Prepare(db_, "DELETE FROM rec WHERE k0 = ?1");
    begin_.Prepare(db_, "BEGIN");
    commit_.Prepare(db_, "COMMIT");
    along0_.Prepare(db_, "SELECT data FROM rec ORDER BY k0");
    equal0_.Prepare(db_, "SELECT data FROM rec WHERE k0 = ?1");
    along1_.Prepare(db_, "SELECT data, k1 FROM rec WHERE k1 >= ?1 ORDER BY k1");
    step_.Prepare(db_, "SELECT data FROM rec ORDER BY pos");
  }

  void Close() override {
    for (Statement* s :
         {&insert_, &update_, &delete_, &begin_, &commit_, &along0_, &equal0_, &along1_, &step_})
      s->Finalize();
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
  }

  void Load(uint32_t first, uint32_t count) override {
    for (uint32_t done = 0; done < count;) {
      const uint32_t n = std::min(kBatch, count - done);
      InsertTransaction(first + done, n);
      done += n;
    }
  }

  void InsertOne(uint32_t ordinal) override { Insert(ordinal); }

  void InsertTransaction(uint32_t first, uint32_t count) override {
    Run(begin_);
    try {
      for (uint32_t j = 0; j < count; ++j) Insert(first + j);
      Run(commit_);
    } catch (const StoreError&) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  void UpdateOne(uint32_t ordinal) override {
    uint8_t rec[kRecordSize];
    MakeUpdatedRecord(ordinal, rec);
    sqlite3_stmt* s = update_.get();
    sqlite3_reset(s);
    sqlite3_bind_int(s, 1, Key0OfRecord(rec));
    sqlite3_bind_blob(s, 2, rec, kRecordSize, SQLITE_STATIC);
    Changed(s, "update");
  }
  void DeleteOne(uint32_t ordinal) override {
    sqlite3_stmt* s = delete_.get();
    sqlite3_reset(s);
    sqlite3_bind_int(s, 1, Key0Of(ordinal));
    Changed(s, "delete");
  }
  uint64_t BytesOnDisk() const override { return FileBytes({path_, path_ + "-wal"}); }
  bool Compact() override {
    Exec("VACUUM");
    return true;
  }

  void EndReads() override {
    for (Statement* s : {&along0_, &equal0_, &along1_, &step_}) sqlite3_reset(s->get());
  }

  bool FirstKey0() override {
    sqlite3_reset(along0_.get());
    return Row(along0_);
  }
  bool NextKey0() override { return Row(along0_); }

  void EqualKey0(int32_t key) override {
    sqlite3_reset(equal0_.get());
    sqlite3_bind_int(equal0_.get(), 1, key);
    if (!Row(equal0_)) throw StoreError("sqlite: no record with key 0 " + std::to_string(key));
  }

  void EqualKey1(const char* key) override {
    sqlite3_stmt* s = along1_.get();
    sqlite3_reset(s);
    sqlite3_bind_blob(s, 1, key, kKey1Size, SQLITE_TRANSIENT);
    if (!Row(along1_) || sqlite3_column_bytes(s, 1) != static_cast<int>(kKey1Size) ||
        std::memcmp(sqlite3_column_blob(s, 1), key, kKey1Size) != 0)
      throw StoreError("sqlite: no record with that key 1");
  }
  bool NextKey1() override { return Row(along1_); }

  bool StepFirst() override {
    sqlite3_reset(step_.get());
    return Row(step_);
  }
  bool StepNext() override { return Row(step_); }

 private:
  void OpenDb() {
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      Close();
      throw StoreError("sqlite: open " + path_ + ": " + why);
    }
    // FULL syncs the log at every commit: durable. NORMAL syncs only at checkpoints.
    Exec(full_ ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
               : "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  }

  void Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string why = error ? error : "unknown";
      sqlite3_free(error);
      throw StoreError(std::string("sqlite: ") + sql + ": " + why);
    }
  }

  void Run(Statement& s) {
    sqlite3_reset(s.get());
    if (sqlite3_step(s.get()) != SQLITE_DONE)
      throw StoreError(std::string("sqlite: ") + sqlite3_errmsg(db_));
  }

  void Insert(uint32_t ordinal) {
    uint8_t rec[kRecordSize];
    MakeRecord(ordinal, rec);
    sqlite3_stmt* s = insert_.get();
    sqlite3_reset(s);
    sqlite3_bind_int(s, 1, Key0OfRecord(rec));
    sqlite3_bind_blob(s, 2, rec + kKey1Offset, kKey1Size, SQLITE_STATIC);
    sqlite3_bind_blob(s, 3, rec, kRecordSize, SQLITE_STATIC);
    if (sqlite3_step(s) != SQLITE_DONE)
      throw StoreError(std::string("sqlite: insert: ") + sqlite3_errmsg(db_));
  }

  // Runs a change of one row, which must find it.
  void Changed(sqlite3_stmt* s, const char* what) {
    if (sqlite3_step(s) != SQLITE_DONE)
      throw StoreError(std::string("sqlite: ") + what + ": " + sqlite3_errmsg(db_));
    if (sqlite3_changes(db_) != 1) throw StoreError(std::string("sqlite: ") + what + ": no row");
  }

  // Steps s once and copies the record of the row it reached.
  bool Row(Statement& s) {
    const int rc = sqlite3_step(s.get());
    if (rc == SQLITE_DONE) return false;
    if (rc != SQLITE_ROW) throw StoreError(std::string("sqlite: ") + sqlite3_errmsg(db_));
    const int n = std::min(sqlite3_column_bytes(s.get(), 0), static_cast<int>(kRecordSize));
    std::memcpy(record_, sqlite3_column_blob(s.get(), 0), static_cast<size_t>(n));
    return true;
  }

  const std::string path_;
  const bool full_;
  sqlite3* db_ = nullptr;
  Statement insert_, update_, delete_, begin_, commit_, along0_, equal0_, along1_, step_;
};

}  // namespace

std::unique_ptr<Store> MakeSqliteStore(const std::string& dir, bool full) {
  return std::make_unique<SqliteStore>(dir, full);
}

}  // namespace vastrel::bench
