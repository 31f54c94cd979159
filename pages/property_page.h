// The property pages and the frame that hosts them.
//
// A page edits the control it was handed through IVastrel. The frame calls
// UpdatePropertyPage when the page is shown and UpdateObject when the user applies; between
// the two the page may act on the control's collection objects at once, as each page says.
// A page marks itself dirty when it holds unapplied changes; the frame then enables Apply.
#pragma once

#include <QDialog>
#include <QWidget>
#include <vector>

#include "automation/vastrel_tlb.h"
#include "pages/control_calls.h"
#include "pages/export.h"

class QTabWidget;
class QPushButton;

namespace vastrel::pages {

class VASTREL_PAGES_API PropertyPage : public QWidget {
  Q_OBJECT
 public:
  explicit PropertyPage(QWidget* parent = nullptr) : QWidget(parent) {}
  // The control the page edits (borrowed for the page's life by the frame).
  void SetObject(automation::IVastrel* control) {
    control_ = ComPtr<automation::IVastrel>(control);
  }
  automation::IVastrel* Control() const { return control_.get(); }

  // Reads the control into the page.
  virtual void UpdatePropertyPage() = 0;
  // Writes the page into the control. False when the page refused to write (it has told
  // the user why); the page then stays dirty.
  virtual bool UpdateObject() = 0;

  bool IsDirty() const { return dirty_; }
  void SetDirty(bool dirty);
  // Marks the page dirty, the explicit mark after an action.
  void MarkDirty() { SetDirty(true); }

 Q_SIGNALS:
  void DirtyChanged(bool dirty);

 protected:
  // A value changed in one of the page's controls: marks the page dirty unless the page is
  // itself putting values into its controls.
  void Changed() {
    if (!filling_) MarkDirty();
  }
  // Set while the page fills its controls from the control.
  bool filling_ = false;

 private:
  ComPtr<automation::IVastrel> control_;
  bool dirty_ = false;
};

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
