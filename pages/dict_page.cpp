#include "pages/dict_page.h"

#include <QApplication>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>

#include "pages/id_query.h"
#include "pages/services.h"

namespace vastrel::pages {

using automation::IDDFFieldItem;
using automation::IDDFFieldItems;
using automation::IDDFIndexItem;
using automation::IDDFIndexItems;
using automation::IVastrel;
using automation::TxFieldType;

namespace {

constexpr const char* kTypeNames[] = {"STRING", "INTEGER", "FLOAT",   "BOOLEAN",
                                      "DATE",   "TIME",    "DATETIME"};
// Letters or digits, upper-cased, 1 to 25 of them; digits, 1 to 5 of them.
const QString kNameMask = QStringLiteral(">N") + QString(24, QLatin1Char('n'));
const QString kNumberMask = QStringLiteral("90000");
const QString kDictFilter = QStringLiteral("Data Definition File (*.ddf)");

QString TrimRight(const QString& s) {
  qsizetype n = s.size();
  while (n > 0 && s[n - 1].isSpace()) --n;
  return s.left(n);
}

// The whole number a cell holds, refused with a clear message when it is none or below low.
int32_t CellNumber(const QString& text, int low, const char* what) {
  const QString t = text.trimmed();
  bool ok = false;
  const int value = t.toInt(&ok);
  if (!ok)
    throw ControlError(QStringLiteral("\"%1\" is not a valid whole number for %2.")
                           .arg(t, QLatin1String(what))
                           .toStdString());
  if (value < low)
    throw ControlError(
        QStringLiteral("%1 must be %2 or more.").arg(QLatin1String(what)).arg(low).toStdString());
  return value;
}

QString CellName(const QString& text) {
  const QString name = TrimRight(text);
  if (name.isEmpty()) throw ControlError("A name needs at least one letter or digit.");
  return name;
}

VARIANT_BOOL Flag(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }

}  // namespace

// ---------------------------------------------------------------------------------------
// The grid's model: reads the collection for the rows on screen and holds the one cell
// whose typed text has not been committed yet.

class DDFGridModel : public QAbstractTableModel {
 public:
  explicit DDFGridModel(DDFGrid* grid) : QAbstractTableModel(grid) {}

  int rowCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() || !grid_ ? 0 : std::max(1, count_);
  }
  int columnCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() || !grid_ ? 0 : grid_->Columns();
  }
  void Attach(DDFGrid* grid) { grid_ = grid; }
  void Detach() { grid_ = nullptr; }
  QVariant data(const QModelIndex& index, int role) const override {
    if (role == Qt::TextAlignmentRole && index.column() == 0) return int(Qt::AlignCenter);
    if (role == Qt::BackgroundRole && index.column() == 0) return QApplication::palette().button();
    if (role != Qt::DisplayRole && role != Qt::EditRole) return QVariant();
    if (HasPending(index)) return pending_text_;
    return Text(index.row(), index.column());
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (grid_ && orientation == Qt::Horizontal && role == Qt::DisplayRole)
      return grid_->Title(section);
    return QVariant();
  }
  Qt::ItemFlags flags(const QModelIndex& index) const override {
    if (!grid_ || index.column() == 0) return Qt::ItemIsEnabled;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (count_ > 0 && grid_->Editable(index.column())) f |= Qt::ItemIsEditable;
    return f;
  }
  bool setData(const QModelIndex& index, const QVariant& value, int role) override {
    if (role != Qt::EditRole || count_ == 0) return false;
    const QString text = value.toString();
    if (text == Text(index.row(), index.column()) && !HasPending(index)) return true;
    pending_row_ = index.row();
    pending_col_ = index.column();
    pending_text_ = text;
    Q_EMIT dataChanged(index, index);
    if (edited) edited();
    return true;
  }

  QString Text(int row, int col) const {
    if (!grid_ || count_ == 0 || row >= count_) return QString();
    if (col == 0) return QString::number(row + 1);
    try {
      return grid_->ItemText(row, col);
    } catch (const std::exception&) {
      // The collection changed behind the grid; the next refresh shows it.
      return QString();
    }
  }
  bool HasPending(const QModelIndex& index) const {
    return index.row() == pending_row_ && index.column() == pending_col_;
  }
  QString TakePending() {
    QString text = pending_text_;
    ClearPending();
    return text;
  }
  void ClearPending() {
    if (pending_row_ < 0) return;
    const QModelIndex cell = index(pending_row_, pending_col_);
    pending_row_ = pending_col_ = -1;
    pending_text_.clear();
    Q_EMIT dataChanged(cell, cell);
  }
  // Reads the count again and repaints every row, dropping typed text.
  void Refresh(int count) {
    pending_row_ = pending_col_ = -1;
    pending_text_.clear();
    if (std::max(1, count) != std::max(1, count_)) {
      beginResetModel();
      count_ = count;
      endResetModel();
    } else {
      count_ = count;
      Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
    }
  }
  int Count() const { return count_; }

  std::function<void()> edited;

 private:
  DDFGrid* grid_;
  int count_ = 0;
  int pending_row_ = -1;
  int pending_col_ = -1;
  QString pending_text_;
};

