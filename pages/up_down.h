// An up-down button: two arrows that step a position within a range. Before a step the
// Changing hook may refuse the new value; after a step Clicked() follows.
#pragma once

#include <QToolButton>
#include <QWidget>
#include <functional>

#include "pages/export.h"

namespace vastrel::pages {

class VASTREL_PAGES_API UpDown : public QWidget {
  Q_OBJECT
 public:
  explicit UpDown(QWidget* parent = nullptr);
  int Position() const { return position_; }
  // Sets the position, held within the range; no hook runs.
  void SetPosition(int position);
  void SetRange(int low, int high);

  // Answers whether a step to the new value may happen.
  std::function<bool(int new_value)> Changing;
  QToolButton* UpButton;
  QToolButton* DownButton;

 Q_SIGNALS:
  void Clicked();

 private:
  void Step(int delta);
  int position_ = 0;
  int low_ = 0;
  int high_ = 100;
};

}  // namespace vastrel::pages
