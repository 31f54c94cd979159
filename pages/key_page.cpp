#include "pages/key_page.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <climits>

#include "pages/services.h"

namespace vastrel::pages {

using automation::IKey;
using automation::IKeys;
using automation::TxKeyTypes;

namespace {

constexpr const char* kKeyTypeNames[] = {
    "OldBinary",    "OldString",    "String",         "Integer",       "Float",        "Date",
    "Time",         "Decimal",      "Money",          "Logical",       "Numeric",      "BasicFloat",
    "PascalString", "AsciizString", "UnsignedBinary", "AutoIncrement", "SignTrailing", "Custom"};

QSpinBox* MakeSpin(int low, int high) {
  auto* spin = new QSpinBox;
  spin->setRange(low, high);
  return spin;
}

int ToInt(const VARIANT& v) {
  Variant copy(v);
  Check(copy.ChangeType(VT_I4));
  return copy.lVal;
}

}  // namespace

TKeyProps::TKeyProps(QWidget* parent) : PropertyPage(parent) {
  setWindowTitle(QStringLiteral("KeyProps"));
  resize(406, 292);
  Position = MakeSpin(INT_MIN, INT_MAX);
  Length = MakeSpin(INT_MIN, INT_MAX);
  KeyType = new QComboBox;
  for (const char* name : kKeyTypeNames) KeyType->addItem(QString::fromLatin1(name));
  Extended = MakeSpin(0, 255);
  Duplicates = new QCheckBox(QStringLiteral("&Duplicates"));
  Modifiable = new QCheckBox(QStringLiteral("&Modifiable"));
  SegmentFollows = new QCheckBox(QStringLiteral("Segment &Follows"));
  AllSegmentNull = new QCheckBox(QStringLiteral("All Segment &Null"));
  ACS = new QCheckBox(QStringLiteral("&Alternate Collating Sequence"));
  NulSegment = new QCheckBox(QStringLiteral("Null &Segment"));
  Descending = new QCheckBox(QStringLiteral("Des&cending"));
  CaseInsensitive = new QCheckBox(QStringLiteral("Case &Insensitive"));
  TabSet1 = new QTabBar;
  TabSet1->setShape(QTabBar::RoundedSouth);
  TabSet1->setExpanding(false);
  TabSet1->setUsesScrollButtons(true);
  Insert = new QPushButton(QStringLiteral("Insert"));
  Add = new QPushButton(QStringLiteral("Add"));
  Delete = new QPushButton(QStringLiteral("Delete"));
  Insert->setToolTip(QStringLiteral("Insert a new index segment at current position."));
  Add->setToolTip(QStringLiteral("Add a new index at the end of index list."));
  Delete->setToolTip(QStringLiteral("Delete the current index/segment."));
  Insert->setEnabled(false);
  Delete->setEnabled(false);

  auto* values = new QGridLayout;
  auto label = [](const QString& text, QWidget* buddy) {
    auto* l = new QLabel(text);
    l->setBuddy(buddy);
    return l;
  };
  values->addWidget(label(QStringLiteral("&Position"), Position), 0, 0);
  values->addWidget(Position, 0, 1);
  values->addWidget(label(QStringLiteral("&Length"), Length), 1, 0);
  values->addWidget(Length, 1, 1);
  values->addWidget(label(QStringLiteral("&Type"), KeyType), 2, 0);
  values->addWidget(KeyType, 2, 1);
  values->addWidget(label(QStringLiteral("&Extended Type"), Extended), 3, 0);
  values->addWidget(Extended, 3, 1);
  QCheckBox* boxes[] = {Duplicates, Modifiable, SegmentFollows, AllSegmentNull,
                        ACS,        NulSegment, Descending,     CaseInsensitive};
  auto* flags = new QVBoxLayout;
  for (QCheckBox* box : boxes) flags->addWidget(box);
  auto* top = new QHBoxLayout;
  top->addLayout(values);
  top->addLayout(flags);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Insert);
  buttons->addWidget(Add);
  buttons->addWidget(Delete);
  buttons->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addStretch();
  layout->addLayout(buttons);
  layout->addWidget(TabSet1);

