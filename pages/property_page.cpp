#include "pages/property_page.h"

namespace vastrel::pages {

void PropertyPage::SetDirty(bool dirty) {
  if (dirty_ == dirty) return;
  dirty_ = dirty;
  Q_EMIT DirtyChanged(dirty);
}

}  // namespace vastrel::pages
