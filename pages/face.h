// TBtrFace: the control's face, the widget a Qt host places for the control, 32 x 32 when
// created. It paints a purple rectangle and the control's glyph stretched over what is
// being painted, and paints again whenever it moves.
#pragma once

#include <QImage>
#include <QWidget>

#include "pages/export.h"

namespace vastrel::pages {

class VASTREL_PAGES_API TBtrFace : public QWidget {
  Q_OBJECT
 public:
  explicit TBtrFace(QWidget* parent = nullptr);
  QSize sizeHint() const override { return QSize(32, 32); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

 private:
  QImage glyph_;
};

}  // namespace vastrel::pages
