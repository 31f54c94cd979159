// Notices: what the engine met and went on without (a shared table it would not use, ...),
// kept for the host to read through BTRNOTICES, since the library never prints. Each text is
// kept once per process, and only the first few are kept.
#pragma once

#include <string>

namespace mkde {

void Notice(const std::string& text);

}  // namespace mkde
