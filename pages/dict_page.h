// TDataDictProp, the data dictionary page: the control's field and index dictionaries in
// two grids, their order, removal, item files, and the five format settings.
//
// The grids show the control's own collection objects and keep no copy of the definitions:
// grid row r (from 1) is item r - 1. A cell's typed text stays in the grid until the
// selection leaves the cell; only then does it reach the item (a copy that the collection
// holds), and items reach the control's definitions when the page applies. Add,
// Remove, Clear, the moves and Load act on the control's definitions at once.
#pragma once

#include <QAbstractTableModel>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <array>
#include <functional>

#include "pages/property_page.h"
#include "pages/up_down.h"

namespace vastrel::pages {

class DDFGridModel;

// The grid both dictionaries share: a title row, a fixed row-number column, in-place
// editing with edit masks, and the check that runs before the selection leaves a cell.
class VASTREL_PAGES_API DDFGrid : public QTableView {
  Q_OBJECT
 public:
  explicit DDFGrid(QWidget* parent = nullptr);
  ~DDFGrid() override;

  // The current row counted with the title row as 0 (data rows from 1), and column.
  int Row() const;
  int Col() const;
  // The grid's rows, the title row included; an empty dictionary still shows one row.
  int RowCount() const;
  // The text a cell shows: row 0 is the title row, column 0 the row number.
  QString Cell(int col, int row) const;

  virtual int ItemCount() const = 0;
  virtual void AddItem() = 0;
  virtual void DeleteCurrentItem() = 0;
  virtual void ExchangeItems(int a, int b) = 0;
  virtual void ClearItems() = 0;
  // Shows the collection's items again; typed text not yet committed is dropped.
  void RefreshRows();
  // True when a data row other than except_row holds name in column 1 (any letter case,
  // without trailing blanks).
  bool NameExists(int except_row, const QString& name) const;
  // Selects a cell without the leaving check (the page moves the selection itself).
  void SelectCell(int col, int row);

  // The page's selection handler, told of the cell the selection moved to.
  std::function<void(int col, int row)> OnSelectCell;

  // What the grid subclasses describe.
  virtual int Columns() const = 0;
  virtual QString Title(int col) const = 0;
  virtual QString InputMask(int col) const = 0;
  virtual bool Editable(int col) const = 0;
  virtual QString ItemText(int item, int col) const = 0;

 protected:
  // Shows the model; the subclass calls it once it can describe its columns.
  void AttachModel();
  // Commits a cell's text to item `item`; raises when the text cannot be taken.
  virtual void CommitCell(int item, int col, const QString& text) = 0;
  virtual QString DuplicateMessage() const = 0;
  virtual QString DuplicateCaption() const = 0;
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  // Only the current cell opens an editor, so that a refused move never leaves one open
  // on the cell it aimed at.
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;

 private:
  bool LeaveCell(const QModelIndex& cell);
  friend class DDFGridModel;
  DDFGridModel* model_;
  bool moving_ = false;
};

class VASTREL_PAGES_API TBtrDDFFieldStringGrid : public DDFGrid {
  Q_OBJECT
 public:
  explicit TBtrDDFFieldStringGrid(QWidget* parent = nullptr);
  void SetItems(automation::IDDFFieldItems* items) {
    items_ = ComPtr<automation::IDDFFieldItems>(items);
  }
  automation::IDDFFieldItems* Items() const { return items_.get(); }
  ComPtr<automation::IDDFFieldItem> Item(int index) const;

  int ItemCount() const override;
  void AddItem() override;
  void DeleteCurrentItem() override;
  void ExchangeItems(int a, int b) override;
  void ClearItems() override;
  int Columns() const override { return 5; }
  QString Title(int col) const override;
  QString InputMask(int col) const override;
  bool Editable(int col) const override { return col == 1 || col == 3 || col == 4; }
  QString ItemText(int item, int col) const override;

 protected:
  void CommitCell(int item, int col, const QString& text) override;
  QString DuplicateMessage() const override;
  QString DuplicateCaption() const override;

 private:
  ComPtr<automation::IDDFFieldItems> items_;
};

class VASTREL_PAGES_API TBtrDDFIndexStringGrid : public DDFGrid {
  Q_OBJECT
 public:
  explicit TBtrDDFIndexStringGrid(QWidget* parent = nullptr);
  void SetItems(automation::IDDFIndexItems* items) {
    items_ = ComPtr<automation::IDDFIndexItems>(items);
  }
  automation::IDDFIndexItems* Items() const { return items_.get(); }
  ComPtr<automation::IDDFIndexItem> Item(int index) const;

  int ItemCount() const override;
  void AddItem() override;
  void DeleteCurrentItem() override;
  void ExchangeItems(int a, int b) override;
  void ClearItems() override;
  int Columns() const override { return 3; }
  QString Title(int col) const override;
  QString InputMask(int col) const override;
  bool Editable(int col) const override { return col == 1 || col == 2; }
  QString ItemText(int item, int col) const override;

 protected:
  void CommitCell(int item, int col, const QString& text) override;
  QString DuplicateMessage() const override;
  QString DuplicateCaption() const override;

 private:
  ComPtr<automation::IDDFIndexItems> items_;
};

// A status bar of three panels (220, 80 and 50 pixels wide).
class VASTREL_PAGES_API PanelBar : public QWidget {
  Q_OBJECT
 public:
  explicit PanelBar(QWidget* parent = nullptr);
  std::array<QLabel*, 3> Panels{};
};

class VASTREL_PAGES_API TDataDictProp : public PropertyPage {
  Q_OBJECT
 public:
  explicit TDataDictProp(QWidget* parent = nullptr);
  ~TDataDictProp() override;

  void UpdatePropertyPage() override;
  bool UpdateObject() override;
  bool FormatsValid() const;
  void UpdateButtons();
  // The grid of the active tab.
  DDFGrid* ActiveGrid() const;

  QTabWidget* pagctrlDDF;
  TBtrDDFFieldStringGrid* grDict;
  TBtrDDFIndexStringGrid* grIndex;
  QComboBox* cmbFieldType;
  UpDown* edtFieldInfo;
  UpDown* edtIndexKey;
  PanelBar* FieldStatusBar;
  PanelBar* IndexStatusBar;
  QPushButton* Button1;
  QPushButton* btnRemove;
  QPushButton* btnClear;
  QPushButton* btnMoveUp;
  QPushButton* btnMoveDown;
  QPushButton* btnSave;
  QPushButton* btnLoad;
  QLineEdit* edtTrueFormat;
  QLineEdit* edtFalseFormat;
  QComboBox* cmbDateFormat;
  QComboBox* cmbTimeFormat;
  QComboBox* cmbDecSep;

 private:
  void SetGridTitles();
  void grDictSelectCell(int col, int row);
  void grIndexSelectCell(int col, int row);
  void PlaceUpDown(DDFGrid* grid, UpDown* updown, int col, int row);
  void ShowFileAndID(const QString& file, const QString& id);
  void AddClick();
  void RemoveClick();
  void ClearClick();
  void MoveClick(int delta);
  void SaveClick();
  void LoadClick();
  void FocusChanged(QWidget* old, QWidget* now);
  void HideOverlays();

  bool checking_focus_ = false;
};

}  // namespace vastrel::pages
