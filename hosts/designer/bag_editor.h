// The designer's one job: a control's property bag file, edited in the property-sheet frame.
// The file on disk changes only when the user applies (Apply, or OK, which applies first);
// actions that change the control at once (Remove, Clear, Load Items) leave the file as it
// was until then, and Cancel leaves it unchanged. A failed write keeps the old file.
#pragma once

#include <QString>
#include <memory>

#include "automation/vastrel_impl.h"
#include "pages/property_sheet.h"

namespace vastrel::designer {

class BagEditor {
 public:
  // path: the bag file; a missing file stands for a new control.
  explicit BagEditor(QString path);
  ~BagEditor();

  // Reads the bag into the control. False with the reason in *error when the file cannot be
  // read or holds no valid bag.
  bool Load(QString* error);
  // Loads a bag given as text, for a control that has no file yet.
  bool LoadText(std::string_view json, QString* error);
  // The frame on the control, made on first use; its applies write the file.
  pages::PropertySheet& Sheet();
  automation::IVastrel* Control() const { return control_.get(); }
  // Why the last write failed; empty after a good one.
  QString WriteError() const { return write_error_; }

 private:
  bool Write();
  automation::TVastrel& Impl() const;

  QString path_;
  automation::ComPtr<automation::IVastrel> control_;
  std::unique_ptr<pages::PropertySheet> sheet_;
  QString write_error_;
};

}  // namespace vastrel::designer
