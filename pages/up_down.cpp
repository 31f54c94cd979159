#include "pages/up_down.h"

#include <QVBoxLayout>
#include <algorithm>

namespace vastrel::pages {

UpDown::UpDown(QWidget* parent) : QWidget(parent) {
  UpButton = new QToolButton(this);
  DownButton = new QToolButton(this);
  UpButton->setArrowType(Qt::UpArrow);
  DownButton->setArrowType(Qt::DownArrow);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (QToolButton* b : {UpButton, DownButton}) {
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    b->setMinimumSize(8, 4);
    b->setFocusPolicy(Qt::NoFocus);
    b->setAutoRepeat(true);
    layout->addWidget(b);
  }
  connect(UpButton, &QToolButton::clicked, this, [this] { Step(1); });
  connect(DownButton, &QToolButton::clicked, this, [this] { Step(-1); });
}

void UpDown::SetPosition(int position) { position_ = std::clamp(position, low_, high_); }

void UpDown::SetRange(int low, int high) {
  low_ = low;
  high_ = high;
  SetPosition(position_);
}

void UpDown::Step(int delta) {
  const int next = position_ + delta;
  if (next < low_ || next > high_) return;
  if (Changing && !Changing(next)) return;
  position_ = next;
  Q_EMIT Clicked();
}

}  // namespace vastrel::pages
