#include "pages/help_page.h"

#include <QAction>
#include <QHBoxLayout>
#include <QIcon>
#include <QLocale>
#include <QPrinter>
#include <QSplitter>
#include <QTextDocument>
#include <QVBoxLayout>

#include "pages/help_tree.h"
#include "pages/icons.h"
#include "pages/services.h"

namespace vastrel::pages {

namespace {
constexpr int kIndexRole = Qt::UserRole;
}  // namespace

TpropHelpPage::TpropHelpPage(QWidget* parent) : PropertyPage(parent) {
  setWindowTitle(QStringLiteral("Help"));
  resize(433, 349);

  tvwTypLib = new QTreeWidget;
  tvwTypLib->setHeaderHidden(true);
  tvwTypLib->setIndentation(19);
  tvwTypLib->setMouseTracking(true);
  tvwTypLib->setEditTriggers(QAbstractItemView::NoEditTriggers);
  const std::vector<QPixmap>& images = HelpImageList();
  for (const HelpNode& node : HelpTree()) {
    QIcon icon;
    icon.addPixmap(images[node.icon], QIcon::Normal);
    icon.addPixmap(images[node.selected_icon], QIcon::Selected);
    auto* item =
        node.parent < 0 ? new QTreeWidgetItem(tvwTypLib) : new QTreeWidgetItem(items_[node.parent]);
    item->setText(0, node.text);
    item->setIcon(0, icon);
    item->setData(0, kIndexRole, static_cast<int>(items_.size()));
    items_.push_back(item);
  }

  Label1 = new QLabel;
  Label1->setWordWrap(true);
  Label1->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  Label1->setStyleSheet(
      QStringLiteral("QLabel { background: silver; color: navy; padding: 4px; }"));
  DateLbl = new QLabel(QStringLiteral("Latest update: %d-%d-%d"));
  DateLbl->setAlignment(Qt::AlignCenter);
  Label2 = new QLabel(QStringLiteral("For further information, write to us:"));
  Label2->setAlignment(Qt::AlignCenter);
  Label2->setWordWrap(true);
  HotLinkLabel1 = new THotLinkLabel;
  HotLinkLabel1->SetLinkType(TLinkType::ltMAILTO);
  HotLinkLabel1->setText(HotLinkLabel1->LinkDestination());
  HotLinkLabel1->setAlignment(Qt::AlignCenter);

  auto* pnlRight = new QFrame;
  pnlRight->setFrameShape(QFrame::Box);
  pnlRight->setAutoFillBackground(true);
  pnlRight->setBackgroundRole(QPalette::Base);
  auto* right = new QVBoxLayout(pnlRight);
  right->addWidget(Label1, 1);
  right->addWidget(DateLbl);
  right->addWidget(Label2);
  right->addWidget(HotLinkLabel1);

  auto* splitter = new QSplitter;
  splitter->setHandleWidth(4);
  splitter->addWidget(tvwTypLib);
  splitter->addWidget(pnlRight);
  splitter->setSizes({201, 228});
  splitter->setStretchFactor(1, 1);

  btnPrint = new QPushButton(QStringLiteral("&Print"));
  btnPrint->setToolTip(
      QStringLiteral("Print to selected printer the Help tree within each node detail info."));
  CheckBox1 = new QCheckBox(QStringLiteral("&Show Legend"));
  CheckBox1->setToolTip(
      QStringLiteral("Show/hide the Legend window.\nVery useful to identify easier "
                     "the \ncategory of node you are exploring."));
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(btnPrint);
  bottom->addWidget(CheckBox1);
  bottom->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(splitter, 1);
  layout->addLayout(bottom);

  ExpandAll1 = new QAction(QStringLiteral("Expand All"), tvwTypLib);
  ExpandAll1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
  CollapseAll1 = new QAction(QStringLiteral("Collapse All"), tvwTypLib);
  CollapseAll1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
  for (QAction* a : {ExpandAll1, CollapseAll1}) {
    a->setShortcutContext(Qt::WidgetShortcut);
    tvwTypLib->addAction(a);
  }
  tvwTypLib->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(ExpandAll1, &QAction::triggered, this, &TpropHelpPage::ExpandAll);
  connect(CollapseAll1, &QAction::triggered, this, &TpropHelpPage::CollapseAll);
  connect(tvwTypLib, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    Label1->setText(item ? HelpTree()[item->data(0, kIndexRole).toInt()].help : QString());
  });
  connect(btnPrint, &QPushButton::clicked, this, [this] { RunAction([this] { PrintClick(); }); });
  connect(CheckBox1, &QCheckBox::toggled, this, &TpropHelpPage::ShowLegend);

  FillDateLine(DateLbl);
}

void TpropHelpPage::showEvent(QShowEvent* event) {
  items_[0]->setExpanded(true);
  PropertyPage::showEvent(event);
}

bool TpropHelpPage::UpdateObject() {
  if (legend_) legend_->close();
  return true;
}

void TpropHelpPage::ExpandAll() {
  // Not painted while every node changes, so that the tree repaints once; hiding it instead
  // would take the keyboard focus away from it.
  tvwTypLib->setUpdatesEnabled(false);
  tvwTypLib->expandAll();
  tvwTypLib->setUpdatesEnabled(true);
}

void TpropHelpPage::CollapseAll() {
  tvwTypLib->setUpdatesEnabled(false);
  tvwTypLib->collapseAll();
  tvwTypLib->setUpdatesEnabled(true);
}

QString TpropHelpPage::ManualText() const {
  QStringList lines;
  for (const HelpNode& node : HelpTree()) {
    const QString tabs(node.depth + 1, QLatin1Char('\t'));
    lines << tabs + QLatin1Char('[') + node.text + QLatin1Char(']');
    lines << tabs + QStringLiteral("* ") + node.help;
  }
  return lines.join(QLatin1Char('\n'));
}

void TpropHelpPage::PrintClick() {
  QTextDocument manual;
  manual.setPlainText(ManualText());
  QPrinter printer;
  printer.setDocName(QStringLiteral("Vastrel - User Manual"));
  Services& services = CurrentServices();
  if (!services.RunPrintDialog(this, printer)) return;
  services.Print(manual, printer);
  QString name = printer.printerName();
  if (name.isEmpty()) name = printer.outputFileName();
  const QString when =
      QLocale::c().toString(services.Now(), QStringLiteral("dd-MMM-yyyy, hh:mm:ss"));
  services.Message(MessageIcon::kInformation, QStringLiteral("Print"),
                   QStringLiteral("User manual successfully sent to printer %1.\nUser: %2, %3")
                       .arg(name, services.UserName(), when));
}

void TpropHelpPage::ShowLegend(bool show) {
  if (!show) {
    if (legend_) legend_->close();
    return;
  }
  if (!legend_) {
    // The legend goes with this page; a page made later makes its own.
    legend_ = new TfrmLegend(this);
    connect(legend_, &TfrmLegend::OnLegendClose, this, &TpropHelpPage::LegendClosed);
  }
  legend_->move(0, 0);
  legend_->SetImages(&HelpImageList());
  legend_->show();
}

void TpropHelpPage::LegendClosed() {
  if (legend_) CheckBox1->setChecked(false);
}

}  // namespace vastrel::pages
