// TVastrelAbout, the about box that the control's AboutBox shows, and the hook that makes
// AboutBox show it: loading this library installs it, unloading removes it.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "pages/export.h"
#include "pages/hot_link_label.h"

namespace vastrel::pages {

class VASTREL_PAGES_API TVastrelAbout : public QDialog {
  Q_OBJECT
 public:
  explicit TVastrelAbout(QWidget* parent = nullptr);

  QLabel* Picture;
  QLabel* ProductName;
  QLabel* Description;
  QLabel* DateLbl;
  QLabel* Notice;
  THotLinkLabel* SupportLink;
  THotLinkLabel* UpdateLink;
  QPushButton* OKButton;
};

}  // namespace vastrel::pages
