// What several verbs share: see verbs.h.
#include "hosts/cli/verbs.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "hosts/cli/dict_verb.h"
#include "hosts/cli/errors.h"
#include "platform/locale.h"

namespace vastrel::cli {

using table::TBtr;

void OpenForReading(TBtr& t, const Options& o) {
  t.SetFileName(platform::FileNameFromPath(o.operands[0]));
  t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
  t.SetOpenMode(table::bomReadOnly);
  t.Open();
}

CodePage PageOf(const Options& o) {
  // The option's check has let only known names through.
  return *CodePageNamed(o.code_page);
}

void LoadDictionary(TBtr& t, const Options& o) {
  RequireFields(o.dict, o.dict_id);  // a missing file or ID is named, not taken as empty
  t.DDFFields().LoadItems(o.dict, o.dict_id);
  if (t.DDFFields().Count() == 0) {
    throw DataError(o.dict + ": no fields under the ID \"" + o.dict_id + "\"");
  }
}

std::string FormatOf(const Options& o, const std::string& name) {
  if (o.format == "csv" || o.format == "jsonl") return o.format;
  const std::string ext = std::filesystem::path(name).extension().string();
  return ext == ".jsonl" || ext == ".json" ? "jsonl" : "csv";
}

std::ifstream OpenInput(const std::string& name, uint64_t* size) {
  std::ifstream in(name, std::ios::binary);
  if (!in) throw DataError("cannot read " + name + ": " + std::strerror(errno));
  std::error_code ec;
  *size = std::filesystem::file_size(name, ec);
  return in;
}

}  // namespace vastrel::cli