  for (QSpinBox* spin : {Position, Length, Extended})
    connect(spin, &QSpinBox::valueChanged, this, [this, spin] { ValueChanged(spin); });
  connect(KeyType, &QComboBox::currentIndexChanged, this, [this] { ValueChanged(KeyType); });
  for (QCheckBox* box : boxes) {
    if (box == SegmentFollows) continue;
    connect(box, &QCheckBox::clicked, this, [this, box] { ValueChanged(box); });
  }
  connect(SegmentFollows, &QCheckBox::clicked, this,
          [this] { RunAction([this] { SegmentFollowsClick(); }); });
  connect(TabSet1, &QTabBar::currentChanged, this, [this](int index) {
    if (busy_) return;
    selected_ = index;
    RunAction([this, index] { ShowSegment(index); });
  });
  // With no entry selected the tab row still marks one tab as current (a tab row always
  // does); a click on it selects it all the same.
  connect(TabSet1, &QTabBar::tabBarClicked, this, [this](int index) {
    if (busy_ || index < 0 || selected_ >= 0) return;
    selected_ = index;
    RunAction([this, index] { ShowSegment(index); });
  });
  connect(Add, &QPushButton::clicked, this, [this] { RunAction([this] { AddClick(); }); });
  connect(Insert, &QPushButton::clicked, this, [this] { RunAction([this] { InsertClick(); }); });
  connect(Delete, &QPushButton::clicked, this, [this] { RunAction([this] { DeleteClick(); }); });
}

QStringList TKeyProps::TabLabels() const {
  QStringList labels;
  for (int i = 0; i < TabSet1->count(); ++i) labels << TabSet1->tabText(i);
  return labels;
}

void TKeyProps::UpdatePropertyPage() {
  // An error on the way is shown with the error's class as caption; the page keeps what it
  // could fill.
  RunAction([this] {
    keys_ = GetObject(Control(), &automation::IVastrel::get_Keys);
    RefreshTabs();
  });
}

bool TKeyProps::UpdateObject() {
  Check(Control()->put_Keys(keys_.get()));
  UpdatePropertyPage();
  return true;
}

ComPtr<IKey> TKeyProps::Item(int index) {
  IKey* key = nullptr;
  Check(keys_->get_Items(index, &key));
  return ComPtr<IKey>::Adopt(key);
}

void TKeyProps::SelectTab(int index) {
  selected_ = index;
  const bool was = busy_;
  busy_ = true;
  if (index >= 0) TabSet1->setCurrentIndex(index);
  busy_ = was;
  ShowSegment(index);
}

void TKeyProps::RefreshTabs() {
  const int remembered = selected_;
  {
    const bool was = busy_;
    busy_ = true;
    while (TabSet1->count() > 0) TabSet1->removeTab(TabSet1->count() - 1);
    selected_ = -1;
    int count = 0;
    if (keys_) {
      count = Get(keys_.get(), &IKeys::get_Count);
      for (int j = 0; j < count; ++j) {
        Variant key_num, segment;
        Check(keys_->KeySeg(j, &key_num, &segment));
        TabSet1->addTab(QStringLiteral("%1 - %2").arg(ToInt(key_num)).arg(ToInt(segment)));
      }
    }
    Insert->setEnabled(count != 0);
    Delete->setEnabled(count != 0);
    busy_ = was;
  }
  if (remembered >= TabSet1->count()) throw ControlError("Tab index out of bounds");
  if (remembered >= 0) {
    SelectTab(remembered);
  } else if (TabSet1->count() > 0) {
    SelectTab(0);
  }
}

