#include "pages/face.h"

#include <QPaintEvent>
#include <QPainter>

#include "pages/icons.h"

namespace vastrel::pages {

TBtrFace::TBtrFace(QWidget* parent) : QWidget(parent), glyph_(ControlGlyph()) { resize(32, 32); }

void TBtrFace::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  const QRect clip = event->rect();
  p.setPen(Qt::black);
  p.setBrush(QColor(128, 0, 128));
  p.drawRect(clip.adjusted(0, 0, -1, -1));
  p.drawImage(clip, glyph_);
}

void TBtrFace::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  update();
}

}  // namespace vastrel::pages
