// vastrel create: a new record file from a description.
#include <filesystem>
#include <string>

#include "hosts/cli/description.h"
#include "hosts/cli/dict_verb.h"
#include "hosts/cli/errors.h"
#include "hosts/cli/verbs.h"
#include "hosts/common/bounded_read.h"
#include "platform/locale.h"

namespace vastrel::cli {

using table::TBtr;

namespace {

// A description file, read whole up to its limit.
std::string ReadDescription(const std::string& name) {
  std::string text, why;
  if (!ReadWholeFile(name, kMaxDescriptionBytes, &text, &why)) {
    throw DataError("cannot read the description " + name + ": " + why);
  }
  return text;
}

}  // namespace

int Create(const Options& o) {
  const std::string& file = o.operands[0];
  json::Value description;
  try {
    description = json::Parse(ReadDescription(o.operands[1]));
  } catch (const json::ParseError& e) {
    throw DataError(o.operands[1] + ": " + e.what());
  }
  if (std::filesystem::exists(file)) throw DataError(file + " already exists");
  TBtr t;
  t.SetFileName(platform::FileNameFromPath(file));
  ApplyDescription(t, description, o.operands[1]);
  // The description's dictionary is checked before anything is made, and stored after.
  if (!o.dict.empty()) CreateDictionary(o.dict, o.dict_id, description, o.operands[1], false, true);
  t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
  t.SetOwnerProtection(static_cast<table::TOwnerProtection>(o.level));
  t.CreateFile();
  if (t.Active()) t.Close();
  if (!o.dict.empty()) CreateDictionary(o.dict, o.dict_id, description, o.operands[1], false);
  return 0;
}

}  // namespace vastrel::cli