void TKeyProps::ShowSegment(int index) {
  if (busy_ || index < 0) return;
  busy_ = true;
  filling_ = true;
  struct Reset {
    TKeyProps* page;
    ~Reset() {
      page->busy_ = false;
      page->filling_ = false;
    }
  } reset{this};
  RefreshTabs();
  ComPtr<IKey> key = Item(index);
  Length->setValue(Get(key.get(), &IKey::get_Length));
  Position->setValue(Get(key.get(), &IKey::get_Position));
  Duplicates->setChecked(GetBool(key.get(), &IKey::get_AllowDuplicates));
  Modifiable->setChecked(GetBool(key.get(), &IKey::get_Modifiable));
  SegmentFollows->setChecked(GetBool(key.get(), &IKey::get_Segment));
  AllSegmentNull->setChecked(GetBool(key.get(), &IKey::get_AllSegmentNull));
  ACS->setChecked(GetBool(key.get(), &IKey::get_KeySortedByACS));
  Descending->setChecked(GetBool(key.get(), &IKey::get_Descending));
  CaseInsensitive->setChecked(GetBool(key.get(), &IKey::get_CaseInsensitive));
  NulSegment->setChecked(GetBool(key.get(), &IKey::get_NullSegment));
  const int type = static_cast<int>(Get(key.get(), &IKey::get_KeyType));
  KeyType->setCurrentIndex(type >= 0 && type < KeyType->count() ? type : -1);
  Extended->setValue(Get(key.get(), &IKey::get_ExtendedType));
}

void TKeyProps::ValueChanged(QWidget* source) {
  if (busy_ || selected_ < 0) return;
  Changed();
  RunAction([&] {
    ComPtr<IKey> key = Item(selected_);
    const auto flag = [](QCheckBox* box) {
      return box->isChecked() ? VARIANT_TRUE : VARIANT_FALSE;
    };
    if (source == Position) Check(key->put_Position(Position->value()));
    if (source == Length) Check(key->put_Length(Length->value()));
    if (source == Extended) Check(key->put_ExtendedType(Extended->value()));
    if (source == KeyType && KeyType->currentIndex() >= 0)
      Check(key->put_KeyType(static_cast<TxKeyTypes>(KeyType->currentIndex())));
    if (source == Duplicates) Check(key->put_AllowDuplicates(flag(Duplicates)));
    if (source == Modifiable) Check(key->put_Modifiable(flag(Modifiable)));
    if (source == AllSegmentNull) Check(key->put_AllSegmentNull(flag(AllSegmentNull)));
    if (source == ACS) Check(key->put_KeySortedByACS(flag(ACS)));
    if (source == NulSegment) Check(key->put_NullSegment(flag(NulSegment)));
    if (source == Descending) Check(key->put_Descending(flag(Descending)));
    if (source == CaseInsensitive) Check(key->put_CaseInsensitive(flag(CaseInsensitive)));
    ShowSegment(selected_);
  });
}

void TKeyProps::SegmentFollowsClick() {
  if (busy_ || selected_ < 0) return;
  Changed();
  const bool wanted = SegmentFollows->isChecked() && selected_ != TabSet1->count() - 1;
  ComPtr<IKey> key = Item(selected_);
  if (GetBool(key.get(), &IKey::get_Segment) != wanted)
    Check(key->put_Segment(wanted ? VARIANT_TRUE : VARIANT_FALSE));
  ShowSegment(selected_);
}

void TKeyProps::AddClick() {
  Check(keys_->Insert(Get(keys_.get(), &IKeys::get_Count)));
  UpdatePropertyPage();
  ShowSegment(selected_);
  SelectTab(TabSet1->count() - 1);
  MarkDirty();
}

void TKeyProps::InsertClick() {
  Check(keys_->Insert(selected_));
  UpdatePropertyPage();
  ShowSegment(selected_);
  MarkDirty();
}

void TKeyProps::DeleteClick() {
  const bool was_last = selected_ == TabSet1->count() - 1;
  Check(keys_->Delete(selected_));
  if (was_last) {
    // The tab row still holds the deleted entry's tab; the one before it becomes the
    // selection without showing anything yet.
    busy_ = true;
    selected_ = selected_ - 1;
    if (selected_ >= 0) TabSet1->setCurrentIndex(selected_);
  }
  busy_ = false;
  UpdatePropertyPage();
  ShowSegment(selected_);
  MarkDirty();
}

}  // namespace vastrel::pages
