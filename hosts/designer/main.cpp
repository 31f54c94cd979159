// vastrel-designer: edits a control's properties in the property-sheet frame.
//
//   vastrel-designer [BAG.json]            edit the bag (a new control when it is missing)
//   vastrel-designer --screenshot DIR [BAG.json]
//                                          render every page and dialog to PNG in DIR
//
// The bag on disk changes only when the user presses OK or Apply; Cancel leaves it as it
// was. Exit codes: 0 success, 1 a bag or file that could not be read or written, 2 usage.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTabWidget>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <string>

#include "automation/vastrel_impl.h"
#include "hosts/designer/bag_editor.h"
#include "pages/about_box.h"
#include "pages/dict_page.h"
#include "pages/face.h"
#include "pages/help_page.h"
#include "pages/id_query.h"
#include "pages/key_page.h"
#include "pages/property_sheet.h"
#include "pages/services.h"

namespace {

using namespace vastrel;
using namespace vastrel::automation;
using namespace vastrel::pages;

constexpr const char* kUsage =
    "Usage: vastrel-designer [BAG.json]\n"
    "  or:  vastrel-designer --screenshot DIR [BAG.json]\n"
    "  or:  vastrel-designer --version\n"
    "Edits the control's property bag BAG.json in the property pages (a new control when the\n"
    "file does not exist); OK and Apply write the bag back, Cancel leaves it unchanged.\n"
    "--screenshot DIR renders every page and dialog to PNG files in DIR without a display.\n"
    "Exit codes: 0 success, 1 a file could not be read or written, 2 usage.\n";

// The control the screenshots show when no bag is given.
constexpr const char* kSampleBag = R"({
  "Keys": [
    {"AllowDuplicates": false, "AllSegmentNull": false, "CaseInsensitive": false,
     "Descending": false, "ExtendedType": 0, "KeySortedbyACS": false, "KeyType": "ktString",
     "Length": 6, "Modifiable": false, "Position": 1, "Segment": false, "NulSegment": false},
    {"AllowDuplicates": true, "AllSegmentNull": false, "CaseInsensitive": true,
     "Descending": false, "ExtendedType": 0, "KeySortedbyACS": false, "KeyType": "ktString",
     "Length": 20, "Modifiable": true, "Position": 7, "Segment": true, "NulSegment": false},
    {"AllowDuplicates": true, "AllSegmentNull": false, "CaseInsensitive": false,
     "Descending": true, "ExtendedType": 0, "KeySortedbyACS": false, "KeyType": "ktDate",
     "Length": 8, "Modifiable": true, "Position": 27, "Segment": false, "NulSegment": false}
  ],
  "DDFFields": [
    {"FieldName": "PARTNO", "FieldType": "ft_STRING", "FieldOffset": 0, "FieldSize": 6},
    {"FieldName": "NAME", "FieldType": "ft_STRING", "FieldOffset": 6, "FieldSize": 20},
    {"FieldName": "ADDED", "FieldType": "ft_DATE", "FieldOffset": 26, "FieldSize": 8},
    {"FieldName": "PRICE", "FieldType": "ft_FLOAT", "FieldOffset": 34, "FieldSize": 10},
    {"FieldName": "INSTOCK", "FieldType": "ft_BOOLEAN", "FieldOffset": 44, "FieldSize": 1}
  ],
  "DDFIndexes": [
    {"IndexName": "BYPARTNO", "IndexKeyNum": 0},
    {"IndexName": "BYNAME", "IndexKeyNum": 1}
  ],
  "FileFlags": ["ffVariableLength", "ffCompress"],
  "FileName": "parts.dat",
  "RecordSize": 45,
  "PageSize": 4096
})";

void Fail(const QString& what) { std::fprintf(stderr, "vastrel-designer: %s\n", qPrintable(what)); }

// Answers every dialog at once, so that the screenshots never wait for a user.
class ShotServices : public Services {
 public:
  Answer Message(MessageIcon, const QString&, const QString&, MessageButtons) override {
    return Answer::kOk;
  }
  bool RunDialog(QDialog&) override { return false; }
};

bool Save(const QImage& image, const QDir& dir, const char* name) {
  const QString path = dir.filePath(QString::fromLatin1(name));
  if (!image.save(path)) {
    Fail(QStringLiteral("%1: cannot write the picture").arg(path));
    return false;
  }
  return true;
}

