// The property-sheet frame that hosts the control's property pages.
#pragma once

#include <QDialog>
#include <vector>

#include "automation/vastrel_tlb.h"
#include "pages/control_calls.h"
#include "pages/export.h"
#include "pages/property_page.h"

class QTabWidget;
class QPushButton;

namespace vastrel::pages {

// The property-sheet frame: one tab per page in the control's order (key page, file-flag
// page, help page, data dictionary page), and OK, Cancel and Apply. A page's dirty mark
// enables Apply; Apply and OK run UpdateObject on every dirty page, and OK closes only when
// every page wrote. Applied() follows every apply that wrote something.
class VASTREL_PAGES_API PropertySheet : public QDialog {
  Q_OBJECT
 public:
  // The frame holds a reference on control while it lives.
  explicit PropertySheet(automation::IVastrel* control, QWidget* parent = nullptr);
  ~PropertySheet() override;

  const std::vector<PropertyPage*>& Pages() const { return pages_; }
  QTabWidget* Tabs() const { return tabs_; }
  QPushButton* ApplyButton() const { return apply_; }
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }
  // Applies every dirty page; false when a page refused.
  bool Apply();

 Q_SIGNALS:
  void Applied();

 private:
  void PageShown(int index);
  void UpdateApply();

  ComPtr<automation::IVastrel> control_;
  QTabWidget* tabs_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QPushButton* apply_;
  std::vector<PropertyPage*> pages_;
};

}  // namespace vastrel::pages
