// The data dictionary page driven like a user: typing into masked cells, leaving a cell,
// stepping the up-downs, the buttons and their enabling, item files with the ID dialog, and
// the format settings. The control's state is read back through its interface.
#include <QLineEdit>
#include <QTabWidget>
#include <QTemporaryDir>

#include "pages/dict_page.h"
#include "pages/id_query.h"
#include "pages/property_sheet.h"
#include "pages_fixture.h"

namespace vastrel::testing {
namespace {

class DictPageTest : public PagesTest {
 protected:
  void Open(std::initializer_list<const char*> fields, int indexes = 0) {
    ComPtr<IDDFFieldItems> items = GetObject(control.get(), &IVastrel::get_DDFFields);
    for (size_t i = 0; i < fields.size(); ++i) {
      IDDFFieldItem* added = nullptr;
      ASSERT_EQ(items->Add(&added), S_OK);
      added->Release();
    }
    for (size_t i = 0; i < fields.size(); ++i) {
      ComPtr<IDDFFieldItem> item = GetObject(items.get(), &IDDFFieldItems::get_Items, int(i));
      PutText(item.get(), &IDDFFieldItem::put_FieldName, QString::fromLatin1(fields.begin()[i]));
      ASSERT_EQ(item->put_Size(2), S_OK);
    }
    ASSERT_EQ(control->put_DDFFields(items.get()), S_OK);
    ComPtr<IDDFIndexItems> index_items = GetObject(control.get(), &IVastrel::get_DDFIndexes);
    for (int i = 0; i < indexes; ++i) {
      IDDFIndexItem* added = nullptr;
      ASSERT_EQ(index_items->Add(&added), S_OK);
      added->Release();
    }
    sheet = std::make_unique<PropertySheet>(control.get());
    sheet->resize(720, 520);
    sheet->show();
    sheet->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(sheet.get()));
    for (size_t i = 0; i < sheet->Pages().size(); ++i)
      if ((page = dynamic_cast<TDataDictProp*>(sheet->Pages()[i])))
        sheet->Tabs()->setCurrentIndex(int(i));
    ASSERT_NE(page, nullptr);
  }
  ComPtr<IDDFFieldItem> Field(int i) {
    ComPtr<IDDFFieldItems> items = GetObject(control.get(), &IVastrel::get_DDFFields);
    return GetObject(items.get(), &IDDFFieldItems::get_Items, i);
  }
  QString FieldName(int i) { return GetText(Field(i).get(), &IDDFFieldItem::get_FieldName); }
  int FieldCount() {
    ComPtr<IDDFFieldItems> items = GetObject(control.get(), &IVastrel::get_DDFFields);
    return Get(items.get(), &IDDFFieldItems::get_Count);
  }
  void ClickCell(DDFGrid* grid, int col, int row) {
    const QRect r = grid->visualRect(grid->model()->index(row - 1, col));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, r.center());
  }
  // Opens the cell's editor with F2 and types over its text.
  QLineEdit* Type(DDFGrid* grid, int col, int row, const QString& text) {
    ClickCell(grid, col, row);
    QTest::keyClick(grid, Qt::Key_F2);
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    if (!editor) return nullptr;
    editor->selectAll();
    QTest::keyClick(editor, Qt::Key_Delete);
    QTest::keyClicks(editor, text);
    return editor;
  }
  // Answers the ID dialog with a typed ID, remembering the IDs it offered.
  void AnswerID(const QString& id, bool accept = true) {
    services.dialog_answer = [this, id, accept](QDialog& d) {
      auto& query = static_cast<TfrmIDQuery&>(d);
      offered.clear();
      for (int i = 0; i < query.cmbIDItems->count(); ++i) offered << query.cmbIDItems->itemText(i);
      QTest::keyClicks(query.cmbIDItems->lineEdit(), id);
      Click(accept ? query.Button1 : query.Button2);
    };
  }

  std::unique_ptr<PropertySheet> sheet;
  TDataDictProp* page = nullptr;
  QStringList offered;
  QTemporaryDir dir;
};

TEST_F(DictPageTest, EmptyDictionaryShowsOneDisabledRowUntilAdd) {
  Open({});
  EXPECT_FALSE(page->grDict->isEnabled());
  EXPECT_EQ(page->grDict->RowCount(), 2);
  EXPECT_EQ(page->grDict->Cell(1, 1), QString());
  for (QPushButton* b :
       {page->btnRemove, page->btnClear, page->btnSave, page->btnMoveUp, page->btnMoveDown})
    EXPECT_FALSE(b->isEnabled()) << b->text().toStdString();
  EXPECT_TRUE(page->Button1->isEnabled());
  EXPECT_TRUE(page->btnLoad->isEnabled());

  Click(page->Button1);
  EXPECT_TRUE(page->grDict->isEnabled());
  EXPECT_EQ(page->grDict->RowCount(), 2);
  EXPECT_EQ(FieldCount(), 1) << "Add acts on the control at once";
  EXPECT_EQ(page->grDict->Cell(1, 1), FieldName(0));
  EXPECT_TRUE(page->btnRemove->isEnabled());
  EXPECT_TRUE(sheet->ApplyButton()->isEnabled());
}

