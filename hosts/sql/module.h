// The module "vastrel" for a program that links SQLite itself (the vastrel tool): the same
// registration the loadable extension makes when a connection loads it.
#pragma once

#include <sqlite3.h>

namespace vastrel::sql {

// Registers the module on the connection; SQLITE_OK or SQLite's error code.
int RegisterModule(sqlite3* db);

}  // namespace vastrel::sql
