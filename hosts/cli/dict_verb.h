// `vastrel dict`: the field and index dictionaries of a dictionary item file, as JSON.
//
//   vastrel dict show DDF [--id ID]                 one dictionary, or every one, as JSON
//   vastrel dict create DDF --id ID FROM.json       a dictionary from its JSON
//   vastrel dict add|remove DDF --id ID --field NAME ... | --index NAME ...
//   vastrel dict check DDF --id ID RECORDFILE       the dictionary against the record file
//
// The JSON of one dictionary (docs/description-format.md):
//   {"id": "ORDERS",
//    "fields": [{"name": "OrderNo", "type": "ft_INTEGER", "offset": 0, "size": 9}, ...],
//    "indexes": [{"name": "ByOrder", "key": 0}, ...]}
// Offsets count from 0 in the record text. The file is read and written through the
// component's dictionary layer (dictionary/item_file.h); a change writes a new file beside
// the old one and puts it in its place, so that a failure leaves the old one whole.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "automation/json.h"
#include "hosts/common/owner_input.h"

namespace vastrel::cli {

// Registers `dict` and its subcommands; `footer` ends each one's help. After parsing, the
// returned subcommand is parsed() when one of them was given, and RunDict runs it (errors
// raise: DataError, vastrel::Exception, Btrexception). `owners` takes the owner name of the
// record file that check opens, with its ways in that other users cannot see.
CLI::App* AddDictVerb(CLI::App& app, const std::string& footer, OwnerNames& owners);
int RunDict();

// The dictionary of one ID as the JSON above. Raises DataError when the file is missing or
// holds nothing under the ID (the message names the IDs it holds).
automation::json::Value DictionaryJson(const std::string& ddf, const std::string& id);

// Raises DataError when the file is missing or holds no fields under the ID; for a load
// through the table, which finds neither case an error.
void RequireFields(const std::string& ddf, const std::string& id);

// Writes the dictionary of a JSON value (the form above, or an object with such a member
// "dictionary") under the ID, after the checks of `dict create`; `source` names the input
// in messages. Refuses an ID the file holds already unless `replace`. With `check_only` it
// refuses as it would, and writes nothing.
void CreateDictionary(const std::string& ddf, const std::string& id,
                      const automation::json::Value& value, const std::string& source, bool replace,
                      bool check_only = false);

}  // namespace vastrel::cli
