// vastrel dump: every record in key or physical order.
#include <cstdio>
#include <string>

#include "hosts/cli/errors.h"
#include "hosts/cli/progress.h"
#include "hosts/cli/record_reader.h"
#include "hosts/cli/record_text.h"
#include "hosts/cli/verbs.h"

namespace vastrel::cli {

using table::TBtr;

int Dump(const Options& o) {
  TBtr t;
  OpenForReading(t, o);
  int path = o.physical ? kPhysicalOrder : o.key.value_or(0);
  if (!o.key && !o.physical && t.NumberOfKeys() == 0) path = kPhysicalOrder;
  if (path != kPhysicalOrder && path >= t.NumberOfKeys()) {
    throw DataError("key " + std::to_string(path) + " does not exist: the file has " +
                    std::to_string(t.NumberOfKeys()) + " keys");
  }
  RecordWalk walk(t, path);
  uint64_t count = 0;
  Progress progress("dump", t.RecordCount());
  if (o.format == "csv") std::fputs("position,length,record\n", stdout);
  while (walk.Next()) {
    ++count;
    const int32_t position = walk.Position();
    std::string out;
    if (o.format == "hex") {
      out = "record " + std::to_string(count) + "  position " + std::to_string(position) +
            "  length " + std::to_string(walk.Length()) + "\n" +
            HexDump(walk.Data(), walk.Length(), "  ");
    } else if (o.format == "text") {
      out = std::to_string(position) + "\t" + PrintableText(walk.Data(), walk.Length()) + "\n";
    } else {
      out = std::to_string(position) + "," + std::to_string(walk.Length()) + "," +
            CsvField(walk.Data(), walk.Length()) + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    progress.Update(count);
  }
  progress.Clear();
  t.Close();
  std::fprintf(stderr, "%llu records\n", static_cast<unsigned long long>(count));
  return 0;
}

}  // namespace vastrel::cli