namespace {

class MaskDelegate : public QStyledItemDelegate {
 public:
  explicit MaskDelegate(DDFGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                        const QModelIndex& index) const override {
    auto* editor = new QLineEdit(parent);
    editor->setFrame(false);
    editor->setInputMask(grid_->InputMask(index.column()));
    return editor;
  }
  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    auto* line = static_cast<QLineEdit*>(editor);
    line->setText(index.data(Qt::EditRole).toString().trimmed());
    line->selectAll();
  }
  // Leaving an editor whose text the mask does not accept (an empty number) still hands the
  // text over, so that the grid refuses it with a message instead of dropping it unseen.
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::FocusOut)
      if (auto* line = qobject_cast<QLineEdit*>(object); line && !line->hasAcceptableInput())
        Q_EMIT commitData(line);
    return QStyledItemDelegate::eventFilter(object, event);
  }
  void setModelData(QWidget* editor, QAbstractItemModel* model,
                    const QModelIndex& index) const override {
    model->setData(index, static_cast<QLineEdit*>(editor)->text(), Qt::EditRole);
  }

 private:
  DDFGrid* grid_;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// DDFGrid

DDFGrid::DDFGrid(QWidget* parent) : QTableView(parent), model_(new DDFGridModel(this)) {
  setItemDelegate(new MaskDelegate(this));
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(17);
  horizontalHeader()->setDefaultSectionSize(40);
  horizontalHeader()->setHighlightSections(false);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectItems);
  setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                  QAbstractItemView::AnyKeyPressed);
  setTabKeyNavigation(true);
  setShowGrid(true);
  setWordWrap(false);
  verticalScrollBar()->setTracking(true);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
    if (OnSelectCell && currentIndex().isValid()) OnSelectCell(Col(), Row());
  });
}

DDFGrid::~DDFGrid() {
  // What the base classes do while they go must not reach this grid's subclass, which is
  // gone already.
  OnSelectCell = nullptr;
  verticalScrollBar()->disconnect(this);
  model_->Detach();
}

void DDFGrid::AttachModel() {
  model_->Attach(this);
  setModel(model_);
}

int DDFGrid::Row() const {
  const QModelIndex c = currentIndex();
  return c.isValid() ? c.row() + 1 : 1;
}
int DDFGrid::Col() const {
  const QModelIndex c = currentIndex();
  return c.isValid() ? c.column() : 1;
}
int DDFGrid::RowCount() const { return model_->rowCount() + 1; }

QString DDFGrid::Cell(int col, int row) const {
  if (row == 0) return Title(col);
  return model_->data(model_->index(row - 1, col), Qt::DisplayRole).toString();
}

void DDFGrid::RefreshRows() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const QModelIndex keep = currentIndex();
  const int keep_row = keep.row(), keep_col = keep.column();
  // An open editor's text is dropped with the rest of the typed text.
  if (QWidget* editor = indexWidget(keep))
    closeEditor(editor, QAbstractItemDelegate::RevertModelCache);
  model_->Refresh(ItemCount());
  setEnabled(model_->Count() > 0);
  if (keep_row >= 0) {
    moving_ = true;
    setCurrentIndex(model_->index(std::min(keep_row, model_->rowCount() - 1), keep_col));
    moving_ = false;
  }
  QApplication::restoreOverrideCursor();
}

bool DDFGrid::NameExists(int except_row, const QString& name) const {
  const int n = model_->Count();
  for (int r = 1; r <= n; ++r) {
    if (r == except_row) continue;
    if (TrimRight(Cell(1, r)).compare(name, Qt::CaseInsensitive) == 0) return true;
  }
  return false;
}

void DDFGrid::SelectCell(int col, int row) {
  moving_ = true;
  setCurrentIndex(model_->index(row - 1, col));
  moving_ = false;
  if (OnSelectCell) OnSelectCell(col, row);
}

void DDFGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  // The base class first closes an open editor, which puts its text into the cell.
  QTableView::currentChanged(current, previous);
  if (moving_) return;
  if (previous.isValid() && current != previous && model_->Count() > 0 && !LeaveCell(previous)) {
    moving_ = true;
    selectionModel()->setCurrentIndex(previous, QItemSelectionModel::ClearAndSelect);
    moving_ = false;
    return;
  }
  if (current.isValid() && OnSelectCell) OnSelectCell(current.column(), current.row() + 1);
}

bool DDFGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
  if (index != currentIndex()) return false;
  return QTableView::edit(index, trigger, event);
}

bool DDFGrid::LeaveCell(const QModelIndex& cell) {
  const int row = cell.row() + 1;
  const QString name = TrimRight(Cell(1, row));
  if (NameExists(row, name)) {
    CurrentServices().Message(MessageIcon::kError, DuplicateCaption().arg(name),
                              DuplicateMessage());
    return false;
  }
  if (!model_->HasPending(cell)) return true;
  const QString text = model_->TakePending();
  try {
    CommitCell(row - 1, cell.column(), text);
  } catch (const std::exception& e) {
    CurrentServices().Message(MessageIcon::kError, QStringLiteral("Error"),
                              QString::fromUtf8(e.what()));
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// The field grid

TBtrDDFFieldStringGrid::TBtrDDFFieldStringGrid(QWidget* parent) : DDFGrid(parent) { AttachModel(); }

ComPtr<IDDFFieldItem> TBtrDDFFieldStringGrid::Item(int index) const {
  return GetObject(items_.get(), &IDDFFieldItems::get_Items, index);
}
int TBtrDDFFieldStringGrid::ItemCount() const {
  return items_ ? Get(items_.get(), &IDDFFieldItems::get_Count) : 0;
}
void TBtrDDFFieldStringGrid::AddItem() {
  IDDFFieldItem* added = nullptr;
  Check(items_->Add(&added));
  if (added) added->Release();
  RefreshRows();
}
void TBtrDDFFieldStringGrid::DeleteCurrentItem() {
  Check(items_->Delete(Row() - 1));
  RefreshRows();
}
void TBtrDDFFieldStringGrid::ExchangeItems(int a, int b) {
  Check(items_->Exchange(a, b));
  RefreshRows();
}
void TBtrDDFFieldStringGrid::ClearItems() {
  Check(items_->Clear());
  RefreshRows();
}
QString TBtrDDFFieldStringGrid::Title(int col) const {
  static const char* titles[] = {"RowID", "Field Name", "Data type", "Offset", "Size"};
  return QString::fromLatin1(titles[col]);
}
QString TBtrDDFFieldStringGrid::InputMask(int col) const {
  return col == 1 ? kNameMask : kNumberMask;
}
QString TBtrDDFFieldStringGrid::ItemText(int item, int col) const {
  ComPtr<IDDFFieldItem> it = Item(item);
  switch (col) {
    case 1:
      return GetText(it.get(), &IDDFFieldItem::get_FieldName);
    case 2: {
      const int type = static_cast<int>(Get(it.get(), &IDDFFieldItem::get_FieldType));
      return type >= 0 && type < 7 ? QString::fromLatin1(kTypeNames[type]) : QString();
    }
    case 3:
      return QString::number(Get(it.get(), &IDDFFieldItem::get_Offset));
    case 4:
      return QString::number(Get(it.get(), &IDDFFieldItem::get_Size));
  }
  return QString();
}
void TBtrDDFFieldStringGrid::CommitCell(int item, int col, const QString& text) {
  ComPtr<IDDFFieldItem> it = Item(item);
  if (col == 1) PutText(it.get(), &IDDFFieldItem::put_FieldName, CellName(text));
  if (col == 3) Check(it->put_Offset(CellNumber(text, 0, "Offset")));
  if (col == 4) Check(it->put_Size(CellNumber(text, 1, "Size")));
}
QString TBtrDDFFieldStringGrid::DuplicateMessage() const {
  return QStringLiteral("Duplicate field name not allowed.");
}
QString TBtrDDFFieldStringGrid::DuplicateCaption() const {
  return QStringLiteral("Field \"%1\" exists");
}

// ---------------------------------------------------------------------------------------
// The index grid

TBtrDDFIndexStringGrid::TBtrDDFIndexStringGrid(QWidget* parent) : DDFGrid(parent) { AttachModel(); }

ComPtr<IDDFIndexItem> TBtrDDFIndexStringGrid::Item(int index) const {
  return GetObject(items_.get(), &IDDFIndexItems::get_Items, index);
}
int TBtrDDFIndexStringGrid::ItemCount() const {
  return items_ ? Get(items_.get(), &IDDFIndexItems::get_Count) : 0;
}
void TBtrDDFIndexStringGrid::AddItem() {
  IDDFIndexItem* added = nullptr;
  Check(items_->Add(&added));
  if (added) added->Release();
  RefreshRows();
}
void TBtrDDFIndexStringGrid::DeleteCurrentItem() {
  Check(items_->Delete(Row() - 1));
  RefreshRows();
}
void TBtrDDFIndexStringGrid::ExchangeItems(int a, int b) {
  Check(items_->Exchange(a, b));
  RefreshRows();
}
void TBtrDDFIndexStringGrid::ClearItems() {
  Check(items_->Clear());
  RefreshRows();
}
QString TBtrDDFIndexStringGrid::Title(int col) const {
  static const char* titles[] = {"RowID", "Index Name", "Key No.type"};
  return QString::fromLatin1(titles[col]);
}
QString TBtrDDFIndexStringGrid::InputMask(int col) const {
  return col == 1 ? kNameMask : kNumberMask;
}
QString TBtrDDFIndexStringGrid::ItemText(int item, int col) const {
  ComPtr<IDDFIndexItem> it = Item(item);
  if (col == 1) return GetText(it.get(), &IDDFIndexItem::get_IndexName);
  if (col == 2) return QString::number(Get(it.get(), &IDDFIndexItem::get_IndexKeyNum));
  return QString();
}
void TBtrDDFIndexStringGrid::CommitCell(int item, int col, const QString& text) {
  ComPtr<IDDFIndexItem> it = Item(item);
  if (col == 1) PutText(it.get(), &IDDFIndexItem::put_IndexName, CellName(text));
  if (col == 2) Check(it->put_IndexKeyNum(CellNumber(text, 0, "Key number")));
}
QString TBtrDDFIndexStringGrid::DuplicateMessage() const {
  return QStringLiteral("Duplicate index name not allowed.");
}
QString TBtrDDFIndexStringGrid::DuplicateCaption() const {
  return QStringLiteral("Index \"%1\" exists");
}

// ---------------------------------------------------------------------------------------
// The page

PanelBar::PanelBar(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  const int widths[] = {220, 80, 50};
  const char* texts[] = {"File name: N/A", "ID: N/A", "Rec: 0/0"};
  for (int i = 0; i < 3; ++i) {
    Panels[i] = new QLabel(QString::fromLatin1(texts[i]));
    Panels[i]->setFrameShape(QFrame::Panel);
    Panels[i]->setFrameShadow(QFrame::Sunken);
    Panels[i]->setFixedWidth(widths[i]);
    layout->addWidget(Panels[i]);
  }
  Panels[2]->setAlignment(Qt::AlignCenter);
  layout->addStretch();
}

TDataDictProp::TDataDictProp(QWidget* parent) : PropertyPage(parent) {
  setWindowTitle(QStringLiteral("Data Dictionary"));
  resize(513, 398);

  pagctrlDDF = new QTabWidget;
  pagctrlDDF->setTabPosition(QTabWidget::West);
  auto* tabsField = new QWidget;
  auto* tabsIndex = new QWidget;
  pagctrlDDF->addTab(tabsField, QStringLiteral("FIELD"));
  pagctrlDDF->addTab(tabsIndex, QStringLiteral("INDEX"));

  grDict = new TBtrDDFFieldStringGrid;
  grIndex = new TBtrDDFIndexStringGrid;
  // The type column is wide enough for DATETIME in the desktop's usual font.
  const int field_widths[] = {40, 150, 80, 50, 53};
  for (int c = 0; c < 5; ++c) grDict->setColumnWidth(c, field_widths[c]);
  const int index_widths[] = {40, 150, 64};
  for (int c = 0; c < 3; ++c) grIndex->setColumnWidth(c, index_widths[c]);
  FieldStatusBar = new PanelBar;
  IndexStatusBar = new PanelBar;
  auto* field_layout = new QVBoxLayout(tabsField);
  field_layout->setContentsMargins(2, 2, 2, 2);
  field_layout->addWidget(grDict);
  field_layout->addWidget(FieldStatusBar);
  auto* index_layout = new QVBoxLayout(tabsIndex);
  index_layout->setContentsMargins(2, 2, 2, 2);
  index_layout->addWidget(grIndex);
  index_layout->addWidget(IndexStatusBar);

  cmbFieldType = new QComboBox(grDict->viewport());
  for (const char* name : kTypeNames) cmbFieldType->addItem(QString::fromLatin1(name));
  cmbFieldType->hide();
  edtFieldInfo = new UpDown(grDict->viewport());
  edtFieldInfo->SetRange(0, 9999);
  edtFieldInfo->hide();
  edtIndexKey = new UpDown(grIndex->viewport());
  edtIndexKey->SetRange(0, 9999);
  edtIndexKey->hide();

  Button1 = new QPushButton(QStringLiteral("&Add"));
  btnRemove = new QPushButton(QStringLiteral("&Remove"));
  btnClear = new QPushButton(QStringLiteral("&Clear"));
  btnMoveUp = new QPushButton(QStringLiteral("Move Up"));
  btnMoveDown = new QPushButton(QStringLiteral("Move Down"));
  btnSave = new QPushButton(QStringLiteral("Save Items..."));
  btnLoad = new QPushButton(QStringLiteral("Load Items..."));
  Button1->setToolTip(QStringLiteral("Add a new record definition to the ActiveX control."));
  btnRemove->setToolTip(
      QStringLiteral("Remove the current record definition. Once you remove it\n"
                     "is no longer available."));
  btnClear->setToolTip(
      QStringLiteral("Clear all record definitions from ActiveX control.\n"
                     "Once you remove them they are no longer available."));
  btnSave->setToolTip(
      QStringLiteral("Save the record definitions under an ID into a file.\n"
                     "The file is not a standard Data Definition File."));
  btnLoad->setToolTip(
      QStringLiteral("Load the record definitions of an ID from a file.\n"
                     "The file is not a standard Data Definition File."));
  auto* buttons = new QVBoxLayout;
  for (QPushButton* b : {Button1, btnRemove, btnClear, btnMoveUp, btnMoveDown, btnSave, btnLoad})
    buttons->addWidget(b);
  buttons->addStretch();

  edtTrueFormat = new QLineEdit;
  edtFalseFormat = new QLineEdit;
  auto combo = [](std::initializer_list<const char*> items) {
    auto* c = new QComboBox;
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    for (const char* s : items) c->addItem(QString::fromLatin1(s));
    return c;
  };
  cmbDateFormat = combo({"MMDDYY", "MMDDYYYY", "DDMMYY", "DDMMYYYY", "YYMMDD", "YYYYMMDD"});
  cmbTimeFormat = combo({"HH:NN:SS", "hh:nn:ss"});
  cmbDecSep = combo({".", ","});
  cmbDecSep->setMaximumWidth(50);
  auto* formats = new QGridLayout;
  auto label = [](const char* text, QWidget* buddy) {
    auto* l = new QLabel(QString::fromLatin1(text));
    l->setBuddy(buddy);
    return l;
  };
  formats->addWidget(label("BOOLEAN True like:", edtTrueFormat), 0, 0);
  formats->addWidget(edtTrueFormat, 0, 1);
  formats->addWidget(label("BOOLEAN False like:", edtFalseFormat), 1, 0);
  formats->addWidget(edtFalseFormat, 1, 1);
  formats->addWidget(label("DATE format:", cmbDateFormat), 0, 2);
  formats->addWidget(cmbDateFormat, 0, 3);
  formats->addWidget(label("TIME format:", cmbTimeFormat), 1, 2);
  formats->addWidget(cmbTimeFormat, 1, 3);
  formats->addWidget(label("Decimal point like:", cmbDecSep), 0, 4);
  formats->addWidget(cmbDecSep, 0, 5);

  auto* top = new QHBoxLayout;
  top->addWidget(pagctrlDDF, 1);
  top->addLayout(buttons);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(formats);

  grDict->OnSelectCell = [this](int col, int row) { grDictSelectCell(col, row); };
  grIndex->OnSelectCell = [this](int col, int row) { grIndexSelectCell(col, row); };
  for (DDFGrid* grid : {static_cast<DDFGrid*>(grDict), static_cast<DDFGrid*>(grIndex)})
    static_cast<DDFGridModel*>(grid->model())->edited = [this] { Changed(); };

  connect(cmbFieldType, &QComboBox::activated, this, [this](int type) {
    RunAction([this, type] {
      Check(grDict->Item(grDict->Row() - 1)->put_FieldType(static_cast<TxFieldType>(type)));
      grDict->RefreshRows();
      MarkDirty();
    });
  });
  edtFieldInfo->Changing = [this](int value) {
    if (grDict->Col() == 3) return value >= 0;
    if (grDict->Col() == 4) return value >= 1;
    return true;
  };
  connect(edtFieldInfo, &UpDown::Clicked, this, [this] {
    RunAction([this] {
      ComPtr<IDDFFieldItem> item = grDict->Item(grDict->Row() - 1);
      if (grDict->Col() == 3) Check(item->put_Offset(edtFieldInfo->Position()));
      if (grDict->Col() == 4) Check(item->put_Size(edtFieldInfo->Position()));
      grDict->RefreshRows();
      MarkDirty();
    });
  });
  edtIndexKey->Changing = [this](int value) { return grIndex->Col() != 2 || value >= 0; };
  connect(edtIndexKey, &UpDown::Clicked, this, [this] {
    RunAction([this] {
      if (grIndex->Col() == 2)
        Check(grIndex->Item(grIndex->Row() - 1)->put_IndexKeyNum(edtIndexKey->Position()));
      grIndex->RefreshRows();
      MarkDirty();
    });
  });

  connect(Button1, &QPushButton::clicked, this, [this] { RunAction([this] { AddClick(); }); });
  connect(btnRemove, &QPushButton::clicked, this, [this] { RunAction([this] { RemoveClick(); }); });
  connect(btnClear, &QPushButton::clicked, this, [this] { RunAction([this] { ClearClick(); }); });
  connect(btnMoveUp, &QPushButton::clicked, this, [this] { RunAction([this] { MoveClick(-1); }); });
  connect(btnMoveDown, &QPushButton::clicked, this,
          [this] { RunAction([this] { MoveClick(1); }); });
  connect(btnSave, &QPushButton::clicked, this, [this] { RunAction([this] { SaveClick(); }); });
  connect(btnLoad, &QPushButton::clicked, this, [this] { RunAction([this] { LoadClick(); }); });
  connect(pagctrlDDF, &QTabWidget::currentChanged, this, [this] { UpdateButtons(); });

  connect(edtTrueFormat, &QLineEdit::textChanged, this, [this] { Changed(); });
  connect(edtFalseFormat, &QLineEdit::textChanged, this, [this] { Changed(); });
  for (QComboBox* c : {cmbDateFormat, cmbTimeFormat, cmbDecSep})
    connect(c, &QComboBox::editTextChanged, this, [this] { Changed(); });
  connect(qApp, &QApplication::focusChanged, this, &TDataDictProp::FocusChanged);
  UpdateButtons();
}

TDataDictProp::~TDataDictProp() = default;

DDFGrid* TDataDictProp::ActiveGrid() const {
  return pagctrlDDF->currentIndex() == 1 ? static_cast<DDFGrid*>(grIndex)
                                         : static_cast<DDFGrid*>(grDict);
}

void TDataDictProp::UpdatePropertyPage() {
  filling_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{filling_};
  IVastrel* c = Control();
  grDict->SetItems(GetObject(c, &IVastrel::get_DDFFields).get());
  grIndex->SetItems(GetObject(c, &IVastrel::get_DDFIndexes).get());
  edtTrueFormat->setText(GetText(c, &IVastrel::get_TRUEFormat));
  edtFalseFormat->setText(GetText(c, &IVastrel::get_FALSEFormat));
  cmbDateFormat->setEditText(GetText(c, &IVastrel::get_DATEFormat));
  cmbTimeFormat->setEditText(GetText(c, &IVastrel::get_TIMEFormat));
  cmbDecSep->setEditText(GetText(c, &IVastrel::get_DecimalSeparator));
  grDict->RefreshRows();
  grIndex->RefreshRows();
  SetGridTitles();
  UpdateButtons();
}

bool TDataDictProp::UpdateObject() {
  if (!FormatsValid()) {
    CurrentServices().Message(
        MessageIcon::kWarning, QStringLiteral("Warning"),
        QStringLiteral("The format settings are not valid. Cannot save the current changes."));
    return false;
  }
  IVastrel* c = Control();
  Check(c->put_DDFFields(grDict->Items()));
  Check(c->put_DDFIndexes(grIndex->Items()));
  PutText(c, &IVastrel::put_TRUEFormat, edtTrueFormat->text());
  PutText(c, &IVastrel::put_FALSEFormat, edtFalseFormat->text());
  PutText(c, &IVastrel::put_DATEFormat, cmbDateFormat->currentText());
  PutText(c, &IVastrel::put_TIMEFormat, cmbTimeFormat->currentText());
  PutText(c, &IVastrel::put_DecimalSeparator, cmbDecSep->currentText());
  UpdatePropertyPage();
  return true;
}

bool TDataDictProp::FormatsValid() const {
  return !edtTrueFormat->text().trimmed().isEmpty() &&
         !edtFalseFormat->text().trimmed().isEmpty() &&
         !cmbDateFormat->currentText().trimmed().isEmpty() &&
         !cmbTimeFormat->currentText().trimmed().isEmpty() && cmbDecSep->currentText().size() == 1;
}

void TDataDictProp::SetGridTitles() {
  grDict->model()->headerDataChanged(Qt::Horizontal, 0, grDict->Columns() - 1);
  grIndex->model()->headerDataChanged(Qt::Horizontal, 0, grIndex->Columns() - 1);
}

void TDataDictProp::UpdateButtons() {
  const DDFGrid* grid = ActiveGrid();
  const int n = grid->ItemCount();
  const int r = grid->Row();
  const int rows = grid->RowCount();
  btnRemove->setEnabled(n > 0);
  btnClear->setEnabled(n > 0);
  btnSave->setEnabled(n > 0);
  btnMoveUp->setEnabled(n > 0 && r >= 2);
  btnMoveDown->setEnabled(n > 0 && r < rows - 1);
}

void TDataDictProp::PlaceUpDown(DDFGrid* grid, UpDown* updown, int col, int row) {
  const QRect cell = grid->visualRect(grid->model()->index(row - 1, col));
  const int width = std::min(16, cell.width());
  updown->setGeometry(cell.right() - width + 1, cell.top(), width, cell.height());
  updown->raise();
}

void TDataDictProp::grDictSelectCell(int col, int row) {
  FieldStatusBar->Panels[2]->setText(
      QStringLiteral("Rec: %1/%2").arg(row).arg(grDict->RowCount() - 1));
  const QRect cell = grDict->visualRect(grDict->model()->index(row - 1, col));
  cmbFieldType->setGeometry(cell);
  cmbFieldType->raise();
  PlaceUpDown(grDict, edtFieldInfo, col, row);
  const int width = grDict->viewport()->width();
  const bool any = grDict->ItemCount() > 0;
  if (col == 2 && any && cell.left() < width) {
    const int type =
        static_cast<int>(Get(grDict->Item(row - 1).get(), &IDDFFieldItem::get_FieldType));
    cmbFieldType->setCurrentIndex(type >= 0 && type < 7 ? type : -1);
    cmbFieldType->show();
  } else {
    cmbFieldType->hide();
  }
  if ((col == 3 || col == 4) && any && edtFieldInfo->x() < width) {
    edtFieldInfo->setToolTip(
        col == 3
            ? QStringLiteral(
                  "This button allows you to increase/decrease the value of Offset field.\n"
                  "Offset is used to calculate the start position in record buffer for the\n"
                  "current field. Base Offset position starts at: 0 and ends at BufferLength-1.")
            : QStringLiteral(
                  "This button allows you to increase/decrease the value of Size field.\n"
                  "Size is used to calculate the maximum length in record buffer for the\n"
                  "current field."));
    ComPtr<IDDFFieldItem> item = grDict->Item(row - 1);
    edtFieldInfo->SetPosition(col == 3 ? Get(item.get(), &IDDFFieldItem::get_Offset)
                                       : Get(item.get(), &IDDFFieldItem::get_Size));
    edtFieldInfo->show();
  } else {
    edtFieldInfo->hide();
    UpdateButtons();
  }
  btnMoveUp->setEnabled(row > 1);
  btnMoveDown->setEnabled(row < grDict->RowCount() - 1);
}

void TDataDictProp::grIndexSelectCell(int col, int row) {
  IndexStatusBar->Panels[2]->setText(
      QStringLiteral("Rec: %1/%2").arg(row).arg(grIndex->RowCount() - 1));
  PlaceUpDown(grIndex, edtIndexKey, col, row);
  if (col == 2 && grIndex->ItemCount() > 0 && edtIndexKey->x() < grIndex->viewport()->width()) {
    edtIndexKey->SetPosition(Get(grIndex->Item(row - 1).get(), &IDDFIndexItem::get_IndexKeyNum));
    edtIndexKey->show();
  } else {
    edtIndexKey->hide();
    UpdateButtons();
  }
  btnMoveUp->setEnabled(row > 1);
  btnMoveDown->setEnabled(row < grIndex->RowCount() - 1);
}

void TDataDictProp::HideOverlays() {
  if (ActiveGrid() == grDict) {
    cmbFieldType->hide();
    edtFieldInfo->hide();
  } else {
    edtIndexKey->hide();
  }
}

void TDataDictProp::AddClick() {
  UpdateObject();
  ActiveGrid()->AddItem();
  UpdateButtons();
  MarkDirty();
}

void TDataDictProp::RemoveClick() {
  UpdateObject();
  ActiveGrid()->DeleteCurrentItem();
  UpdateButtons();
  MarkDirty();
}

void TDataDictProp::ClearClick() {
  ActiveGrid()->ClearItems();
  HideOverlays();
  UpdateButtons();
  MarkDirty();
}

void TDataDictProp::MoveClick(int delta) {
  UpdateObject();
  DDFGrid* grid = ActiveGrid();
  const int row = grid->Row();
  grid->ExchangeItems(row, row + delta);
  grid->SelectCell(grid->Col(), row + delta);
  UpdateButtons();
  MarkDirty();
}

void TDataDictProp::ShowFileAndID(const QString& file, const QString& id) {
  PanelBar* bar = ActiveGrid() == grDict ? FieldStatusBar : IndexStatusBar;
  const QString prefix = QStringLiteral("File name: ");
  const QFontMetrics metrics(bar->Panels[0]->font());
  const int room = bar->Panels[0]->width() - metrics.horizontalAdvance(prefix) - 8;
  bar->Panels[0]->setText(prefix + metrics.elidedText(file, Qt::ElideLeft, room));
  bar->Panels[0]->setToolTip(file);
  bar->Panels[1]->setText(QStringLiteral("ID: %1").arg(id));
}

void TDataDictProp::SaveClick() {
  Services& services = CurrentServices();
  const QString file =
      services.SaveFileName(this, QStringLiteral("Save Items"), kDictFilter, QStringLiteral("ddf"));
  if (file.isEmpty()) return;
  QString id;
  if (!QueryItemID(file, QStringLiteral("Save to ID"), QStringLiteral("Enter the string ID"), &id))
    return;
  bool merge = false;
  if (QFileInfo::exists(file)) {
    merge = services.Message(MessageIcon::kQuestion, QStringLiteral("Save DDF File"),
                             QStringLiteral("File \"%1\" already exists. Press Yes to overwrite "
                                            "the file or No to update existent items?")
                                 .arg(file),
                             MessageButtons::kYesNo) == Answer::kNo;
  }
  UpdateObject();
  Bstr name = ToBstr(file), key = ToBstr(id);
  if (ActiveGrid() == grDict)
    Check(grDict->Items()->SaveItems(name.get(), VARIANT_TRUE, Flag(merge), key.get()));
  else
    Check(grIndex->Items()->SaveItems(name.get(), VARIANT_TRUE, Flag(merge), key.get()));
  ShowFileAndID(file, id);
}

void TDataDictProp::LoadClick() {
  const QString file =
      CurrentServices().OpenFileName(this, QStringLiteral("Load Items"), kDictFilter);
  if (file.isEmpty()) return;
  QString id;
  if (!QueryItemID(file, QStringLiteral("Load Items"),
                   QStringLiteral("Enter the item ID you want to load"), &id))
    return;
  DDFGrid* grid = ActiveGrid();
  Bstr name = ToBstr(file), key = ToBstr(id);
  if (grid == grDict)
    Check(grDict->Items()->LoadItems(name.get(), key.get()));
  else
    Check(grIndex->Items()->LoadItems(name.get(), key.get()));
  ShowFileAndID(file, id);
  grid->RefreshRows();
  if (grid->ItemCount() > 0) {
    grid->SelectCell(1, 1);
    UpdateButtons();
  }
  MarkDirty();
}

void TDataDictProp::FocusChanged(QWidget* old, QWidget* now) {
  // A format control checks its text when the focus moves elsewhere on this page.
  if (checking_focus_ || !old || !now || !isAncestorOf(now)) return;
  QWidget* control = nullptr;
  QString message;
  auto owns = [old](QWidget* w) { return old == w || w->isAncestorOf(old); };
  if (owns(edtTrueFormat) || owns(edtFalseFormat)) {
    control = owns(edtTrueFormat) ? static_cast<QWidget*>(edtTrueFormat) : edtFalseFormat;
    if (static_cast<QLineEdit*>(control)->text().trimmed().isEmpty())
      message = QStringLiteral("The format string used for boolean value is invalid.");
  } else if (owns(cmbDateFormat) || owns(cmbTimeFormat)) {
    QComboBox* combo = owns(cmbDateFormat) ? cmbDateFormat : cmbTimeFormat;
    control = combo;
    if (combo->currentText().trimmed().isEmpty())
      message = QStringLiteral("The format string used for DATETIME value is invalid.");
  } else if (owns(cmbDecSep)) {
    control = cmbDecSep;
    if (cmbDecSep->currentText().size() != 1)
      message = QStringLiteral("The format string used for DECIMAL SEPARATOR is invalid.");
  }
  if (!control || message.isEmpty() || control->isAncestorOf(now) || control == now) return;
  checking_focus_ = true;
  CurrentServices().Message(MessageIcon::kError, QStringLiteral("Error"), message);
  control->setFocus();
  checking_focus_ = false;
}

}  // namespace vastrel::pages
