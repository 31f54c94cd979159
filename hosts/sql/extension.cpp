// The entry point of libvastrel_sqlite.so: SQLite calls it when a connection loads the
// library (".load" in the sqlite3 shell, load_extension from Python, sqlite3_load_extension
// from C) and it registers the module "vastrel" on that connection.
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

#include <atomic>
#include <string>

#include "hosts/sql/module.h"
#include "hosts/sql/vtab.h"

namespace vastrel::sql {
namespace {

// A client ID of its own for each connection: "S" and three base-36 digits.
std::string NextClientId() {
  static std::atomic<uint32_t> counter{0};
  uint32_t n = counter.fetch_add(1) % (36 * 36 * 36);
  std::string id = "S000";
  for (int i = 3; i >= 1; --i, n /= 36)
    id[static_cast<size_t>(i)] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[n % 36];
  return id;
}

void FreeSession(void* session) { delete static_cast<Session*>(session); }

const sqlite3_module kModule = {
    /* iVersion */ 2,
    /* xCreate */ Create,
    /* xConnect */ Create,
    /* xBestIndex */ BestIndex,
    /* xDisconnect */ Disconnect,
    /* xDestroy */ Disconnect,
    /* xOpen */ Open,
    /* xClose */ Close,
    /* xFilter */ Filter,
    /* xNext */ Next,
    /* xEof */ Eof,
    /* xColumn */ Column,
    /* xRowid */ Rowid,
    /* xUpdate */ Update,
    /* xBegin */ Begin,
    /* xSync */ Sync,
    /* xCommit */ Commit,
    /* xRollback */ Rollback,
    /* xFindFunction */ nullptr,
    /* xRename */ nullptr,
    /* xSavepoint */ Savepoint,
    /* xRelease */ Release,
    /* xRollbackTo */ RollbackTo,
    /* xShadowName */ nullptr,
};

int Register(sqlite3* db, char** error, const sqlite3_api_routines* api) {
#ifndef SQLITE_CORE
  SQLITE_EXTENSION_INIT2(api);
#else
  (void)api;
#endif
  auto* session = new Session;
  session->client_id = NextClientId();
  const int rc = sqlite3_create_module_v2(db, "vastrel", &kModule, session, FreeSession);
  if (rc != SQLITE_OK && error) *error = sqlite3_mprintf("can't register the module vastrel");
  return rc;
}

}  // namespace

int RegisterModule(sqlite3* db) { return Register(db, nullptr, nullptr); }

}  // namespace vastrel::sql

// The name SQLite derives from the file name, and the generic one.
extern "C" __attribute__((visibility("default"))) int sqlite3_vastrelsqlite_init(
    sqlite3* db, char** error, const sqlite3_api_routines* api) {
  return vastrel::sql::Register(db, error, api);
}
extern "C" __attribute__((visibility("default"))) int sqlite3_extension_init(
    sqlite3* db, char** error, const sqlite3_api_routines* api) {
  return vastrel::sql::Register(db, error, api);
}
