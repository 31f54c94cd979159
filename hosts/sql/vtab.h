// The virtual tables of the SQLite module "vastrel": one record file seen through its field
// dictionary as a table of typed columns.
//
//   CREATE VIRTUAL TABLE orders USING vastrel(file='/data/orders.dat',
//       dictionary='/data/orders.ddf', id='ORDERS' [, owner='NAME' | owner_file='F']
//       [, code_page='cp437'])
//
// Every cursor reads through a table object of its own (its own position block); writes go
// through one more that the virtual table keeps. All of them are opened under the client ID
// of their database connection, so that one connection's engine transaction covers every
// file it writes, and two connections of one process stay apart as two programs would.
// Not thread-safe beyond what SQLite serialises for one connection.
#pragma once

#include <sqlite3ext.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hosts/common/code_page.h"
#include "hosts/common/field_value.h"
#include "table/btr.h"

namespace vastrel::sql {

struct Table;

// A write made while a savepoint is open, and how to undo it: delete the record inserted,
// put back the record's bytes before the update, insert the deleted record again.
struct Undo {
  enum Kind { kInserted, kUpdated, kDeleted } kind;
  Table* table;
  uint32_t position;
  std::string bytes;  // the data buffer before an update or a delete
};

// One database connection's part: its engine client and its transaction.
struct Session {
  std::string client_id;
  bool in_transaction = false;
  // A rollback to a savepoint could not undo writes: the transaction may only roll back.
  bool doomed = false;
  // Writes made in the transaction.
  int64_t writes = 0;
  // The undo log's length at each open savepoint, and the log, kept only while one is open.
  std::vector<size_t> savepoints;
  std::vector<Undo> undo;

  // An engine transaction has just begun: nothing written, nothing to undo.
  void Began() {
    in_transaction = true;
    doomed = false;
    writes = 0;
    savepoints.clear();
    undo.clear();
  }
};

// A key segment as the planner sees it: the column whose field it covers exactly (-1 for
// none), and what its order allows.
struct Segment {
  int column = -1;
  int length = 0;
  bool case_insensitive = false;
  // Equality can be looked up (a text key over a text or integer field).
  bool equality = false;
  // Ranges and ORDER BY follow the key's order (a case-sensitive, ascending text key over a
  // text field).
  bool ordered = false;
};

struct Key {
  int number = 0;
  bool unique = true;
  std::vector<Segment> segments;
};

struct Table : sqlite3_vtab {
  Session* session = nullptr;
  std::string name;       // the SQL table's name, for messages
  std::string file;       // single-byte, as the table object names it
  std::string file_utf8;  // for messages
  std::string owner;
  std::optional<cli::CodePage> code_page;  // none: the component's own code page
  // Bytes whose order differs from the order of their characters in UTF-8, which SQL sorts
  // by: 128 to 159 in Windows-1252 (the component's), every byte from 128 in cp437 and
  // cp850, none in ISO 8859-1.
  std::array<bool, 256> misordered{};
  python::Formats formats;
  std::vector<python::FieldSpec> fields;  // the columns, in order; the hidden column follows
  std::vector<Key> keys;
  double record_count = 0;
  // Table objects of finished cursors, kept open for the next statement.
  std::vector<std::unique_ptr<table::TBtr>> idle;
  std::unique_ptr<table::TBtr> writer;
};

// The column after the fields: the record's physical position (also the rowid).
inline constexpr const char* kPositionColumn = "_position";

// A table object on the virtual table's file, open, under the connection's client ID.
std::unique_ptr<table::TBtr> OpenTable(const Table& t);

// Sets the virtual table's error message; answers SQLITE_ERROR (SQLITE_BUSY for a record
// or file another program holds).
int Fail(sqlite3_vtab* vtab, const std::string& message, int code = SQLITE_ERROR);
// The current exception as an error of the virtual table: engine failures keep their status
// text and number, with the file's name.
int FailCurrent(sqlite3_vtab* vtab, const std::string& context);

// ---- Values: a field's text and SQL values, both ways (values.cpp) ----

// The record text of a data buffer: its bytes up to the first zero byte.
std::string_view RecordText(const table::TBtr& table);
// Sets the field's SQL value read from the record text: TEXT without trailing blanks,
// INTEGER, REAL, dates and times as ISO-8601 TEXT, Booleans 0/1; NULL for a blank field that
// is not text. Raises python::Refusal for text that is no value of the field's type.
void ResultField(sqlite3_context* ctx, const Table& t, size_t column, std::string_view record);
// The text the field stores for an SQL value (unpadded; empty for NULL). Raises
// python::Refusal when the value does not fit the field whole.
std::string FieldTextOf(const Table& t, size_t column, sqlite3_value* value);

// ---- The planner (plan.cpp) ----

int BestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info);

// What xFilter is told: the key (or none), the direction and which bounds follow in argv.
struct Plan {
  int key = -1;  // index into Table::keys; -1 walks in physical order
  bool descending = false;
  int equalities = 0;
  bool lower = false;
  bool upper = false;
  bool direct = false;  // the record at the position in argv[0]
  int ordered = 0;      // segments after the equalities that give SQLite its ORDER BY
};
Plan DecodePlan(int idx_num);

// ---- Cursors (cursor.cpp) and writes (write.cpp) ----

int Open(sqlite3_vtab* vtab, sqlite3_vtab_cursor** cursor);
int Close(sqlite3_vtab_cursor* cursor);
int Filter(sqlite3_vtab_cursor* cursor, int idx_num, const char* idx_str, int argc,
           sqlite3_value** argv);
int Next(sqlite3_vtab_cursor* cursor);
int Eof(sqlite3_vtab_cursor* cursor);
int Column(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int column);
int Rowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid);

int Update(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* rowid);
int Begin(sqlite3_vtab* vtab);
int Sync(sqlite3_vtab* vtab);
int Commit(sqlite3_vtab* vtab);
int Rollback(sqlite3_vtab* vtab);
int Savepoint(sqlite3_vtab* vtab, int n);
int Release(sqlite3_vtab* vtab, int n);
int RollbackTo(sqlite3_vtab* vtab, int n);

// ---- Creation (table.cpp) ----

int Create(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** vtab,
           char** error);
int Disconnect(sqlite3_vtab* vtab);

}  // namespace vastrel::sql