TEST_F(DictPageTest, NamesAreUpperCasedCutAt25AndDuplicatesRefusedOnLeavingTheRow) {
  Open({"NAME", "CITY"});
  QLineEdit* editor = Type(page->grDict, 1, 2, QStringLiteral("abcdefghijklmnopqrstuvwxyz"));
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXY")) << "25 at most";
  EXPECT_EQ(FieldName(1), QStringLiteral("CITY")) << "nothing committed while typing";
  ClickCell(page->grDict, 4, 2);
  EXPECT_EQ(GetText(GetObject(page->grDict->Items(), &IDDFFieldItems::get_Items, 1).get(),
                    &IDDFFieldItem::get_FieldName),
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXY"))
      << "leaving the cell commits to the collection's item";

  Type(page->grDict, 1, 2, QStringLiteral("name"));
  ClickCell(page->grDict, 1, 1);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].caption, QStringLiteral("Field \"NAME\" exists"));
  EXPECT_EQ(services.messages[0].text, QStringLiteral("Duplicate field name not allowed."));
  EXPECT_EQ(page->grDict->Row(), 2) << "the selection stays";
  Click(sheet->ApplyButton());
  EXPECT_EQ(FieldName(1), QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXY"));
}

TEST_F(DictPageTest, TypedTextNotLeftIsDroppedByApplyAndTheButtons) {
  Open({"NAME", "CITY", "ZIP"});
  Type(page->grDict, 1, 1, QStringLiteral("lost"));
  Click(sheet->ApplyButton());
  EXPECT_EQ(FieldName(0), QStringLiteral("NAME"));
  EXPECT_EQ(page->grDict->Cell(1, 1), QStringLiteral("NAME")) << "the grid shows the stored name";
  for (QPushButton* b : {page->Button1, page->btnMoveDown, page->btnRemove}) {
    Type(page->grDict, 1, 1, QStringLiteral("lost"));
    Click(b);
    EXPECT_NE(FieldName(0), QStringLiteral("LOST")) << b->text().toStdString();
  }
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(DictPageTest, NumberCellsRefuseWhatIsNoWholeNumberOrOutOfRange) {
  Open({"NAME", "CITY"});
  ASSERT_NE(Type(page->grDict, 4, 1, QString()), nullptr);
  ClickCell(page->grDict, 4, 2);
  ASSERT_NE(Type(page->grDict, 4, 1, QStringLiteral("0")), nullptr);
  ClickCell(page->grDict, 4, 2);
  ASSERT_EQ(services.messages.size(), 2u);
  EXPECT_EQ(services.messages[0].text,
            QStringLiteral("\"\" is not a valid whole number for Size."));
  EXPECT_EQ(services.messages[1].text, QStringLiteral("Size must be 1 or more."));
  EXPECT_EQ(page->grDict->Row(), 1) << "the selection stays";
  EXPECT_EQ(page->grDict->Cell(4, 1), QStringLiteral("2")) << "the grid keeps the stored value";

  Type(page->grDict, 3, 1, QStringLiteral("12a3"));
  ClickCell(page->grDict, 3, 2);
  Click(sheet->ApplyButton());
  EXPECT_EQ(Get(Field(0).get(), &IDDFFieldItem::get_Offset), 123) << "the mask takes digits only";
  EXPECT_EQ(Get(Field(0).get(), &IDDFFieldItem::get_Size), 2);
}

TEST_F(DictPageTest, UpDownsStopAtTheirLimits) {
  Open({"NAME"}, 1);
  ClickCell(page->grDict, 4, 1);
  ASSERT_TRUE(page->edtFieldInfo->isVisible());
  for (int i = 0; i < 3; ++i) QTest::mouseClick(page->edtFieldInfo->DownButton, Qt::LeftButton);
  ClickCell(page->grDict, 3, 1);
  QTest::mouseClick(page->edtFieldInfo->DownButton, Qt::LeftButton);
  Click(sheet->ApplyButton());
  EXPECT_EQ(Get(Field(0).get(), &IDDFFieldItem::get_Size), 1) << "Size stops at 1";
  EXPECT_EQ(Get(Field(0).get(), &IDDFFieldItem::get_Offset), 0) << "Offset stops at 0";

  page->pagctrlDDF->setCurrentIndex(1);
  Type(page->grIndex, 2, 1, QStringLiteral("9999"));
  ClickCell(page->grIndex, 1, 1);
  ClickCell(page->grIndex, 2, 1);
  ASSERT_TRUE(page->edtIndexKey->isVisible());
  QTest::mouseClick(page->edtIndexKey->UpButton, Qt::LeftButton);
  Click(sheet->ApplyButton());
  ComPtr<IDDFIndexItems> indexes = GetObject(control.get(), &IVastrel::get_DDFIndexes);
  ComPtr<IDDFIndexItem> index = GetObject(indexes.get(), &IDDFIndexItems::get_Items, 0);
  EXPECT_EQ(Get(index.get(), &IDDFIndexItem::get_IndexKeyNum), 9999) << "no step above 9999";
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(DictPageTest, MovesExchangeNeighboursAndFollowTheSelection) {
  Open({"A", "B", "C"});
  ClickCell(page->grDict, 1, 2);
  EXPECT_TRUE(page->btnMoveUp->isEnabled());
  Click(page->btnMoveUp);
  EXPECT_EQ(FieldName(0), QStringLiteral("B"));
  EXPECT_EQ(FieldName(1), QStringLiteral("A"));
  EXPECT_EQ(page->grDict->Row(), 1);
  EXPECT_FALSE(page->btnMoveUp->isEnabled());
  ClickCell(page->grDict, 1, 3);
  EXPECT_FALSE(page->btnMoveDown->isEnabled());
  EXPECT_EQ(page->FieldStatusBar->Panels[2]->text(), QStringLiteral("Rec: 3/3"));
}

TEST_F(DictPageTest, SaveAsksOnlyForAnExistingFileAndLoadOffersEachIdOnce) {
  Open({"NAME", "CITY"});
  services.file = dir.filePath(QStringLiteral("items.ddf"));
  AnswerID(QStringLiteral("Cust"));
  Click(page->btnSave);
  EXPECT_TRUE(services.messages.empty()) << "a new file asks nothing";
  EXPECT_TRUE(offered.isEmpty());
  EXPECT_EQ(page->FieldStatusBar->Panels[1]->text(), QStringLiteral("ID: Cust"));
  EXPECT_EQ(page->IndexStatusBar->Panels[1]->text(), QStringLiteral("ID: N/A"));

  AnswerID(QStringLiteral("other"));
  services.answers = {Answer::kNo};
  Click(page->btnSave);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].caption, QStringLiteral("Save DDF File"));
  EXPECT_EQ(offered, QStringList{QStringLiteral("Cust")});
  AnswerID(QStringLiteral("CUST"));
  services.answers = {Answer::kNo};
  Click(page->btnSave);
  EXPECT_EQ(offered, (QStringList{QStringLiteral("Cust"), QStringLiteral("other")}))
      << "IDs once each, without regard to case, in the order met";

  AnswerID(QStringLiteral("other"));
  services.answers = {Answer::kYes};
  Click(page->btnSave);
  AnswerID(QStringLiteral("other"), false);
  Click(page->btnLoad);
  EXPECT_EQ(offered, QStringList{QStringLiteral("other")}) << "Yes overwrote the file";
  EXPECT_EQ(FieldCount(), 2) << "a cancelled ID dialog loads nothing";
}

