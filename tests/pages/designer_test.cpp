// The designer's bag file: untouched until the user applies, whatever the pages did to the
// control before; written whole on Apply and OK; left as it was by Cancel and by a bag that
// cannot be read.
#include <QFile>
#include <QTemporaryDir>

#include "hosts/designer/bag_editor.h"
#include "pages/dict_page.h"
#include "pages/flag_page.h"
#include "pages_fixture.h"

namespace vastrel::testing {
namespace {

class DesignerTest : public PagesTest {
 protected:
  QByteArray Bag() {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  void WriteBag(const QByteArray& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
  }
  TDataDictProp* DictPage(PropertySheet& sheet) {
    sheet.Tabs()->setCurrentIndex(3);
    return static_cast<TDataDictProp*>(sheet.Pages()[3]);
  }

  QTemporaryDir dir;
  QString path = dir.filePath(QStringLiteral("parts.json"));
  const QByteArray bag = R"({"DDFFields": [
    {"FieldName": "PARTNO", "FieldType": "ft_STRING", "FieldOffset": 0, "FieldSize": 6},
    {"FieldName": "NAME", "FieldType": "ft_STRING", "FieldOffset": 6, "FieldSize": 20}]})";
};

TEST_F(DesignerTest, ClearActsOnTheControlButTheFileWaitsForApply) {
  WriteBag(bag);
  designer::BagEditor editor(path);
  QString error;
  ASSERT_TRUE(editor.Load(&error)) << error.toStdString();
  PropertySheet& sheet = editor.Sheet();
  sheet.show();
  TDataDictProp* page = DictPage(sheet);
  ASSERT_EQ(page->grDict->ItemCount(), 2);
  Click(page->btnClear);
  EXPECT_EQ(page->grDict->ItemCount(), 0);
  EXPECT_EQ(Bag(), bag) << "the bag on disk waits for apply";

  Click(sheet.ApplyButton());
  EXPECT_TRUE(editor.WriteError().isEmpty()) << editor.WriteError().toStdString();
  EXPECT_FALSE(Bag().contains("PARTNO"));
  designer::BagEditor reread(path);
  ASSERT_TRUE(reread.Load(&error)) << error.toStdString();
  ComPtr<IDDFFieldItems> fields = GetObject(reread.Control(), &IVastrel::get_DDFFields);
  EXPECT_EQ(Get(fields.get(), &IDDFFieldItems::get_Count), 0);
}

TEST_F(DesignerTest, CancelLeavesTheFileAndOkWritesIt) {
  WriteBag(bag);
  for (bool ok : {false, true}) {
    {
      designer::BagEditor editor(path);
      QString error;
      ASSERT_TRUE(editor.Load(&error));
      editor.Sheet().show();
      editor.Sheet().Tabs()->setCurrentIndex(1);
      auto* flags = static_cast<TFlagProps*>(editor.Sheet().Pages()[1]);
      Click(flags->Box("ffUseVATs"));
      Click(ok ? editor.Sheet().OkButton() : editor.Sheet().CancelButton());
    }
    if (!ok) {
      EXPECT_EQ(Bag(), bag) << "cancelled";
    }
  }
  EXPECT_TRUE(Bag().contains("\"ffUseVATs\""));
  EXPECT_TRUE(Bag().contains("PARTNO"));
}

TEST_F(DesignerTest, ABagThatIsNotValidIsRefusedAndLeftAlone) {
  WriteBag("{\"PageSize\": \"big\"}");
  designer::BagEditor editor(path);
  QString error;
  EXPECT_FALSE(editor.Load(&error));
  EXPECT_TRUE(error.startsWith(path)) << error.toStdString();
  EXPECT_TRUE(error.contains(QLatin1String("PageSize"))) << error.toStdString();
  EXPECT_EQ(Bag(), QByteArray("{\"PageSize\": \"big\"}"));
}

}  // namespace
}  // namespace vastrel::testing
