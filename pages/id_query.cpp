#include "pages/id_query.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>

#include "dictionary/item_file.h"
#include "pages/services.h"
#include "platform/locale.h"

namespace vastrel::pages {

TfrmIDQuery::TfrmIDQuery(QWidget* parent) : QDialog(parent) {
  setWindowFlag(Qt::WindowStaysOnTopHint);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  cmbIDItems = new QComboBox;
  cmbIDItems->setEditable(true);
  cmbIDItems->setInsertPolicy(QComboBox::NoInsert);
  lblPrompt = new QLabel;
  lblPrompt->setBuddy(cmbIDItems);
  Button1 = new QPushButton(QStringLiteral("&Select"));
  Button2 = new QPushButton(QStringLiteral("&Cancel"));
  Button1->setDefault(true);
  connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
  auto* layout = new QGridLayout(this);
  layout->addWidget(lblPrompt, 0, 0, 1, 3);
  layout->addWidget(cmbIDItems, 1, 0);
  layout->addWidget(Button1, 1, 1);
  layout->addWidget(Button2, 1, 2);
  layout->setColumnStretch(0, 1);
  setFixedSize(275, 73);
}

void TfrmIDQuery::FillIDList(const QString& file_name) {
  cmbIDItems->clear();
  const QByteArray name = file_name.toLocal8Bit();
  for (const std::string& id : dictionary::ListItemIDs(name.toStdString()))
    cmbIDItems->addItem(QString::fromStdString(platform::SingleByteToUtf8(id)));
}

bool QueryItemID(const QString& file_name, const QString& caption, const QString& prompt,
                 QString* id) {
  TfrmIDQuery dialog;
  dialog.lblPrompt->setText(prompt);
  dialog.setWindowTitle(caption);
  dialog.FillIDList(file_name);
  dialog.cmbIDItems->setCurrentIndex(-1);
  dialog.cmbIDItems->setEditText(QString());
  const bool accepted = CurrentServices().RunDialog(dialog);
  *id = dialog.cmbIDItems->currentText();
  return accepted;
}

}  // namespace vastrel::pages
