// vastrel: inspect, keep and rescue the business data in record files.
//
//   vastrel info|describe|dump|check FILE        the file's description, its records, a check
//   vastrel create FILE DESCRIPTION.json         a new file from a description
//   vastrel export|load FILE JSONL               every record's bytes, and back
//   vastrel export|import FILE OUT|IN --dict     typed fields as CSV or JSON lines
//   vastrel copy SRC DST                         a copy, record by record
//   vastrel owner set|clear FILE                 the owner name
//   vastrel compact FILE                         the file in its smallest form
//   vastrel shell FILE                           operations call by call
//   vastrel dict show|create|add|remove|check    field dictionaries as JSON (dict_verb.h)
//   vastrel sql FILE... --dict DDF --id ID...    SQL over record files (sql_verb.h)
//   vastrel help [COMMAND], vastrel --version
//
// Exit codes: 0 done, 1 a data problem or an engine error, 2 a usage error. Results go to
// standard output, errors, progress and final counts to standard error.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "hosts/cli/child.h"
#include "hosts/cli/compact.h"
#include "hosts/cli/dict_verb.h"
#include "hosts/cli/execute.h"
#include "hosts/cli/shell.h"
#include "hosts/cli/sql_verb.h"
#include "hosts/cli/verbs.h"
#include "hosts/common/code_page.h"
#include "hosts/common/owner_input.h"
#include "platform/locale.h"
#include "table/btr.h"

