#include "pages/icons.h"

#include <QPainter>
#include <functional>

#include "pages/help_tree.h"

namespace vastrel::pages {
namespace {

QPixmap Icon(const std::function<void(QPainter&)>& draw) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing, false);
  draw(p);
  return pixmap;
}

// A letter on a coloured square, the look of the type icons.
QPixmap Badge(QColor color, const char* letter) {
  return Icon([=](QPainter& p) {
    p.setPen(color.darker(150));
    p.setBrush(color);
    p.drawRect(1, 1, 13, 13);
    p.setPen(Qt::white);
    QFont font = p.font();
    font.setPixelSize(11);
    font.setBold(true);
    p.setFont(font);
    p.drawText(QRect(1, 1, 14, 14), Qt::AlignCenter, QString::fromLatin1(letter));
  });
}

std::vector<QPixmap> Build() {
  std::vector<QPixmap> list(12);
  list[kIconRoot] = Icon([](QPainter& p) {  // a closed book
    p.setPen(QColor(0, 0, 128));
    p.setBrush(QColor(0, 0, 160));
    p.drawRect(3, 1, 10, 13);
    p.setPen(Qt::white);
    p.drawLine(5, 4, 11, 4);
    p.drawLine(5, 6, 11, 6);
  });
  list[kIconMethod] = Icon([](QPainter& p) {  // a purple block
    p.setPen(QColor(96, 0, 96));
    p.setBrush(QColor(160, 32, 160));
    p.drawPolygon(QPolygon({QPoint(8, 2), QPoint(14, 6), QPoint(8, 10), QPoint(2, 6)}));
    p.setBrush(QColor(112, 16, 112));
    p.drawPolygon(QPolygon({QPoint(2, 6), QPoint(8, 10), QPoint(8, 14), QPoint(2, 10)}));
  });
  list[kIconUnused] = Icon([](QPainter&) {});
  list[kIconGet] = Icon([](QPainter& p) {  // a hand with an arrow leaving
    p.setPen(QColor(0, 96, 0));
    p.setBrush(QColor(0, 160, 0));
    p.drawRect(2, 5, 7, 6);
    p.drawPolygon(QPolygon({QPoint(9, 3), QPoint(14, 8), QPoint(9, 13)}));
  });
  list[kIconPut] = Icon([](QPainter& p) {  // an arrow coming in
    p.setPen(QColor(128, 64, 0));
    p.setBrush(QColor(224, 128, 0));
    p.drawRect(7, 5, 7, 6);
    p.drawPolygon(QPolygon({QPoint(7, 3), QPoint(2, 8), QPoint(7, 13)}));
  });
  list[kIconSelected] = Icon([](QPainter& p) {  // an open page
    p.setPen(Qt::black);
    p.setBrush(Qt::white);
    p.drawRect(3, 1, 10, 13);
    p.setPen(QColor(0, 0, 160));
    for (int y = 4; y <= 11; y += 2) p.drawLine(5, y, 11, y);
  });
  list[kIconInterface] = Badge(QColor(0, 112, 192), "I");
  list[kIconDispInterface] = Badge(QColor(0, 144, 144), "D");
  list[kIconEnum] = Badge(QColor(192, 128, 0), "E");
  list[kIconRecord] = Badge(QColor(128, 64, 160), "R");
  list[kIconEnumValue] = Icon([](QPainter& p) {
    p.setPen(QColor(160, 96, 0));
    p.setBrush(QColor(255, 192, 64));
    p.drawEllipse(4, 4, 8, 8);
  });
  list[kIconRecordField] = Icon([](QPainter& p) {
    p.setPen(QColor(96, 48, 128));
    p.setBrush(QColor(208, 176, 240));
    p.drawRect(3, 5, 10, 6);
  });
  return list;
}

}  // namespace

const std::vector<QPixmap>& HelpImageList() {
  static const std::vector<QPixmap> list = Build();
  return list;
}

QImage ControlGlyph() {
  // Three stacked records beside a key: the record file the control reaches.
  QImage image(32, 32, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  for (int i = 0; i < 3; ++i) {
    const int y = 4 + i * 8;
    p.setPen(QColor(0, 0, 128));
    p.setBrush(i == 1 ? QColor(255, 255, 0) : QColor(192, 192, 192));
    p.drawRect(2, y, 20, 6);
    p.setPen(QColor(0, 0, 0));
    p.drawLine(5, y + 3, 18, y + 3);
  }
  p.setPen(QColor(128, 0, 0));
  p.setBrush(QColor(255, 0, 0));
  p.drawEllipse(22, 4, 7, 7);
  p.drawRect(25, 11, 2, 15);
  p.drawRect(27, 20, 3, 2);
  p.drawRect(27, 24, 3, 2);
  p.end();
  // Sixteen colours at most, as the glyph of the control always had.
  return image.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither)
      .convertToFormat(QImage::Format_ARGB32);
}

}  // namespace vastrel::pages
