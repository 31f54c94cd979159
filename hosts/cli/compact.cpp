// vastrel compact: see compact.h.
#include "hosts/cli/compact.h"

#include <cstdint>
#include <cstdio>

#include "platform/locale.h"
#include "table/btr.h"

namespace vastrel::cli {

namespace {

// The engine's own operation that rewrites a file into its smallest form (its interface,
// enginecore/include/wbtrv32.h, documents it).
constexpr uint16_t kOpCompact = 98;

}  // namespace

int CompactFile(const std::string& path, const std::string& owner) {
  table::TBtr t;
  t.SetFileName(platform::FileNameFromPath(path));
  t.SetDbOwner(platform::Utf8ToSingleByte(owner));
  t.Open();
  const auto before = t.StorageFigures();
  t.CallBtrieve(kOpCompact);
  const auto after = t.StorageFigures();
  t.Close();
  if (before && after) {
    std::fprintf(stderr, "compacted %s: %llu bytes, %llu before\n", path.c_str(),
                 static_cast<unsigned long long>((*after)[0]),
                 static_cast<unsigned long long>((*before)[0]));
  } else {
    std::fprintf(stderr, "compacted %s\n", path.c_str());
  }
  return 0;
}

}  // namespace vastrel::cli
