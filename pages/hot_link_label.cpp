#include "pages/hot_link_label.h"

#include <QMouseEvent>

#include "pages/services.h"

namespace vastrel::pages {
namespace {

// The prefixes of the nine scheme types, in the order of TLinkType.
constexpr const char* kPrefixes[] = {
    "http://", "mailto:", "ftp://", "https://", "news:", "telnet:", "wais:", "gopher:", "file://"};
constexpr int kSchemes = 9;

}  // namespace

THotLinkLabel::THotLinkLabel(QWidget* parent) : QLabel(parent) {
  destination_ = QStringLiteral("support@vastrel.example");
  setText(QStringLiteral("Send a mail to %1").arg(destination_));
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
  setCursor(Qt::PointingHandCursor);
  Paint(color_);
}

void THotLinkLabel::SetLinkType(TLinkType type) {
  if (type == type_) return;
  type_ = type;
  const int i = static_cast<int>(type);
  if (i < kSchemes) {
    protocol_ = QString::fromLatin1(kPrefixes[i]);
  } else if (type == TLinkType::ltNone) {
    protocol_.clear();
    destination_.clear();
  }
}

void THotLinkLabel::SetLinkProtocol(const QString& protocol) {
  if (protocol == protocol_) return;
  protocol_ = protocol.toLower();
  for (int i = 0; i < kSchemes; ++i) {
    if (protocol_ == QLatin1String(kPrefixes[i])) {
      type_ = static_cast<TLinkType>(i);
      return;
    }
  }
  type_ = protocol_.isEmpty() ? TLinkType::ltNone : TLinkType::ltCUSTOM;
}

void THotLinkLabel::SetLinkDestination(const QString& destination) {
  if (destination == destination_) return;
  destination_ = destination.toLower();
  for (int i = 0; i < kSchemes; ++i) {
    const QLatin1String prefix(kPrefixes[i]);
    if (destination_.startsWith(prefix)) {
      destination_ = destination_.mid(prefix.size());
      type_ = static_cast<TLinkType>(i);
      protocol_ = prefix;
      return;
    }
  }
  if (destination_.isEmpty()) {
    type_ = TLinkType::ltNone;
    protocol_.clear();
  }
}

void THotLinkLabel::SetLinkColor(const QColor& color) {
  if (color == color_) return;
  color_ = color;
  Paint(color_);
}

void THotLinkLabel::Paint(const QColor& color) {
  QPalette p = palette();
  p.setColor(QPalette::WindowText, color);
  setPalette(p);
  update();
}

void THotLinkLabel::enterEvent(QEnterEvent* event) {
  Paint(LinkColorMouseMove);
  if (LinkMagnet && !grown_) {
    setGeometry(geometry().adjusted(-1, -1, 0, 0));
    grown_ = true;
  }
  if (LinkSound) CurrentServices().PlaySound(QStringLiteral("MenuCommand"));
  QLabel::enterEvent(event);
}

void THotLinkLabel::leaveEvent(QEvent* event) {
  Paint(color_);
  if (grown_) {
    setGeometry(geometry().adjusted(1, 1, 0, 0));
    grown_ = false;
  }
  QLabel::leaveEvent(event);
}

void THotLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    if (LinkSound) CurrentServices().PlaySound(QStringLiteral("MenuPopup"));
    if (type_ != TLinkType::ltNone) CurrentServices().OpenUrl(protocol_ + destination_);
    Q_EMIT Clicked();
  }
  QLabel::mouseReleaseEvent(event);
}

}  // namespace vastrel::pages