QImage Grab(QWidget& w) {
  w.show();
  QApplication::processEvents();
  return w.grab().toImage();
}

int Screenshots(IVastrel* control, const QString& folder) {
  QDir dir(folder);
  if (!dir.mkpath(QStringLiteral("."))) {
    Fail(QStringLiteral("%1: cannot make the folder").arg(folder));
    return 1;
  }
  ShotServices services;
  SetServices(&services);
  bool ok = true;
  {
    PropertySheet sheet(control);
    sheet.resize(560, 470);
    sheet.show();
    const char* names[] = {"page-keys.png", "page-file-flags.png", "page-help.png",
                           "page-data-dictionary.png"};
    for (int i = 0; i < 4; ++i) {
      sheet.Tabs()->setCurrentIndex(i);
      if (auto* keys = dynamic_cast<TKeyProps*>(sheet.Pages()[i]))
        keys->TabSet1->setCurrentIndex(1);
      if (auto* help = dynamic_cast<TpropHelpPage*>(sheet.Pages()[i])) {
        help->Node(1)->setExpanded(true);
        help->tvwTypLib->setCurrentItem(help->Node(5));
      }
      if (auto* dict = dynamic_cast<TDataDictProp*>(sheet.Pages()[i]))
        dict->grDict->SelectCell(2, 3);
      QApplication::processEvents();
      ok = Save(sheet.grab().toImage(), dir, names[i]) && ok;
      if (auto* help = dynamic_cast<TpropHelpPage*>(sheet.Pages()[i])) {
        help->CheckBox1->setChecked(true);
        ok = Save(Grab(*help->Legend()), dir, "legend.png") && ok;
        help->CheckBox1->setChecked(false);
      }
    }
  }
  {
    QTemporaryDir temp;
    ComPtr<IDDFFieldItems> fields;
    const QString ddf = temp.filePath(QStringLiteral("parts.ddf"));
    if (SUCCEEDED(control->get_DDFFields(fields.Out()))) {
      for (const char* id : {"PARTS", "ORDERS", "Parts"}) {
        Bstr file = ToBstr(ddf), key(id);
        fields->SaveItems(file.get(), VARIANT_TRUE, VARIANT_TRUE, key.get());
      }
    }
    TfrmIDQuery query;
    query.setWindowTitle(QStringLiteral("Load Items"));
    query.lblPrompt->setText(QStringLiteral("Enter the item ID you want to load"));
    query.FillIDList(ddf);
    query.cmbIDItems->setCurrentIndex(0);
    ok = Save(Grab(query), dir, "id-query.png") && ok;
  }
  {
    TVastrelAbout about;
    ok = Save(Grab(about), dir, "about-box.png") && ok;
  }
  {
    TBtrFace face;
    const QImage shot = Grab(face);
    ok = Save(shot, dir, "face.png") && ok;
    ok = Save(shot.scaled(128, 128), dir, "face-x4.png") && ok;
  }
  SetServices(nullptr);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QString shots, bag;
  bool screenshot = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("vastrel-designer %s\n", VASTREL_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--screenshot") == 0) {
      if (i + 1 >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
      }
      screenshot = true;
      shots = QString::fromLocal8Bit(argv[++i]);
    } else if (argv[i][0] == '-' || !bag.isEmpty()) {
      std::fputs(kUsage, stderr);
      return 2;
    } else {
      bag = QString::fromLocal8Bit(argv[i]);
    }
  }
  if (screenshot && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  designer::BagEditor editor(bag);
  QString error;
  if (screenshot && bag.isEmpty()) {
    if (!editor.LoadText(kSampleBag, &error)) {
      Fail(error);
      return 1;
    }
  } else if (screenshot && !QFile::exists(bag)) {
    Fail(QStringLiteral("%1: no such file").arg(bag));
    return 1;
  } else if (!editor.Load(&error)) {
    Fail(error);
    return 1;
  }
  if (screenshot) return Screenshots(editor.Control(), shots);

  int status = 0;
  QObject::connect(&editor.Sheet(), &PropertySheet::Applied, [&] {
    if (!editor.WriteError().isEmpty()) {
      Fail(editor.WriteError());
      status = 1;
    }
  });
  editor.Sheet().exec();
  return status;
}