namespace vastrel::cli {
namespace {

using table::TBtr;

constexpr const char* kExitCodes =
    "exit codes: 0 done, 1 data problem or engine error, 2 usage error\n";

// vastrel compact FILE (compact.h).
int Compact(const Options& o) { return CompactFile(o.operands[0], o.owner); }

// vastrel shell FILE: operations call by call (shell.h).
int ShellCommand(const Options& o) {
  TBtr t;
  t.SetFileName(platform::FileNameFromPath(o.operands[0]));
  t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
  return RunShell(t, std::cin, std::cout);
}

// A verb of the command line and the function that runs it.
struct Verb {
  CLI::App* app;
  int (*run)(const Options&);
};

// Reads the command line into Options, answers help and usage errors, and runs the verb given.
int Run(int argc, char** argv) {
  Options o;
  CLI::App app("vastrel: inspect, keep and rescue the business data in record files", "vastrel");
  app.require_subcommand(1);
  app.footer(kExitCodes);
  std::vector<Verb> verbs;
  std::string file, second;
  auto verb = [&](const char* name, const char* help, int (*run)(const Options&),
                  const char* second_name = nullptr, const char* second_help = nullptr) {
    CLI::App* v = app.add_subcommand(name, help);
    v->footer(kExitCodes);
    v->add_option("FILE", file, "the record file")->required();
    if (second_name) v->add_option(second_name, second, second_help)->required();
    verbs.push_back({v, run});
    return v;
  };
  OwnerNames owners;
  auto owner = [&](CLI::App* v, const char* help = "the file's owner name, for a file that has one",
                   OwnerNames::Kind kind = OwnerNames::Kind::kOpens, bool required = false) {
    owners.Add(v, "--owner", &o.owner, help, "the file's owner name", kind, required);
    v->footer(std::string(kOwnerHelp) + kExitCodes);
  };
  auto level = [&](CLI::App* v, const char* flag) {
    v->add_option(flag, o.level,
                  "owner protection: 0 no access without the name, 1 read access, 2 no access "
                  "and encrypted, 3 read access and encrypted (default 0)")
        ->check(CLI::Range(0, 3));
  };
  auto batch = [&](CLI::App* v, const std::string& fallback) {
    v->add_option_function<int>(
         "--batch", [&](const int& n) { o.batch = n; },
         "records per transaction (default " + fallback + ")")
        ->check(CLI::Range(1, 1 << 30));
  };
  auto code_page = [&](CLI::App* v) {
    v->add_option(
         "--code-page", o.code_page,
         std::string("the code page of the record text: ") + kCodePageNames + " (default cp1252)")
        ->check(CLI::IsMember({"cp1252", "cp437", "cp850", "latin-1", "latin1", "iso-8859-1"}));
  };
  auto key = [&](CLI::App* v) {
    return v
        ->add_option_function<int>(
            "--key", [&](const int& k) { o.key = k; }, "the key whose order to follow (from 0)")
        ->check(CLI::Range(0, 127));
  };

  CLI::App* info = verb("info", "the file's description, record count and engine version", Info);
  owner(info);
  info->add_flag("--json", o.json, "as JSON");

  // A description may carry the file's dictionary beside its keys (docs/description-format.md).
  auto with_dict = [&](CLI::App* v, const char* help) {
    CLI::Option* d = v->add_option("--dict", o.dict, help);
    CLI::Option* id = v->add_option("--id", o.dict_id, "the dictionary's ID");
    d->needs(id);
    id->needs(d);
  };
  CLI::App* describe =
      verb("describe", "the file's description as JSON, the input of create", Describe);
  owner(describe);
  with_dict(describe, "adds the dictionary of this item file as the member \"dictionary\"");

  CLI::App* create = verb("create", "a new record file from a description (see describe)", Create,
                          "DESCRIPTION", "the description in JSON, at most 1 MiB");
  owner(create, "gives the new file this owner name", OwnerNames::Kind::kGives);
  level(create, "--level");
  with_dict(create, "stores the description's member \"dictionary\" in this item file");

  CLI::App* dump = verb("dump", "every record in key or physical order", Dump);
  CLI::Option* dump_key = key(dump);
  dump->add_flag("--physical", o.physical, "in physical order")->excludes(dump_key);
  dump->add_option("--format", o.format, "hex (default), text or csv")
      ->check(CLI::IsMember({"hex", "text", "csv"}));
  owner(dump);

  CLI::App* exp = verb("export",
                       "every record: without --dict its bytes as JSON lines (the "
                       "input of load), with --dict its typed fields as CSV or JSON lines "
                       "(the input of import)",
                       nullptr, "OUT", "the file to write");
  exp->add_flag("--hex", o.hex, "record bytes in hex rather than base64 (without --dict)");
  CLI::Option* exp_dict = exp->add_option("--dict", o.dict, "the dictionary item file");
  exp->add_option("--id", o.dict_id, "the dictionary ID of the file's fields")->needs(exp_dict);
  exp->add_option("--format", o.format, "csv or jsonl (default: by OUT's extension)")
      ->check(CLI::IsMember({"csv", "jsonl"}))
      ->needs(exp_dict);
  key(exp)->needs(exp_dict);
  code_page(exp);
  owner(exp);

  CLI::App* imp = verb("import",
                       "inserts typed records of CSV or JSON lines by field name, all of them "
                       "in one transaction (a failure leaves the file as it was) unless --batch "
                       "is given",
                       Import, "IN",
                       "the CSV or JSON-lines file (a byte-order mark is skipped), at most 4 MiB "
                       "to a record");
  imp->add_option("--dict", o.dict, "the dictionary item file, at most 16 MiB")->required();
  imp->add_option("--id", o.dict_id, "the dictionary ID of the file's fields")->required();
  imp->add_option("--format", o.format, "csv or jsonl (default: by IN's extension)")
      ->check(CLI::IsMember({"csv", "jsonl"}));
  code_page(imp);
  imp->add_option("--input-encoding", o.input_encoding,
                  std::string("the encoding of IN: utf-8 (default), ") + kCodePageNames +
                      "; apart from --code-page, the record text's")
      ->check(
          CLI::IsMember({"utf-8", "cp1252", "cp437", "cp850", "latin-1", "latin1", "iso-8859-1"}));
  imp->add_option("--columns", o.columns,
                  "where columns (CSV) or members (JSON lines) go, by name: 'Item No=Code' puts "
                  "the column \"Item No\" into the field Code, 'Colour=-' skips the column "
                  "Colour; entries separated by commas, the others go by their own name");
  imp->add_flag("--check", o.check,
                "reads and converts every record and writes nothing; reports the first 20 "
                "faults (line, field, why); exit code 0 when there are none");
  imp->add_option_function<int>(
         "--batch", [&](const int& n) { o.batch = n; },
         "commits every N records, keeping the parts committed before a failure and saying "
         "how many (default: one transaction, held in memory to its end: about 0.7 GB for a "
         "million records of 64 bytes; give --batch for inputs larger than memory allows)")
      ->check(CLI::Range(1, 1 << 30));
  owner(imp);

  CLI::App* load = verb("load",
                        "inserts the records of an export (creates FILE from its "
                        "header when missing)",
                        Load, "IN",
                        "the JSON-lines export: a header line of at most 1 MiB, record lines of "
                        "at most 129 MiB");
  load->add_flag("--append", o.append, "adds to an existing file");
  batch(load, "1000");
  owner(load);

  CLI::App* check = verb("check",
                         "walks physical order and every key and sets their counts "
                         "against the statistics; exit code 1 when they disagree",
                         Check);
  check->add_flag("--json", o.json, "as JSON");
  owner(check);

  CLI::App* copy = verb("copy", "a new file of the same description with every record", Copy, "DST",
                        "the new file");
  owner(copy);
  owners.Add(copy, "--to-owner", &o.new_owner, "gives the copy this owner name",
             "the copy's owner name", OwnerNames::Kind::kGives);
  level(copy, "--level");
  batch(copy, "4 MiB of record data");

  CLI::App* recover = verb("recover",
                           "copies every record that can still be read, along the keys and "
                           "physical order and then from the file's raw pages, into a new file "
                           "of the same description, and reports what could not be saved",
                           Recover, "NEW", "the new file");
  owner(recover);
  level(recover, "--level");

  CLI::App* compact = verb("compact",
                           "rewrites the file into its smallest form, giving back the space "
                           "of deleted records; other programs may keep the file open",
                           Compact);
  owner(compact);

  CLI::App* own = app.add_subcommand("owner", "sets or clears a file's owner name");
  own->footer(kExitCodes);
  own->require_subcommand(1);
  CLI::App* own_set = own->add_subcommand("set", "gives the file an owner name");
  own_set->add_option("FILE", file, "the record file")->required();
  owner(own_set, "the file's present owner name");
  owners.Add(own_set, "NAME", &o.new_owner, "the new owner name", "the new owner name",
             OwnerNames::Kind::kGives, /*required=*/true);
  level(own_set, "--level");
  verbs.push_back({own_set, OwnerSet});
  CLI::App* own_clear = own->add_subcommand("clear", "removes the file's owner name");
  own_clear->add_option("FILE", file, "the record file")->required();
  owner(own_clear, "the file's owner name", OwnerNames::Kind::kOpens, /*required=*/true);
  verbs.push_back({own_clear, OwnerClear});

  CLI::App* shell = verb("shell",
                         "runs operations call by call, read from standard input; "
                         "'help' inside lists them",
                         ShellCommand);
  owner(shell);

  CLI::App* dict = AddDictVerb(app, kExitCodes, owners);
  CLI::App* sql = AddSqlVerb(app, kExitCodes, owners);

  std::vector<std::string> help_topic;
  CLI::App* help = app.add_subcommand("help", "this help, or a command's: help dict create");
  help->add_option("COMMAND", help_topic, "the command (and its subcommand)");
  app.set_version_flag("--version", std::string("vastrel ") + VASTREL_VERSION);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return 0;
  } catch (const CLI::ParseError& e) {
    std::string where = "vastrel";
    for (CLI::App* sub = &app; sub && !sub->get_subcommands().empty();) {
      sub = sub->get_subcommands().front();
      where += " " + sub->get_name();
    }
    std::fprintf(stderr, "vastrel: %s\n%s --help tells more\n", e.what(), where.c_str());
    return 2;
  }
  if (help->parsed()) {
    CLI::App* about = &app;
    std::string path = "vastrel";
    for (const std::string& word : help_topic) {
      try {
        about = about->get_subcommand(word);
      } catch (const CLI::OptionNotFound&) {
        std::fprintf(stderr, "vastrel: no command \"%s\" in \"%s\"\nvastrel help lists them\n",
                     word.c_str(), path.c_str());
        return 2;
      }
      path += " " + word;
    }
    std::fputs(about->get_formatter()->make_help(about, path, CLI::AppFormatMode::Normal).c_str(),
               stdout);
    return 0;
  }
  try {
    owners.Resolve();
  } catch (const OwnerInputError& e) {
    std::fprintf(stderr, "vastrel: %s\n", e.what());
    return e.ExitCode();
  }
  if (dict->parsed()) return Execute([](const Options&) { return RunDict(); }, o);
  if (sql->parsed()) return Execute([](const Options&) { return RunSql(); }, o);
  int (*run)(const Options&) = nullptr;
  for (const Verb& v : verbs) {
    if (v.app->parsed()) {
      run = v.run;
      o.command = v.app->get_name();
    }
  }
  // Copy sizes its transactions by bytes unless told a number of records; import is one
  // transaction unless told one.
  if (copy->parsed() && copy->count("--batch") == 0) o.batch = 0;
  if (imp->parsed() && imp->count("--batch") == 0) o.batch = -1;
  if (exp->parsed()) {
    if (!o.dict.empty() && o.hex) {
      std::fprintf(stderr, "vastrel: --hex is for exports without --dict\n");
      return 2;
    }
    run = o.dict.empty() ? ExportRaw : ExportTyped;
  }
  o.operands = {file};
  if (!second.empty()) o.operands.push_back(second);
  if (run == Check) {
    // A damage the storage cannot survive ends the child that met it, not the tool.
    const int code = InChild([&] { return Execute(run, o); });
    if (code >= 0) return code;
    std::fprintf(stderr,
                 "vastrel: %s: damaged: the check died of %s while it read the file; its pages "
                 "are damaged beyond what the engine can answer with a status\n",
                 file.c_str(), strsignal(-code));
    return 1;
  }
  return Execute(run, o);
}

}  // namespace
}  // namespace vastrel::cli

int main(int argc, char** argv) { return vastrel::cli::Run(argc, argv); }
