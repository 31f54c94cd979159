// Fuzz target for the tool's shell: a script of lines run by RunShell against a stand-in
// engine made of the input (the file's description, so that typed key values meet keys of
// every type and length, a record, the statuses of the calls). Each line is split into
// words, its operation named or numbered, its settings (key, kb, db, len) read, the call
// made and its buffers shown.
//
// Must hold: every line is run or refused with vastrel::Exception; no buffer is read or
// written past its end, whatever the key buffer, data buffer and lengths the lines give.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz/stand_in_engine.h"
#include "hosts/cli/shell.h"
#include "table/btr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_stand_in::Install();
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  auto take = [&](size_t n) {
    n = std::min(n, rest.size());
    const std::string_view out = rest.substr(0, n);
    rest.remove_prefix(n);
    return out;
  };
  auto byte = [&]() -> uint8_t { return rest.empty() ? 0 : static_cast<uint8_t>(take(1)[0]); };
  const std::string_view create = take(byte());
  const std::string_view record = take(byte() * 8u);
  const std::string_view statuses = take(byte() % 16);
  fuzz_stand_in::Reset(create, record, statuses);

  vastrel::table::TBtr t;
  t.SetFileName("fuzz.dat");
  std::istringstream script{std::string(rest)};
  std::ostringstream out;
  vastrel::cli::RunShell(t, script, out);
  return 0;
}
