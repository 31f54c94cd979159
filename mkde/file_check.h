// Checks of a record file's bytes that the engine makes before LMDB reads them.
#pragma once

#include <string>

#include "enginecore/status.h"

namespace mkde {

// Checks LMDB's two meta pages of the file at `path` against the file's size and against
// each other, before LMDB maps the file and walks from them: a meta page that names pages
// past the file's end, or a tree root outside the pages in use, would have LMDB read past
// the end of its map. Returns 0; 30 when the first page is no LMDB meta page at all; 2 when
// the file is truncated or a meta page is damaged (with `reason` saying which).
Status CheckMetaPages(const std::string& path, std::string* reason = nullptr);

}  // namespace mkde
