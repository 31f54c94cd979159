// TfrmLegend: a small tool window that explains the icons of the help page's tree. Closing
// it hides it (it is reused) and raises OnLegendClose.
#pragma once

#include <QLabel>
#include <QPixmap>
#include <QWidget>
#include <array>
#include <vector>

#include "pages/export.h"

namespace vastrel::pages {

class VASTREL_PAGES_API TfrmLegend : public QWidget {
  Q_OBJECT
 public:
  explicit TfrmLegend(QWidget* parent = nullptr);
  // The image list the pictures come from (borrowed; it outlives the window).
  void SetImages(const std::vector<QPixmap>* images) { images_ = images; }

  std::array<QLabel*, 7> Pictures{};
  std::array<QLabel*, 7> Labels{};

 Q_SIGNALS:
  void OnLegendClose();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  const std::vector<QPixmap>* images_ = nullptr;
};

}  // namespace vastrel::pages
