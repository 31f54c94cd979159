// vastrel describe: the file's description as JSON, the input of create.
#include <cstdio>

#include "hosts/cli/description.h"
#include "hosts/cli/dict_verb.h"
#include "hosts/cli/verbs.h"

namespace vastrel::cli {

using table::TBtr;

int Describe(const Options& o) {
  TBtr t;
  OpenForReading(t, o);
  json::Value description = DescriptionOf(t);
  if (!o.dict.empty()) description.AsObject().Set("dictionary", DictionaryJson(o.dict, o.dict_id));
  std::fputs(json::Write(description).c_str(), stdout);
  std::fputs("\n", stdout);
  t.Close();
  return 0;
}

}  // namespace vastrel::cli
