// vastrel copy: a new file of the same description with every record.
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "hosts/cli/batch_writer.h"
#include "hosts/cli/description.h"
#include "hosts/cli/errors.h"
#include "hosts/cli/progress.h"
#include "hosts/cli/record_reader.h"
#include "hosts/cli/verbs.h"
#include "platform/locale.h"

namespace vastrel::cli {

using table::TBtr;

int Copy(const Options& o) {
  TBtr src;
  OpenForReading(src, o);
  const std::string& dst_name = o.operands[1];
  if (std::filesystem::exists(dst_name)) throw DataError(dst_name + " already exists");
  TBtr dst;
  dst.SetFileName(platform::FileNameFromPath(dst_name));
  ApplyDescription(dst, DescriptionOf(src), o.operands[0]);
  dst.SetDbOwner(platform::Utf8ToSingleByte(o.new_owner));
  dst.SetOwnerProtection(static_cast<table::TOwnerProtection>(o.level));
  dst.CreateFile();
  if (!dst.Active()) dst.Open();
  uint64_t count = 0;
  {
    BatchWriter writer(dst, o.batch, "copied");
    RecordWalk walk(src, kPhysicalOrder);
    Progress progress("copy", src.RecordCount());
    while (walk.Next()) {
      dst.SetDataBufferLength(static_cast<int32_t>(walk.Length()));
      std::memcpy(dst.DataBuffer(), walk.Data(), walk.Length());
      writer.Insert(walk.Length());
      progress.Update(++count);
    }
    writer.Finish();
  }
  dst.Close();
  src.Close();
  std::fprintf(stderr, "copied %llu records\n", static_cast<unsigned long long>(count));
  return 0;
}

}  // namespace vastrel::cli
