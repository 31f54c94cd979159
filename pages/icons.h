// The pictures the pages draw: the help page's image list of twelve 16 x 16 icons (indexed
// as HelpIcon says) and the control's 32 x 32 glyph, a 16-colour picture of a record file.
#pragma once

#include <QImage>
#include <QPixmap>
#include <vector>

#include "pages/export.h"

namespace vastrel::pages {

VASTREL_PAGES_API const std::vector<QPixmap>& HelpImageList();
VASTREL_PAGES_API QImage ControlGlyph();

}  // namespace vastrel::pages
