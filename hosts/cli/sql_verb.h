// `vastrel sql`: SQL over record files, through their dictionaries.
//
//   vastrel sql FILE... --dict DDF --id ID... [--as NAME...] [-c SQL] [--mode table|csv|json]
//
// Each FILE becomes a table (named by --as, else by the file's name without its extension)
// of the SQLite module vastrel, typed by the dictionary DDF (one for every file, or one per
// file) under its ID, in a database in memory. With -c the statements run and the tool
// ends; without it, statements are read from standard input (a prompt on a terminal), each
// run once it is complete. Results print as an aligned table, as CSV with a header line, or
// as JSON lines (one object per row).
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "hosts/common/owner_input.h"

namespace vastrel::cli {

// Registers `sql`; `footer` ends its help. `owners` takes the owner name that opens the
// files, in its ways that other users cannot see. After parsing, RunSql runs it when the
// returned subcommand is parsed() (errors raise DataError or vastrel::Exception).
CLI::App* AddSqlVerb(CLI::App& app, const std::string& footer, OwnerNames& owners);
int RunSql();

}  // namespace vastrel::cli
