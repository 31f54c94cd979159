// The help page's reference tree: a fixed reference of the control's automation types and
// members, 270 nodes on three levels, each with its text, icon, selected icon and help text.
// A node's index counts from 0 at the root in top-down order, children straight after their
// parent; enumeration values and record fields have an empty help text.
#pragma once

#include <QLabel>
#include <QString>
#include <vector>

#include "pages/export.h"

namespace vastrel::pages {

// Icon indexes of the help page's image list.
enum HelpIcon {
  kIconRoot = 0,
  kIconMethod = 1,
  kIconUnused = 2,
  kIconGet = 3,
  kIconPut = 4,
  kIconSelected = 5,
  kIconInterface = 6,
  kIconDispInterface = 7,
  kIconEnum = 8,
  kIconRecord = 9,
  kIconEnumValue = 10,
  kIconRecordField = 11,
};

struct HelpNode {
  QString text;
  int icon;
  int selected_icon;
  int depth;   // 0 for the root
  int parent;  // -1 for the root
  QString help;
};

// Fills a date line whose text holds three "%d": month, day and year of the date the
// reference was last brought up to date (20 July 2000), so that it reads 7-20-2000.
VASTREL_PAGES_API void FillDateLine(QLabel* label);

// Every node of the tree, in index order.
VASTREL_PAGES_API const std::vector<HelpNode>& HelpTree();

}  // namespace vastrel::pages
