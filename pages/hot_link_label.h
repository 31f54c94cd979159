// THotLinkLabel: a text label that opens a link through the desktop when clicked. The link
// is LinkProtocol followed by LinkDestination; the type, protocol and destination keep each
// other consistent as their setters say.
#pragma once

#include <QColor>
#include <QLabel>

#include "pages/export.h"

namespace vastrel::pages {

enum class TLinkType {
  ltHTTP,
  ltMAILTO,
  ltFTP,
  ltHTTPS,
  ltNews,
  ltTELNET,
  ltWAIS,
  ltGOPHER,
  ltFILE,
  ltCUSTOM,  // a prefix of the user's own
  ltNone,    // no link
};

class VASTREL_PAGES_API THotLinkLabel : public QLabel {
  Q_OBJECT
 public:
  explicit THotLinkLabel(QWidget* parent = nullptr);

  TLinkType LinkType() const { return type_; }
  // A scheme type also sets its prefix; ltNone clears prefix and destination; ltCUSTOM
  // changes neither.
  void SetLinkType(TLinkType type);
  QString LinkProtocol() const { return protocol_; }
  // Stored in lower case; the type follows the prefix (ltCUSTOM for an unknown one, ltNone
  // for none).
  void SetLinkProtocol(const QString& protocol);
  QString LinkDestination() const { return destination_; }
  // Stored in lower case; a known prefix at its start is cut off and sets type and
  // protocol; an empty destination makes the label ltNone.
  void SetLinkDestination(const QString& destination);
  QColor LinkColor() const { return color_; }
  void SetLinkColor(const QColor& color);

  QColor LinkColorMouseMove = Qt::red;
  bool LinkMagnet = true;
  bool LinkSound = true;

 Q_SIGNALS:
  void Clicked();

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void Paint(const QColor& color);
  TLinkType type_ = TLinkType::ltMAILTO;
  QString protocol_ = QStringLiteral("mailto:");
  QString destination_;
  QColor color_ = Qt::blue;
  bool grown_ = false;
};

}  // namespace vastrel::pages
