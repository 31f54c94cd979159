// How the tool words its failures: its own refusals, and the engine's statuses with a hint
// for the ones a person meets most.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "binding/btrexception.h"
#include "platform/error.h"

namespace vastrel::cli {

// A file or its data is not as the command needs it: exit code 1. The message is the
// tool's own words, in UTF-8.
class DataError : public Exception {
 public:
  using Exception::Exception;
};

// An engine message ("File Not Found (12)" + carriage return + file name, single-byte text)
// as one line of UTF-8: "File Not Found (12): /data/parts.dat". Other messages are only
// converted.
std::string EngineText(std::string_view message);

// What most often lies behind a status, for the file it names (UTF-8): a missing folder, a
// folder that cannot be written, a file in use, a wrong owner name. Empty when there is
// nothing to add.
std::string HintFor(int16_t status, const std::string& file);

// The failure as the tool prints it after "vastrel: ": the engine text, and on a line of its
// own, indented, the hint when there is one.
std::string FailureText(const Btrexception& e);

}  // namespace vastrel::cli
