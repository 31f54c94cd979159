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
  // The window keeps its small size; the texts take a small font to fit it.
  QFont small = font();
  small.setPixelSize(10);
  setFont(small);
  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(4, 6, 2, 6);
  layout->setHorizontalSpacing(6);
  layout->setVerticalSpacing(4);
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