TEST_F(DictPageTest, LoadReplacesTheActiveDictionaryAndMarksTheIndexTabOnly) {
  Open({"NAME", "CITY", "ZIP"}, 2);
  page->pagctrlDDF->setCurrentIndex(1);
  services.file = dir.filePath(QStringLiteral("keys.ddf"));
  AnswerID(QStringLiteral("K"));
  Click(page->btnSave);
  Click(page->btnClear);
  EXPECT_EQ(page->grIndex->ItemCount(), 0);
  EXPECT_FALSE(page->btnSave->isEnabled());
  Click(page->btnLoad);
  EXPECT_EQ(page->grIndex->ItemCount(), 2);
  EXPECT_EQ(page->grIndex->Row(), 1);
  EXPECT_EQ(page->IndexStatusBar->Panels[1]->text(), QStringLiteral("ID: K"));
  EXPECT_EQ(page->FieldStatusBar->Panels[1]->text(), QStringLiteral("ID: N/A"));
  EXPECT_EQ(FieldCount(), 3);
}

TEST_F(DictPageTest, FormatChecksOnLeavingAndOnApply) {
  Open({"NAME"});
  page->cmbDecSep->setFocus();
  page->cmbDecSep->lineEdit()->selectAll();
  QTest::keyClicks(page->cmbDecSep->lineEdit(), QStringLiteral(",,"));
  page->edtTrueFormat->setFocus();
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text,
            QStringLiteral("The format string used for DECIMAL SEPARATOR is invalid."));
  EXPECT_TRUE(page->cmbDecSep->hasFocus()) << "the focus goes back";
  QTest::keyClick(page->cmbDecSep->lineEdit(), Qt::Key_Backspace);

  page->edtTrueFormat->setFocus();
  page->edtTrueFormat->selectAll();
  QTest::keyClicks(page->edtTrueFormat, QStringLiteral("   "));
  Click(page->Button1);  // Add applies first: the warning, and the field is added all the same
  Click(sheet->ApplyButton());
  ASSERT_GE(services.messages.size(), 3u);
  EXPECT_EQ(services.messages.back().caption, QStringLiteral("Warning"));
  EXPECT_EQ(FieldCount(), 2) << "dictionary edits stay in the control";
  EXPECT_EQ(GetText(control.get(), &IVastrel::get_TRUEFormat), QStringLiteral("1"));
  EXPECT_EQ(GetText(control.get(), &IVastrel::get_DecimalSeparator), QStringLiteral("."));
  EXPECT_TRUE(sheet->ApplyButton()->isEnabled()) << "the page stays dirty";
}

}  // namespace
}  // namespace vastrel::testing
