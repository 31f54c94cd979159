#include "hosts/cli/sql_verb.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "hosts/cli/errors.h"
#include "hosts/common/code_page.h"
#include "hosts/sql/module.h"

namespace vastrel::cli {
namespace {

// A statement read at the prompt is at most this long.
constexpr size_t kMaxStatementBytes = size_t{4} << 20;

struct SqlOptions {
  std::vector<std::string> files, dicts, ids, names;
  std::string command, mode = "table", code_page, owner;
} g;

std::string SqlQuoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

std::string IdentifierQuoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void AppendJsonText(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string CellText(sqlite3_stmt* s, int i) {
  const unsigned char* text = sqlite3_column_text(s, i);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<size_t>(sqlite3_column_bytes(s, i)))
              : std::string();
}

// The rows of one statement, printed in the chosen form.
class Printer {
 public:
  explicit Printer(const std::string& mode) : mode_(mode) {}

  void Row(sqlite3_stmt* s) {
    const int n = sqlite3_column_count(s);
    if (mode_ == "json") {
      std::string line = "{";
      for (int i = 0; i < n; ++i) {
        if (i) line += ", ";
        AppendJsonText(line, sqlite3_column_name(s, i));
        line += ": ";
        const int type = sqlite3_column_type(s, i);
        const bool finite = type != SQLITE_FLOAT || std::isfinite(sqlite3_column_double(s, i));
        if (type == SQLITE_NULL || !finite) {
          line += "null";
        } else if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
          line += CellText(s, i);
        } else {
          AppendJsonText(line, CellText(s, i));
        }
      }
      std::printf("%s}\n", line.c_str());
      return;
    }
    if (mode_ == "csv") {
      if (!header_done_) {
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) names.push_back(sqlite3_column_name(s, i));
        PrintCsv(names, std::vector<bool>(names.size(), true));
        header_done_ = true;
      }
      std::vector<std::string> cells;
      std::vector<bool> quoted;
      for (int i = 0; i < n; ++i) {
        cells.push_back(CellText(s, i));
        quoted.push_back(sqlite3_column_type(s, i) == SQLITE_TEXT);
      }
      PrintCsv(cells, quoted);
      return;
    }
    if (rows_.empty()) {
      rows_.emplace_back();
      for (int i = 0; i < n; ++i) rows_.back().push_back(sqlite3_column_name(s, i));
    }
    rows_.emplace_back();
    for (int i = 0; i < n; ++i)
      rows_.back().push_back(sqlite3_column_type(s, i) == SQLITE_NULL ? "NULL" : CellText(s, i));
  }

  // Prints the aligned table of the rows gathered.
  void End() {
    if (rows_.empty()) return;
    std::vector<size_t> width(rows_.front().size(), 0);
    for (const auto& row : rows_)
      for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], Columns(row[i]));
    for (size_t r = 0; r < rows_.size(); ++r) {
      std::string line;
      for (size_t i = 0; i < rows_[r].size(); ++i) {
        if (i) line += "  ";
        line += rows_[r][i];
        if (i + 1 < rows_[r].size()) line.append(width[i] - Columns(rows_[r][i]), ' ');
      }
      std::printf("%s\n", line.c_str());
      if (r == 0) {
        std::string rule;
        for (size_t i = 0; i < width.size(); ++i)
          rule += (i ? "  " : "") + std::string(width[i], '-');
        std::printf("%s\n", rule.c_str());
      }
    }
    rows_.clear();
  }

 private:
  // Characters, not bytes, of UTF-8 text.
  static size_t Columns(const std::string& text) {
    size_t n = 0;
    for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
  }
  static void PrintCsv(const std::vector<std::string>& cells, const std::vector<bool>& quoted) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i) line += ',';
      const bool quote = quoted[i] || cells[i].find_first_of(",\"\r\n") != std::string::npos;
      if (!quote) {
        line += cells[i];
        continue;
      }
      line += '"';
      for (const char c : cells[i]) {
        if (c == '"') line += '"';
        line += c;
      }
      line += '"';
    }
    std::printf("%s\n", line.c_str());
  }

  std::string mode_;
  bool header_done_ = false;
  std::vector<std::vector<std::string>> rows_;
};

// Runs every statement of the text; false after the first that fails (its message printed).
bool RunStatements(sqlite3* db, const std::string& text) {
  const char* at = text.c_str();
  while (*at) {
    sqlite3_stmt* s = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, at, -1, &s, &tail) != SQLITE_OK) {
      std::fprintf(stderr, "vastrel: sql: %s\n", sqlite3_errmsg(db));
      return false;
    }
    at = tail;
    if (!s) continue;  // blanks or a comment
    Printer printer(g.mode);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) printer.Row(s);
    printer.End();
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) {
      std::fprintf(stderr, "vastrel: sql: %s\n", sqlite3_errmsg(db));
      return false;
    }
  }
  return true;
}

