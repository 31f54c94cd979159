// TFlagProps, the file-flag page: twelve boxes bound to the members of the control's
// FileFlags record. The flags live only in the boxes until the page applies.
#pragma once

#include <QCheckBox>
#include <array>

#include "pages/property_page.h"

namespace vastrel::pages {

class VASTREL_PAGES_API TFlagProps : public PropertyPage {
  Q_OBJECT
 public:
  explicit TFlagProps(QWidget* parent = nullptr);

  void UpdatePropertyPage() override;
  bool UpdateObject() override;

  // The boxes in the order of their columns: the left six, then the right six.
  static constexpr int kBoxes = 12;
  std::array<QCheckBox*, kBoxes> Boxes{};
  // The box bound to a member such as "ffUseVATs"; null for another name.
  QCheckBox* Box(const char* member) const;
};

}  // namespace vastrel::pages
