// The tool's verbs: the options the command line sets for them, and each verb's entry.
// main.cpp reads the command line into Options and runs one verb; each verb lives in a file
// of its own (<verb>_verb.cpp). A verb answers its exit code (0 done, 1 a data problem) and
// raises on a failure: DataError in the tool's own words, Btrexception for an engine status,
// vastrel::Exception for the component's refusals (execute.h reports them).
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "hosts/common/code_page.h"
#include "table/btr.h"

namespace vastrel::cli {

struct Options {
  std::string command;
  std::vector<std::string> operands;
  std::optional<int> key;
  bool physical = false;
  std::string format = "hex";
  std::string owner;  // UTF-8 as typed; the table takes single-byte text, as through automation
  bool append = false;
  bool hex = false;
  int batch = 1000;
  bool json = false;
  std::string dict;
  std::string dict_id;
  std::string code_page = "cp1252";
  std::string new_owner;
  int level = 0;
  std::string columns;         // import: COLUMN=FIELD or COLUMN=-, by commas
  bool check = false;          // import: converts everything, writes nothing
  std::string input_encoding;  // import: the input's single-byte encoding; empty: UTF-8
};

// The header of an export of records' bytes (export without --dict), which load reads.
inline constexpr const char* kFormatName = "vastrel-records";
inline constexpr int kFormatVersion = 1;

// ---- The verbs ---------------------------------------------------------------------------

// info FILE: the file's description, record count, engine version and storage.
int Info(const Options& o);
// dump FILE: every record in key or physical order, as hex, text or CSV.
int Dump(const Options& o);
// describe FILE: the file's description as JSON, the input of create.
int Describe(const Options& o);
// create FILE DESCRIPTION: a new file from a description.
int Create(const Options& o);
// export FILE OUT without --dict: the header line and every record's bytes as JSON lines.
int ExportRaw(const Options& o);
// export FILE OUT --dict: every record's typed fields as CSV or JSON lines.
int ExportTyped(const Options& o);
// load FILE IN: the records of a raw export, into FILE (made from the header when missing).
int Load(const Options& o);
// import FILE IN --dict: typed records of CSV or JSON lines, inserted by field name.
int Import(const Options& o);
// check FILE: every path walked and counted against the statistics; 1 when they disagree.
int Check(const Options& o);
// copy FILE DST: a new file of the same description with every record.
int Copy(const Options& o);
// recover FILE NEW: every record that can still be read, into a new file.
int Recover(const Options& o);
// owner set FILE NAME and owner clear FILE.
int OwnerSet(const Options& o);
int OwnerClear(const Options& o);

// ---- What several verbs share ----------------------------------------------------------

// Opens the first operand read-only with the owner name of --owner.
void OpenForReading(table::TBtr& t, const Options& o);
// The code page of the record text (--code-page).
CodePage PageOf(const Options& o);
// Loads the fields of --dict under --id into the table; a missing file, ID or field list is
// refused by name.
void LoadDictionary(table::TBtr& t, const Options& o);
// "csv" or "jsonl": --format, or else by the file name's extension.
std::string FormatOf(const Options& o, const std::string& name);
// The input file of load or import, opened; *size receives its size, for the progress bar.
std::ifstream OpenInput(const std::string& name, uint64_t* size);

}  // namespace vastrel::cli
