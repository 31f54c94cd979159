// The key page and the file-flag page inside the property-sheet frame, driven with clicks and
// keys: tab labels from the control's own numbering, what Add, Insert and Delete discard, the
// Segment Follows rule, the custom key type, and the flags written on apply.
#include <QLineEdit>
#include <QTabWidget>

#include "keys/btrklist.h"
#include "pages/flag_page.h"
#include "pages/key_page.h"
#include "pages/property_sheet.h"
#include "pages_fixture.h"

namespace vastrel::testing {
namespace {

class KeyPageTest : public PagesTest {
 protected:
  void Open(int segments) {
    Impl().Table().Keys().SetCount(segments);
    sheet = std::make_unique<PropertySheet>(control.get());
    sheet->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet.get()));
    page = static_cast<TKeyProps*>(sheet->Pages()[0]);
  }
  ComPtr<IKey> Stored(int i) {
    ComPtr<IKeys> keys = GetObject(control.get(), &IVastrel::get_Keys);
    return GetObject(keys.get(), &IKeys::get_Items, i);
  }
  void SelectTab(int i) {
    QTest::mouseClick(page->TabSet1, Qt::LeftButton, {}, page->TabSet1->tabRect(i).center());
  }
  int StoredCount() {
    ComPtr<IKeys> keys = GetObject(control.get(), &IVastrel::get_Keys);
    return Get(keys.get(), &IKeys::get_Count);
  }

  std::unique_ptr<PropertySheet> sheet;
  TKeyProps* page = nullptr;
};

