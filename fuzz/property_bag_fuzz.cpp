// Fuzz target for the property bag reader: any bytes either load as a bag or raise
// vastrel::Exception, never read past the input; a bag that loads is applied to a fresh
// table, saved, and the saved text loads into a second table that saves the very same text.
// No engine stands behind the tables (every call answers status 20), so a bag with Active
// true tries its open and fails without touching any file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "automation/persistence.h"
#include "binding/btrexception.h"
#include "binding/engine.h"
#include "platform/error.h"

namespace {

extern "C" int16_t Inactive(uint16_t, void*, void*, uint32_t*, void*, uint8_t, int8_t) {
  return 20;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool stand_in = [] {
    vastrel::engine::ModuleStartWith(Inactive, nullptr);
    return true;
  }();
  (void)stand_in;
  using namespace vastrel::automation;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vastrel::table::TBtr first;
  try {
    const PropertyBag bag = ParsePropertyBag(text);
    try {
      ApplyPropertyBag(bag, first);
    } catch (const vastrel::Btrexception&) {
      // Active was stored true: the open failed, and the table holds the rest.
    }
  } catch (const vastrel::Btrexception&) {
    std::abort();  // parsing makes no engine call
  } catch (const vastrel::Exception&) {
    return 0;
  }
  if (first.Active() || first.Loading()) std::abort();
  const std::string saved = SaveProperties(first);
  vastrel::table::TBtr second;
  try {
    LoadProperties(second, saved);
  } catch (const vastrel::Exception&) {
    std::abort();  // what was saved must load
  }
  if (SaveProperties(second) != saved) std::abort();
  return 0;
}
