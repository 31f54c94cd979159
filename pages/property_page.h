// The property pages, as the frame (property_sheet.h) hosts them.
//
// A page edits the control it was handed through IVastrel. The frame calls
// UpdatePropertyPage when the page is shown and UpdateObject when the user applies; between
// the two the page may act on the control's collection objects at once, as each page says.
// A page marks itself dirty when it holds unapplied changes; the frame then enables Apply.
#pragma once

#include <QWidget>

#include "automation/vastrel_tlb.h"
#include "pages/control_calls.h"
#include "pages/export.h"

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

}  // namespace vastrel::pages
