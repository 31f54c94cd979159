// TpropHelpPage, the help page: the reference tree of the control's types and members with
// a help text per node, printing of the whole tree, the legend window and a support link.
// It edits nothing; applying only closes the legend.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>

#include "pages/hot_link_label.h"
#include "pages/legend.h"
#include "pages/property_page.h"

namespace vastrel::pages {

class VASTREL_PAGES_API TpropHelpPage : public PropertyPage {
  Q_OBJECT
 public:
  explicit TpropHelpPage(QWidget* parent = nullptr);

  void UpdatePropertyPage() override {}
  bool UpdateObject() override;
  // The text that printing sends: two lines per node of the tree, in pre-order.
  QString ManualText() const;
  void ExpandAll();
  void CollapseAll();
  // The legend window, null until first shown.
  TfrmLegend* Legend() const { return legend_; }
  // The tree item of node index i.
  QTreeWidgetItem* Node(int i) const { return items_[i]; }

  QTreeWidget* tvwTypLib;
  QLabel* Label1;
  QLabel* DateLbl;
  QLabel* Label2;
  THotLinkLabel* HotLinkLabel1;
  QPushButton* btnPrint;
  QCheckBox* CheckBox1;
  QAction* ExpandAll1;
  QAction* CollapseAll1;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void PrintClick();
  void ShowLegend(bool show);
  void LegendClosed();

  std::vector<QTreeWidgetItem*> items_;
  QPointer<TfrmLegend> legend_;
};

}  // namespace vastrel::pages
