// The exception of a failed engine call.
//
// Its message is the status text, a blank, the status in parentheses, a carriage return
// and the file name of the table that made the call:
//   "Key Not Found (4)\r/data/parts.dat"
// The table's engine call (TBtr::CallBtrieve) is the only place that raises it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/export.h"

namespace vastrel::engine {

class VASTREL_API Btrexception : public vastrel::Exception {
 public:
  Btrexception(int16_t status, std::string_view file_name);

  // The engine status that caused the failure, at its full signed 16-bit width.
  int16_t Status() const noexcept { return status_; }

  // The message for a status and a file name, as the constructor composes it.
  static std::string ComposeMessage(int16_t status, std::string_view file_name);

 private:
  int16_t status_;
};

}  // namespace vastrel::engine

namespace vastrel {
using engine::Btrexception;
}  // namespace vastrel
