#include "pages/legend.h"

#include <QCloseEvent>
#include <QGridLayout>

#include "pages/help_tree.h"

namespace vastrel::pages {
namespace {

constexpr const char* kTexts[] = {"Interface",
                                  "DispInterface",
                                  "Enumeration Type",
                                  "Record Type",
                                  "Method/Function",
                                  "Read Only Property (Get Function)",
                                  "Write Only Property (Put Procedure)"};
constexpr int kImages[] = {kIconInterface, kIconDispInterface, kIconEnum, kIconRecord,
                           kIconMethod,    kIconGet,           kIconPut};

}  // namespace

TfrmLegend::TfrmLegend(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint) {
  setWindowTitle(QStringLiteral("Legend"));
  auto* layout = new QGridLayout(this);
  for (int i = 0; i < 7; ++i) {
    Pictures[i] = new QLabel;
    Pictures[i]->setFixedSize(16, 16);
    Labels[i] = new QLabel(QString::fromLatin1(kTexts[i]));
    layout->addWidget(Pictures[i], i, 0);
    layout->addWidget(Labels[i], i, 1);
  }
  setFixedSize(217, 176);
}

void TfrmLegend::showEvent(QShowEvent* event) {
  if (images_)
    for (int i = 0; i < 7; ++i) Pictures[i]->setPixmap((*images_)[kImages[i]]);
  QWidget::showEvent(event);
}

void TfrmLegend::closeEvent(QCloseEvent* event) {
  Q_EMIT OnLegendClose();
  hide();
  event->ignore();
}

}  // namespace vastrel::pages
