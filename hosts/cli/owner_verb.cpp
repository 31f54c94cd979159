// vastrel owner set|clear: a file's owner name given, changed or removed.
#include "hosts/cli/verbs.h"
#include "platform/locale.h"

namespace vastrel::cli {

using table::TBtr;

int OwnerSet(const Options& o) {
  TBtr t;
  t.SetFileName(platform::FileNameFromPath(o.operands[0]));
  t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
  t.Open();
  t.SetOwnerProtection(static_cast<table::TOwnerProtection>(o.level));
  if (!o.owner.empty()) t.clearowner();
  t.SetDbOwner("");
  t.SetDbOwner(platform::Utf8ToSingleByte(o.new_owner));
  t.Close();
  return 0;
}

int OwnerClear(const Options& o) {
  TBtr t;
  t.SetFileName(platform::FileNameFromPath(o.operands[0]));
  t.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
  t.Open();
  t.clearowner();
  t.Close();
  return 0;
}

}  // namespace vastrel::cli