TEST_F(KeyPageTest, EmptyListThenAddCreatesAndSelectsTheFirstEntry) {
  Open(0);
  EXPECT_TRUE(page->TabLabels().isEmpty());
  EXPECT_FALSE(page->Insert->isEnabled());
  EXPECT_FALSE(page->Delete->isEnabled());
  EXPECT_FALSE(sheet->ApplyButton()->isEnabled());

  Click(page->Add);
  EXPECT_EQ(page->TabLabels(), QStringList{QStringLiteral("0 - 1")});
  EXPECT_EQ(page->SelectedIndex(), 0);
  EXPECT_TRUE(page->Insert->isEnabled());
  EXPECT_TRUE(page->Delete->isEnabled());
  EXPECT_EQ(StoredCount(), 1) << "Add acts on the control at once";
  EXPECT_TRUE(sheet->ApplyButton()->isEnabled());
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(KeyPageTest, SegmentFollowsRenumbersOnlyAfterApplyAndNeverOnTheLastEntry) {
  Open(2);
  ASSERT_EQ(page->TabLabels(), (QStringList{"0 - 1", "1 - 1"}));
  Click(page->SegmentFollows);
  EXPECT_TRUE(page->SegmentFollows->isChecked());
  EXPECT_EQ(page->TabLabels(), (QStringList{"0 - 1", "1 - 1"})) << "labels wait for apply";
  Click(sheet->ApplyButton());
  EXPECT_EQ(page->TabLabels(), (QStringList{"0 - 1", "0 - 2"}));
  EXPECT_TRUE(GetBool(Stored(0).get(), &IKey::get_Segment));

  SelectTab(1);
  ASSERT_EQ(page->SelectedIndex(), 1);
  Click(page->SegmentFollows);
  EXPECT_FALSE(page->SegmentFollows->isChecked()) << "the last entry cannot be followed";
  Click(sheet->ApplyButton());
  EXPECT_FALSE(GetBool(Stored(1).get(), &IKey::get_Segment));
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(KeyPageTest, UnappliedValuesAreLostByAddInsertAndDelete) {
  Open(2);
  for (QPushButton* button : {page->Add, page->Insert, page->Delete}) {
    page->Position->setFocus();
    page->Position->selectAll();
    QTest::keyClicks(page->Position, "77");
    ASSERT_EQ(page->Position->value(), 77);
    Click(button);
    EXPECT_EQ(Get(Stored(0).get(), &IKey::get_Position), 0) << button->text().toStdString();
    EXPECT_EQ(page->Position->value(), 0) << button->text().toStdString();
  }
}

TEST_F(KeyPageTest, DeletingTheLastEntrySelectsThePreviousAndTheOnlyOneLeavesNone) {
  Open(3);
  SelectTab(2);
  Click(page->Delete);
  EXPECT_EQ(page->TabLabels(), (QStringList{"0 - 1", "1 - 1"}));
  EXPECT_EQ(page->SelectedIndex(), 1);
  Click(page->Delete);
  Click(page->Delete);
  EXPECT_TRUE(page->TabLabels().isEmpty());
  EXPECT_EQ(page->SelectedIndex(), -1);
  EXPECT_FALSE(page->Insert->isEnabled());
  EXPECT_FALSE(page->Delete->isEnabled());
  EXPECT_EQ(StoredCount(), 0);
  EXPECT_TRUE(services.messages.empty());
}

TEST_F(KeyPageTest, CustomTypeIsUnknownAndExtendedTypeStopsAt255) {
  Open(1);
  page->KeyType->setFocus();
  QTest::keyClick(page->KeyType, Qt::Key_End);
  EXPECT_EQ(page->KeyType->currentText(), QStringLiteral("Custom"));
  ComPtr<IKeys> keys = GetObject(control.get(), &IVastrel::get_Keys);
  ComPtr<IKey> item = GetObject(keys.get(), &IKeys::get_Items, 0);
  EXPECT_EQ(Get(item.get(), &IKey::get_KeyType), TxKeyTypes::ktUnknown);

  page->Extended->setValue(254);
  page->Extended->setFocus();
  QTest::keyClick(page->Extended, Qt::Key_Up);
  QTest::keyClick(page->Extended, Qt::Key_Up);
  EXPECT_EQ(Get(item.get(), &IKey::get_ExtendedType), 255);
}

TEST_F(KeyPageTest, KeysShortenedFromOutsideReportTheLostTab) {
  Open(2);
  SelectTab(1);
  sheet->Tabs()->setCurrentIndex(1);
  ComPtr<IKeys> keys = GetObject(control.get(), &IVastrel::get_Keys);
  ASSERT_EQ(keys->Delete(1), S_OK);
  sheet->Tabs()->setCurrentIndex(0);
  ASSERT_EQ(services.messages.size(), 1u);
  EXPECT_EQ(services.messages[0].text, QStringLiteral("Tab index out of bounds"));
  EXPECT_EQ(services.messages[0].caption, QStringLiteral("ControlError"));
  EXPECT_EQ(page->SelectedIndex(), -1);
  SelectTab(page->TabSet1->currentIndex());
  EXPECT_EQ(page->SelectedIndex(), page->TabSet1->currentIndex()) << "the marked tab is selectable";
}

TEST_F(PagesTest, FlagPageWritesExactlyTheTickedFlags) {
  Impl().Table().SetFileFlags(keys::BtrFileFlags{keys::ffCompress});
  PropertySheet sheet(control.get());
  sheet.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
  sheet.Tabs()->setCurrentIndex(1);
  auto* page = static_cast<TFlagProps*>(sheet.Pages()[1]);
  EXPECT_TRUE(page->Box("ffCompress")->isChecked()) << "shown from the control";
  EXPECT_FALSE(sheet.ApplyButton()->isEnabled());

  Click(page->Box("ffCompress"));
  Click(page->Box("ff30"));
  Click(page->Box("ffUseVATs"));
  EXPECT_TRUE(sheet.ApplyButton()->isEnabled());
  const TxFileFlags before = Get(control.get(), &IVastrel::get_FileFlags);
  EXPECT_TRUE(before.ffCompress) << "nothing reaches the control before apply";

  Click(sheet.OkButton());
  const TxFileFlags after = Get(control.get(), &IVastrel::get_FileFlags);
  TxFileFlags want;
  want.ff30 = VARIANT_TRUE;
  want.ffUseVATs = VARIANT_TRUE;
  EXPECT_EQ(after, want);
  EXPECT_EQ(sheet.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace vastrel::testing
