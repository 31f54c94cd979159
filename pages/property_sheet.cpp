#include "pages/property_sheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "pages/dict_page.h"
#include "pages/flag_page.h"
#include "pages/help_page.h"
#include "pages/key_page.h"

namespace vastrel::pages {

PropertySheet::PropertySheet(automation::IVastrel* control, QWidget* parent)
    : QDialog(parent), control_(control) {
  setWindowTitle(QStringLiteral("Vastrel Properties"));
  tabs_ = new QTabWidget(this);
  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(QDialogButtonBox::Ok);
  cancel_ = buttons->addButton(QDialogButtonBox::Cancel);
  apply_ = buttons->addButton(QDialogButtonBox::Apply);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(buttons);

  pages_ = {new TKeyProps, new TFlagProps, new TpropHelpPage, new TDataDictProp};
  for (PropertyPage* page : pages_) {
    page->SetObject(control);
    tabs_->addTab(page, page->windowTitle());
    connect(page, &PropertyPage::DirtyChanged, this, &PropertySheet::UpdateApply);
  }
  connect(tabs_, &QTabWidget::currentChanged, this, &PropertySheet::PageShown);
  connect(apply_, &QPushButton::clicked, this, [this] { Apply(); });
  connect(ok_, &QPushButton::clicked, this, [this] {
    if (Apply()) accept();
  });
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
  PageShown(0);
  UpdateApply();
}

PropertySheet::~PropertySheet() = default;

void PropertySheet::PageShown(int index) {
  if (index < 0 || index >= static_cast<int>(pages_.size())) return;
  RunAction([&] { pages_[index]->UpdatePropertyPage(); });
}

bool PropertySheet::Apply() {
  bool all = true;
  bool wrote = false;
  for (PropertyPage* page : pages_) {
    if (!page->IsDirty()) continue;
    bool ok = false;
    RunAction([&] { ok = page->UpdateObject(); });
    if (ok) {
      page->SetDirty(false);
      wrote = true;
    } else {
      all = false;
    }
  }
  if (wrote) Q_EMIT Applied();
  return all;
}

void PropertySheet::UpdateApply() {
  bool any = false;
  for (PropertyPage* page : pages_) any = any || page->IsDirty();
  apply_->setEnabled(any);
}

}  // namespace vastrel::pages
