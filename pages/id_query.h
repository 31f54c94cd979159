// TfrmIDQuery, the dialog that asks for the string ID of a dictionary in an item file, and
// QueryItemID, which fills it with the IDs the file holds and runs it.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "pages/export.h"

namespace vastrel::pages {

class VASTREL_PAGES_API TfrmIDQuery : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmIDQuery(QWidget* parent = nullptr);
  // Lists the IDs of an item file, each once without regard to case, in the order and
  // letter case met first; a missing file lists none. A corrupt file raises.
  void FillIDList(const QString& file_name);

  QLabel* lblPrompt;
  QComboBox* cmbIDItems;
  QPushButton* Button1;
  QPushButton* Button2;
};

// Asks for an ID with the given title and prompt, offering the IDs of file_name. True when
// the user accepted; *id receives the combo box's text in every case.
VASTREL_PAGES_API bool QueryItemID(const QString& file_name, const QString& caption,
                                   const QString& prompt, QString* id);

}  // namespace vastrel::pages
