// INSERT, UPDATE and DELETE through the engine, and SQLite's transactions carried onto the
// engine transaction of the connection's client.
//
// A write puts every changed field's text into the record before anything is sent: a value
// that does not fit refuses the whole row, naming the field. An UPDATE leaves the bytes of
// the fields it does not set, and the bytes no field covers, as the record has them.
//
// Savepoints: the engine has no partial rollback. A ROLLBACK TO the savepoint that began the
// transaction rolls the engine transaction back and begins another. While a later savepoint
// is open every write is logged with the record's bytes before it, and a ROLLBACK TO it undoes
// the logged writes, newest first, inside the engine transaction; a record deleted and put
// back has a new position. When an undo fails, the transaction can't commit: COMMIT then
// rolls it back whole and says so, and every write is refused until it ends.
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT3

#include <cstring>

#include "binding/btrexception.h"
#include "hosts/sql/vtab.h"

namespace vastrel::sql {
namespace {

table::TBtr& Writer(Table& t) {
  if (!t.writer) t.writer = OpenTable(t);
  return *t.writer;
}

void ReadAt(table::TBtr& w, sqlite3_int64 position) {
  w.SetPosition(static_cast<int32_t>(static_cast<uint32_t>(position)));
  w.SetKeyNum(0);
  w.GetDirect();
}

// The record with the values of argv[2..] put into its fields; `record` is the data buffer's
// current text. NULL stores blanks. Raises python::Refusal naming the field.
std::string PutValues(const Table& t, std::string record, sqlite3_value** argv, bool fresh) {
  for (size_t i = 0; i < t.fields.size(); ++i) {
    sqlite3_value* v = argv[2 + i];
    if (!fresh && sqlite3_value_nochange(v)) continue;
    std::string text;
    try {
      text = FieldTextOf(t, i, v);
    } catch (const python::Refusal& r) {
      const char* shown = reinterpret_cast<const char*>(sqlite3_value_text(v));
      std::string value = shown ? shown : "NULL";
      if (value.size() > 60) value = value.substr(0, 57) + "...";
      throw python::Refusal("field \"" + t.fields[i].name + "\" can't take " + value + ": " +
                            r.what());
    }
    record = python::PutField(record, t.fields[i], text);
  }
  return record;
}

// Copies the record text into the data buffer with its closing zero byte (when there is
// room for one); the bytes after it stay.
void Store(table::TBtr& w, const std::string& record) {
  const size_t length = static_cast<size_t>(std::max(w.DataBufferLength(), 0));
  if (record.size() > length)
    throw python::Refusal("the record text needs " + std::to_string(record.size()) +
                          " bytes and the record holds " + std::to_string(length));
  std::memcpy(w.DataBuffer(), record.data(), record.size());
  if (record.size() < length) w.DataBuffer()[record.size()] = 0;
}

int Refused(Table& t, const char* what) { return Fail(&t, "table " + t.name + ": " + what); }

// The data buffer's bytes, kept for a rollback to a savepoint when one is open.
std::string Before(const Session& s, const table::TBtr& w) {
  if (s.savepoints.empty()) return {};
  return std::string(reinterpret_cast<const char*>(w.DataBuffer()),
                     static_cast<size_t>(w.DataBufferLength()));
}

// Counts a write and, while a savepoint is open, notes how to undo it.
void Log(Table& t, Undo::Kind kind, uint32_t position, std::string before) {
  Session& s = *t.session;
  ++s.writes;
  if (!s.savepoints.empty()) s.undo.push_back(Undo{kind, &t, position, std::move(before)});
}

// Undoes the logged writes from the end back to `mark`.
void UndoTo(Session& s, size_t mark) {
  while (s.undo.size() > mark) {
    Undo u = std::move(s.undo.back());
    s.undo.pop_back();
    table::TBtr& w = Writer(*u.table);
    if (u.kind == Undo::kDeleted) {
      const int32_t length = w.DataBufferLength();
      w.SetDataBufferLength(length + 1);
      w.SetDataBufferLength(length);
      std::memcpy(w.DataBuffer(), u.bytes.data(),
                  std::min(u.bytes.size(), static_cast<size_t>(length)));
      w.Insert();
      w.GetPosition();
      // The record is back at a new position: earlier entries follow it there.
      for (Undo& e : s.undo)
        if (e.table == u.table && e.position == u.position)
          e.position = static_cast<uint32_t>(w.Position());
      continue;
    }
    ReadAt(w, u.position);
    if (u.kind == Undo::kInserted) {
      w.Delete();
    } else {
      std::memcpy(w.DataBuffer(), u.bytes.data(),
                  std::min(u.bytes.size(), static_cast<size_t>(w.DataBufferLength())));
      w.Post();
    }
  }
}

}  // namespace

int Update(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  Table& t = *static_cast<Table*>(vtab);
  Session& s = *t.session;
  if (s.doomed)
    return Refused(t, "the transaction can't write after a partial rollback; roll it back");
  const bool insert = argc > 1 && sqlite3_value_type(argv[0]) == SQLITE_NULL;
  try {
    table::TBtr& w = Writer(t);
    if (argc == 1) {
      const sqlite3_int64 position = sqlite3_value_int64(argv[0]);
      ReadAt(w, position);
      std::string before = Before(s, w);
      w.Delete();
      t.record_count = std::max(t.record_count - 1, 0.0);
      Log(t, Undo::kDeleted, static_cast<uint32_t>(position), std::move(before));
      return SQLITE_OK;
    }
    sqlite3_value* position = argv[2 + t.fields.size()];
    if (insert) {
      if (sqlite3_value_type(argv[1]) != SQLITE_NULL || sqlite3_value_type(position) != SQLITE_NULL)
        return Refused(t, "a record's position is given by the engine, not by INSERT");
      const std::string record = PutValues(t, std::string(), argv, true);
      // A fresh, zero-filled buffer: bytes past the fields are zero in a new record.
      const int32_t length = w.DataBufferLength();
      w.SetDataBufferLength(length + 1);
      w.SetDataBufferLength(length);
      Store(w, record);
      w.Insert();
      t.record_count += 1;
      w.GetPosition();
      *rowid = static_cast<uint32_t>(w.Position());
      Log(t, Undo::kInserted, static_cast<uint32_t>(w.Position()), {});
      return SQLITE_OK;
    }
    const sqlite3_int64 old = sqlite3_value_int64(argv[0]);
    if (sqlite3_value_int64(argv[1]) != old ||
        (!sqlite3_value_nochange(position) && sqlite3_value_type(position) != SQLITE_NULL &&
         sqlite3_value_int64(position) != old))
      return Refused(t, "a record's position can't be changed");
    ReadAt(w, old);
    const std::string record = PutValues(t, std::string(RecordText(w)), argv, false);
    std::string before = Before(s, w);
    Store(w, record);
    w.Post();
    Log(t, Undo::kUpdated, static_cast<uint32_t>(old), std::move(before));
  } catch (...) {
    return FailCurrent(vtab, "table " + t.name);
  }
  return SQLITE_OK;
}

int Begin(sqlite3_vtab* vtab) {
  Table& t = *static_cast<Table*>(vtab);
  Session& s = *t.session;
  if (s.in_transaction) return SQLITE_OK;
  try {
    Writer(t).begintransaction();
  } catch (...) {
    return FailCurrent(vtab, "table " + t.name + ": begin transaction");
  }
  s.Began();
  return SQLITE_OK;
}

// COMMIT is refused here, in its first phase, since SQLite does not hear a failure of the
// second.
int Sync(sqlite3_vtab* vtab) {
  Table& t = *static_cast<Table*>(vtab);
  if (t.session->doomed)
    return Refused(t,
                   "the transaction is rolled back, not committed: a rollback to a savepoint "
                   "would have had to undo writes to record files");
  return SQLITE_OK;
}

int Commit(sqlite3_vtab* vtab) {
  Table& t = *static_cast<Table*>(vtab);
  Session& s = *t.session;
  if (!s.in_transaction) return SQLITE_OK;
  s.in_transaction = false;
  try {
    if (s.doomed) {
      s.doomed = false;
      Writer(t).aborttransaction();
      return SQLITE_ERROR;
    }
    Writer(t).committransaction();
  } catch (...) {
    return FailCurrent(vtab, "table " + t.name + ": commit");
  }
  return SQLITE_OK;
}

int Rollback(sqlite3_vtab* vtab) {
  Table& t = *static_cast<Table*>(vtab);
  Session& s = *t.session;
  if (!s.in_transaction) return SQLITE_OK;
  s.in_transaction = false;
  s.doomed = false;
  try {
    Writer(t).aborttransaction();
  } catch (...) {
    return FailCurrent(vtab, "table " + t.name + ": rollback");
  }
  return SQLITE_OK;
}

// A savepoint's mark is taken when SQLite first tells of it; a table that joins the
// transaction later hears of the same savepoint again, which keeps its mark.
int Savepoint(sqlite3_vtab* vtab, int n) {
  Session& s = *static_cast<Table*>(vtab)->session;
  if (n >= 0 && static_cast<size_t>(n) >= s.savepoints.size())
    s.savepoints.resize(static_cast<size_t>(n) + 1, s.undo.size());
  return SQLITE_OK;
}

int Release(sqlite3_vtab* vtab, int n) {
  Session& s = *static_cast<Table*>(vtab)->session;
  if (n >= 0 && static_cast<size_t>(n) < s.savepoints.size()) {
    s.savepoints.resize(static_cast<size_t>(n));
    if (s.savepoints.empty()) s.undo.clear();
  }
  return SQLITE_OK;
}

int RollbackTo(sqlite3_vtab* vtab, int n) {
  Table& t = *static_cast<Table*>(vtab);
  Session& s = *t.session;
  if (n < 0) {
    // Back to where the transaction began: the engine transaction is rolled back and a new
    // one begun, as SQLite's transaction stays open.
    if (s.writes == 0 || !s.in_transaction) return SQLITE_OK;
    try {
      Writer(t).aborttransaction();
      s.in_transaction = false;
      Writer(t).begintransaction();
    } catch (...) {
      return FailCurrent(vtab, "table " + t.name + ": rollback");
    }
    s.Began();
    return SQLITE_OK;
  }
  if (static_cast<size_t>(n) >= s.savepoints.size()) return SQLITE_OK;
  try {
    UndoTo(s, s.savepoints[static_cast<size_t>(n)]);
  } catch (...) {
    s.doomed = true;
    return FailCurrent(vtab, "table " + t.name + ": rollback to a savepoint");
  }
  s.savepoints.resize(static_cast<size_t>(n) + 1);
  return SQLITE_OK;
}

}  // namespace vastrel::sql
