// The component's general exception. Misuse of a table (a refused property write, a
// field access on a closed file) raises it directly; engine failures raise its subclass
// Btrexception (engine/). The automation boundary turns any of them into a failed call
// that carries what() as the message.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "platform/export.h"

namespace vastrel {

class VASTREL_API Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

}  // namespace vastrel
