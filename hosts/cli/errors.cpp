#include "hosts/cli/errors.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "binding/engine.h"
#include "enginecore/include/wbtrv32.h"
#include "platform/locale.h"

namespace vastrel::cli {
namespace {

namespace fs = std::filesystem;

// The file name an engine message carries after its carriage return; empty when none.
std::string FileOf(std::string_view message) {
  const size_t cr = message.find('\r');
  return cr == std::string_view::npos ? std::string()
                                      : platform::SingleByteToUtf8(message.substr(cr + 1));
}

// The folder a file name lies in: "." for a bare name.
fs::path FolderOf(const std::string& file) {
  const fs::path parent = fs::path(file).parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

}  // namespace

std::string EngineText(std::string_view message) {
  std::string out = platform::SingleByteToUtf8(message);
  if (const size_t cr = out.find('\r'); cr != std::string::npos) out.replace(cr, 1, ": ");
  return out;
}

std::string HintFor(int16_t status, const std::string& file) {
  constexpr int16_t kDirectoryError = 35;  // Directory Error, which the C header does not name
  if (file.empty()) return {};
  const fs::path folder = FolderOf(file);
  std::error_code ec;
  switch (status) {
    case BTR_FILE_NOT_FOUND:
    case BTR_CANNOT_CREATE:
    case kDirectoryError:
    case BTR_ACCESS_DENIED:
    case BTR_PERMISSION: {
      // The server engine's file names are names in its catalog, not paths of this machine.
      const std::string engine =
          fs::path(engine::CurrentEngineState().library_path).filename().string();
      if (engine.rfind("libwbtrv32pg", 0) == 0) return {};
      const bool there = fs::exists(folder, ec);
      if (ec) return {};  // the folder cannot even be looked for: nothing sure to say
      if (!there) return "the folder " + folder.string() + " does not exist";
      if (!fs::is_directory(folder, ec)) return folder.string() + " is not a folder";
      if (status == BTR_FILE_NOT_FOUND) return {};
      if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "this user may not write in the folder " + folder.string();
      if (fs::exists(file, ec) && ::access(file.c_str(), R_OK | W_OK) != 0)
        return "this user may not read and write the file";
      return {};
    }
    case BTR_INVALID_OWNER:
      return "the file has an owner name, and it was not given or is another: --owner NAME "
             "gives it";
    case BTR_RECORD_IN_USE:
      return "another program holds a lock on the record; try again once it is done";
    case BTR_FILE_IN_USE:
    case BTR_INCOMPATIBLE_MODE:
      return "another program has the file open in a way that excludes this use (exclusively, "
             "or in a transaction); try again once it is done";
    default:
      return {};
  }
}

std::string FailureText(const Btrexception& e) {
  std::string out = EngineText(e.what());
  const std::string hint = HintFor(e.Status(), FileOf(e.what()));
  if (!hint.empty()) out += "\n  " + hint;
  return out;
}

}  // namespace vastrel::cli
