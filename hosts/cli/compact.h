// vastrel compact: a record file rewritten by the engine into its smallest form.
#pragma once

#include <string>

namespace vastrel::cli {

// Opens `path` (with `owner`, UTF-8, for a file that has an owner name), has the engine
// compact it, and reports on standard error its size before and after. Returns the exit code;
// an engine status that refuses (another client's transaction holding the file past the wait: 85)
// raises Btrexception.
int CompactFile(const std::string& path, const std::string& owner);

}  // namespace vastrel::cli
