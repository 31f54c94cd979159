#include "binding/btrexception.h"

#include "binding/engine.h"

namespace vastrel::engine {

std::string Btrexception::ComposeMessage(int16_t status, std::string_view file_name) {
  std::string message = StatusText(status);
  message += " (";
  message += std::to_string(status);
  message += ")\r";
  message += file_name;
  return message;
}

Btrexception::Btrexception(int16_t status, std::string_view file_name)
    : Exception(ComposeMessage(status, file_name)), status_(status) {}

}  // namespace vastrel::engine
