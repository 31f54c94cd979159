#include "pages/about_box.h"

#include <QApplication>
#include <QFrame>
#include <QGridLayout>
#include <QThread>
#include <QVBoxLayout>

#include "automation/vastrel_impl.h"
#include "pages/help_tree.h"
#include "pages/icons.h"
#include "pages/services.h"
#include "platform/error.h"

namespace vastrel::pages {

TVastrelAbout::TVastrelAbout(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  Picture = new QLabel;
  Picture->setFixedSize(32, 32);
  ProductName = new QLabel(QStringLiteral("Vastrel ActiveX Control"));
  QFont bold = ProductName->font();
  bold.setBold(true);
  ProductName->setFont(bold);
  Description = new QLabel(QStringLiteral("Record File Access via the Engine"));
  Description->setWordWrap(true);
  DateLbl = new QLabel(QStringLiteral("Last modification: %d-%d-%d"));
  Notice = new QLabel(QStringLiteral("Made by the Vastrel developers.\nFree to use and to share."));
  SupportLink = new THotLinkLabel;
  SupportLink->SetLinkType(TLinkType::ltMAILTO);
  SupportLink->SetLinkDestination(QStringLiteral("support@vastrel.example"));
  SupportLink->setText(QStringLiteral("Write to support"));
  UpdateLink = new THotLinkLabel;
  UpdateLink->SetLinkType(TLinkType::ltHTTP);
  UpdateLink->SetLinkDestination(QStringLiteral("vastrel.example/updates"));
  UpdateLink->setText(QStringLiteral("Look for updates"));
  OKButton = new QPushButton(QStringLiteral("OK"));
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

  auto* frame = new QFrame;
  frame->setFrameShape(QFrame::StyledPanel);
  frame->setFrameShadow(QFrame::Sunken);
  auto* inside = new QGridLayout(frame);
  inside->setContentsMargins(6, 4, 6, 4);
  inside->setVerticalSpacing(2);
  inside->addWidget(DateLbl, 0, 0, 1, 2);
  inside->addWidget(Notice, 1, 0, 1, 2);
  inside->addWidget(SupportLink, 2, 0);
  inside->addWidget(UpdateLink, 2, 1);

  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  layout->setVerticalSpacing(4);
  layout->addWidget(Picture, 0, 0, 2, 1, Qt::AlignTop);
  layout->addWidget(ProductName, 0, 1);
  layout->addWidget(Description, 1, 1);
  layout->addWidget(frame, 2, 0, 1, 2);
  layout->addWidget(OKButton, 3, 0, 1, 2, Qt::AlignCenter);

  FillDateLine(DateLbl);
  Picture->setPixmap(QPixmap::fromImage(ControlGlyph()));
  setFixedSize(263, 190);
}

namespace {

// AboutBox on a control: the about box, modally. Without a widget application on this
// thread there is nothing to show it on, and the call fails saying so.
void ShowAboutBox(automation::TVastrel&) {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app) throw Exception("The about box needs a Qt widget application; none is running");
  if (QThread::currentThread() != app->thread())
    throw Exception("The about box can only be shown on the user-interface thread");
  TVastrelAbout box;
  CurrentServices().RunDialog(box);
}

struct AboutBoxHook {
  AboutBoxHook() { automation::TVastrel::SetAboutBoxHandler(&ShowAboutBox); }
  ~AboutBoxHook() { automation::TVastrel::SetAboutBoxHandler(nullptr); }
} g_about_box_hook;

}  // namespace

}  // namespace vastrel::pages