// Statements from standard input, each run once sqlite3_complete says it is whole.
int Prompt(sqlite3* db) {
  const bool terminal = ::isatty(STDIN_FILENO) != 0;
  bool failed = false;
  std::string statement, line;
  for (;;) {
    if (terminal) {
      std::fputs(statement.empty() ? "sql> " : "...> ", stdout);
      std::fflush(stdout);
    }
    if (!std::getline(std::cin, line)) break;
    statement += line;
    statement += '\n';
    if (statement.size() > kMaxStatementBytes)
      throw DataError("sql: a statement of more than 4 MiB at the prompt");
    if (!sqlite3_complete(statement.c_str())) continue;
    if (!RunStatements(db, statement)) failed = true;
    std::fflush(stdout);
    statement.clear();
  }
  if (terminal) std::fputs("\n", stdout);
  if (statement.find_first_not_of(" \t\r\n") != std::string::npos) {
    std::fprintf(stderr, "vastrel: sql: the input ends inside a statement\n");
    return 1;
  }
  return failed && !terminal ? 1 : 0;
}

}  // namespace

CLI::App* AddSqlVerb(CLI::App& app, const std::string& footer, OwnerNames& owners) {
  CLI::App* sql = app.add_subcommand(
      "sql",
      "SQL over record files: each FILE a table typed by its dictionary (the SQLite module "
      "vastrel); runs -c, or the statements of standard input");
  sql->footer(std::string(kOwnerHelp) + footer);
  sql->add_option("FILE", g.files, "the record files")->required();
  // Each of these takes one value a time, so that a FILE after it stays a FILE.
  sql->add_option("--dict", g.dicts, "the dictionary item file: once for all, or once per FILE")
      ->required()
      ->allow_extra_args(false);
  sql->add_option("--id", g.ids, "the dictionary's ID, once per FILE")
      ->required()
      ->allow_extra_args(false);
  sql->add_option("--as", g.names,
                  "the table's name, once per FILE (default: the file's name without its "
                  "extension)")
      ->allow_extra_args(false);
  sql->add_option("-c,--command", g.command, "the statements to run (else standard input)");
  sql->add_option("--mode", g.mode, "table (default), csv or json (one object a line)")
      ->check(CLI::IsMember({"table", "csv", "json"}));
  sql->add_option("--code-page", g.code_page,
                  std::string("the record text's code page: ") + kCodePageNames);
  owners.Add(sql, "--owner", &g.owner, "the files' owner name", "the files' owner name",
             OwnerNames::Kind::kOpens);
  return sql;
}

int RunSql() {
  const size_t n = g.files.size();
  if (g.ids.size() != n)
    throw DataError("sql: give one --id per FILE (" + std::to_string(n) + " files, " +
                    std::to_string(g.ids.size()) + " IDs)");
  if (g.dicts.size() != 1 && g.dicts.size() != n)
    throw DataError("sql: give one --dict for all files or one per FILE");
  if (!g.names.empty() && g.names.size() != n)
    throw DataError("sql: give one --as per FILE, or none");
  if (!g.code_page.empty() && !CodePageNamed(g.code_page))
    throw DataError("sql: unknown code page \"" + g.code_page + "\"; the code pages are " +
                    kCodePageNames);

  sqlite3* db = nullptr;
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
    sqlite3_close(db);
    throw DataError("sql: SQLite could not open a database in memory");
  }
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close);
  if (sql::RegisterModule(db) != SQLITE_OK)
    throw DataError("sql: " + std::string(sqlite3_errmsg(db)));
  for (size_t i = 0; i < n; ++i) {
    const std::string name =
        g.names.empty() ? std::filesystem::path(g.files[i]).stem().string() : g.names[i];
    std::string create = "CREATE VIRTUAL TABLE " + IdentifierQuoted(name) +
                         " USING vastrel(file=" + SqlQuoted(g.files[i]) + ", dictionary=" +
                         SqlQuoted(g.dicts.size() == 1 ? g.dicts[0] : g.dicts[i]) +
                         ", id=" + SqlQuoted(g.ids[i]);
    if (!g.owner.empty()) create += ", owner=" + SqlQuoted(g.owner);
    if (!g.code_page.empty()) create += ", code_page=" + SqlQuoted(g.code_page);
    create += ")";
    char* error = nullptr;
    if (sqlite3_exec(db, create.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string message = error ? error : sqlite3_errmsg(db);
      sqlite3_free(error);
      throw DataError("sql: " + message);
    }
  }
  if (!g.command.empty()) return RunStatements(db, g.command) ? 0 : 1;
  return Prompt(db);
}

}  // namespace vastrel::cli
