// Fuzz target for the salvage of records from a record file's raw pages: any bytes, read as
// a data file, never make the reader leave them (the sanitizers watch every page, node and
// overflow run it follows), and what it hands back is one record per position, in order,
// none longer than the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "mkde/salvage.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so that a read past the end is caught.
  std::unique_ptr<uint8_t[]> file(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(file.get(), data, size);
  const mkde::PageReader read = [&](uint64_t offset, size_t n, uint8_t* out) {
    if (offset > size || n > size - offset) return false;
    std::memcpy(out, file.get() + offset, n);
    return true;
  };
  mkde::SalvageReport report;
  std::string reason;
  // No owner name: an owner record in the input is refused before any costly derivation.
  if (mkde::SalvageRecords(read, size, "", &report, &reason) != mkde::SalvageResult::kOk) {
    Check(!reason.empty());
    return 0;
  }
  for (size_t i = 0; i < report.records.size(); ++i) {
    Check(report.records[i].position != 0 && report.records[i].bytes.size() < size);
    Check(i == 0 || report.records[i - 1].position < report.records[i].position);
  }
  return 0;
}
