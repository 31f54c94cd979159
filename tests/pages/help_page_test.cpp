// The help page, its printing and legend, the link label's rules, the about box and the
// control's face.
#include <QCheckBox>
#include <QFile>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTextDocument>
#include <set>

#include "pages/about_box.h"
#include "pages/face.h"
#include "pages/help_page.h"
#include "pages/help_tree.h"
#include "pages/hot_link_label.h"
#include "pages/icons.h"
#include "pages_fixture.h"

namespace vastrel::testing {
namespace {

// Prints into a PDF file and keeps the text it was given.
class PdfServices : public RecordingServices {
 public:
  bool RunPrintDialog(QWidget*, QPrinter& printer) override {
    if (pdf.isEmpty()) return false;
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdf);
    return true;
  }
  void Print(const QTextDocument& document, QPrinter& printer) override {
    printed = document.toPlainText();
    Services::Print(document, printer);
  }
  QString pdf;
  QString printed;
};

class HelpPageTest : public PagesTest {
 protected:
  HelpPageTest() {
    SetServices(&pdf_services);
    page.show();
  }
  void Select(int node) {
    QTreeWidgetItem* item = page.Node(node);
    for (QTreeWidgetItem* p = item->parent(); p; p = p->parent()) p->setExpanded(true);
    page.tvwTypLib->scrollToItem(item);
    QTest::mouseClick(page.tvwTypLib->viewport(), Qt::LeftButton, {},
                      page.tvwTypLib->visualItemRect(item).center());
  }
  static int IndexOf(const QString& text, int from = 0) {
    const auto& tree = HelpTree();
    for (size_t i = from; i < tree.size(); ++i)
      if (tree[i].text == text) return static_cast<int>(i);
    return -1;
  }

  PdfServices pdf_services;
  TpropHelpPage page;
};

TEST_F(HelpPageTest, TheTreeHoldsEveryNodeWithHelpForMembersOnly) {
  const auto& tree = HelpTree();
  ASSERT_EQ(tree.size(), 270u);
  EXPECT_EQ(page.tvwTypLib->topLevelItem(0)->childCount(), 19);
  EXPECT_TRUE(page.Node(0)->isExpanded()) << "shown with the root expanded";
  const InterfaceDesc& ivastrel = IVastrel::Desc();
  for (size_t i = 1; i < tree.size(); ++i) {
    const HelpNode& n = tree[i];
    const bool value = n.icon == kIconEnumValue || n.icon == kIconRecordField;
    EXPECT_EQ(n.help.isEmpty(), value) << n.text.toStdString();
    EXPECT_FALSE(n.help.endsWith(QLatin1String(" ."))) << n.text.toStdString();
    // The interface's members all exist on the control, bar the two the reference keeps.
    if (n.depth == 2 && n.parent == 1 && n.text != QLatin1String("About") &&
        n.text != QLatin1String("Update")) {
      EXPECT_NE(FindMemberId(ivastrel, n.text.toStdString()), DISPID_UNKNOWN)
          << n.text.toStdString();
    }
  }

  Select(1);
  EXPECT_EQ(page.Label1->text(), tree[1].help);
  EXPECT_TRUE(page.Label1->text().startsWith(QLatin1String("This is the main COM interface")));
  Select(IndexOf(QStringLiteral("utAllMulti")));
  EXPECT_EQ(page.Label1->text(), QString());
  Select(IndexOf(QStringLiteral("ffUseVATs")));
  EXPECT_EQ(page.Label1->text(), QString());
}

TEST_F(HelpPageTest, ExpandAllAndCollapseAllFromTheKeyboard) {
  page.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&page));
  page.tvwTypLib->setFocus();
  QTest::keyClick(page.tvwTypLib, Qt::Key_E, Qt::ControlModifier);
  for (int i = 0; i < 19; ++i) EXPECT_TRUE(page.Node(0)->child(i)->isExpanded()) << i;
  QTest::keyClick(page.tvwTypLib, Qt::Key_C, Qt::ControlModifier);
  EXPECT_FALSE(page.Node(0)->isExpanded());
  EXPECT_FALSE(page.Node(1)->isExpanded());
}

TEST_F(HelpPageTest, PrintingSendsTwoLinesPerNodeAndReportsThePrinter) {
  QTemporaryDir dir;
  pdf_services.pdf = dir.filePath(QStringLiteral("manual.pdf"));
  Click(page.btnPrint);
  const QStringList lines = pdf_services.printed.split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 540);
  EXPECT_EQ(lines[0], QStringLiteral("\t[Vastrel User Guide - Welcome]"));
  EXPECT_EQ(lines[1], QStringLiteral("\t* ") + HelpTree()[0].help);
  EXPECT_EQ(lines[2], QStringLiteral("\t\t[IVastrel]"));
  EXPECT_EQ(lines[4], QStringLiteral("\t\t\t[CallBtrieve]")) << "a member: three tabs";
  EXPECT_EQ(lines[5], QStringLiteral("\t\t\t* ") + HelpTree()[2].help);
  const int value = IndexOf(QStringLiteral("utSingleSingle"));
  EXPECT_EQ(lines[2 * value + 1], QStringLiteral("\t\t\t* ")) << "an empty help text";

  QFile pdf(pdf_services.pdf);
  ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
  EXPECT_TRUE(pdf.read(5).startsWith("%PDF-"));
  ASSERT_EQ(pdf_services.messages.size(), 1u);
  EXPECT_EQ(pdf_services.messages[0].caption, QStringLiteral("Print"));
  EXPECT_EQ(pdf_services.messages[0].text,
            QStringLiteral("User manual successfully sent to printer %1.\n"
                           "User: tester, 07-Mar-2026, 09:05:02")
                .arg(pdf_services.pdf));

  pdf_services.pdf.clear();  // the print dialog cancelled: nothing printed, nothing said
  pdf_services.printed.clear();
  Click(page.btnPrint);
  EXPECT_TRUE(pdf_services.printed.isEmpty());
  EXPECT_EQ(pdf_services.messages.size(), 1u);
}

TEST_F(HelpPageTest, LegendClosedByItsButtonUnticksTheBoxAndComesBackTheSame) {
  Click(page.CheckBox1);
  TfrmLegend* legend = page.Legend();
  ASSERT_NE(legend, nullptr);
  EXPECT_TRUE(legend->isVisible());
  EXPECT_EQ(legend->pos(), QPoint(0, 0));
  EXPECT_EQ(legend->Pictures[0]->pixmap().toImage(), HelpImageList()[kIconInterface].toImage());
  legend->close();
  EXPECT_FALSE(page.CheckBox1->isChecked());
  EXPECT_FALSE(legend->isVisible());
  legend->move(40, 40);
  Click(page.CheckBox1);
  EXPECT_EQ(page.Legend(), legend);
  EXPECT_TRUE(legend->isVisible());
  EXPECT_EQ(legend->pos(), QPoint(0, 0));
  EXPECT_TRUE(page.UpdateObject());
  EXPECT_FALSE(legend->isVisible()) << "applying closes the legend";
  EXPECT_FALSE(page.CheckBox1->isChecked());
}

TEST_F(HelpPageTest, DateLinesReadMonthDayYear) {
  EXPECT_EQ(page.DateLbl->text(), QStringLiteral("Latest update: 7-20-2000"));
  TVastrelAbout about;
  EXPECT_EQ(about.DateLbl->text(), QStringLiteral("Last modification: 7-20-2000"));
}

TEST_F(PagesTest, LinkLabelKeepsTypeProtocolAndDestinationTogether) {
  THotLinkLabel label;
  label.SetLinkDestination(QStringLiteral("MAILTO:Someone@Example.ORG"));
  EXPECT_EQ(label.LinkType(), TLinkType::ltMAILTO);
  EXPECT_EQ(label.LinkProtocol(), QStringLiteral("mailto:"));
  EXPECT_EQ(label.LinkDestination(), QStringLiteral("someone@example.org"));
  label.SetLinkDestination(QStringLiteral("HTTPS://Example.org"));
  EXPECT_EQ(label.LinkType(), TLinkType::ltHTTPS);
  label.SetLinkDestination(QStringLiteral("plain.example"));
  EXPECT_EQ(label.LinkType(), TLinkType::ltHTTPS) << "no prefix: type and protocol stay";
  label.SetLinkDestination(QString());
  EXPECT_EQ(label.LinkType(), TLinkType::ltNone);
  EXPECT_EQ(label.LinkProtocol(), QString());

  label.SetLinkDestination(QStringLiteral("dest"));
  label.SetLinkProtocol(QStringLiteral("MyProto:"));
  EXPECT_EQ(label.LinkType(), TLinkType::ltCUSTOM);
  label.SetLinkType(TLinkType::ltCUSTOM);
  EXPECT_EQ(label.LinkProtocol(), QStringLiteral("myproto:"));
  label.show();
  QTest::mouseClick(&label, Qt::LeftButton);
  ASSERT_EQ(services.opened.size(), 1u);
  EXPECT_EQ(services.opened[0], QStringLiteral("myproto:dest"));

  label.SetLinkType(TLinkType::ltNone);
  EXPECT_EQ(label.LinkDestination(), QString());
  services.sounds.clear();
  QTest::mouseClick(&label, Qt::LeftButton);
  EXPECT_EQ(services.opened.size(), 1u) << "ltNone opens nothing";
  EXPECT_EQ(services.sounds, std::vector<QString>{QStringLiteral("MenuPopup")});
}

TEST_F(PagesTest, LinkLabelHoverColoursGrowsAndGoesBack) {
  QWidget host;
  THotLinkLabel label(&host);
  label.setGeometry(10, 10, 80, 20);
  host.show();
  QEnterEvent enter(QPointF(5, 5), QPointF(15, 15), QPointF(15, 15));
  QApplication::sendEvent(&label, &enter);
  EXPECT_EQ(label.geometry(), QRect(9, 9, 81, 21));
  EXPECT_EQ(label.palette().color(QPalette::WindowText), QColor(Qt::red));
  EXPECT_EQ(services.sounds, std::vector<QString>{QStringLiteral("MenuCommand")});
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&label, &leave);
  EXPECT_EQ(label.geometry(), QRect(10, 10, 80, 20));
  EXPECT_EQ(label.palette().color(QPalette::WindowText), QColor(Qt::blue));
}

TEST_F(PagesTest, AboutBoxThroughTheControl) {
  QString shown;
  services.dialog_answer = [&](QDialog& d) {
    shown = d.windowTitle();
    EXPECT_EQ(d.size(), QSize(263, 190));
    Click(static_cast<TVastrelAbout&>(d).OKButton);
  };
  EXPECT_EQ(control->AboutBox(), S_OK);
  EXPECT_EQ(shown, QStringLiteral("About"));
}

TEST_F(PagesTest, FacePaintsPurpleUnderTheGlyph) {
  TBtrFace face;
  EXPECT_EQ(face.size(), QSize(32, 32));
  const QImage shot = face.grab().toImage();
  const QImage glyph = ControlGlyph();
  int purple = 0, glyph_pixels = 0;
  for (int y = 1; y < 31; ++y)
    for (int x = 1; x < 31; ++x) {
      const QRgb g = glyph.pixel(x, y);
      if (qAlpha(g) == 0) {
        purple += shot.pixelColor(x, y) == QColor(128, 0, 128);
      } else if (qAlpha(g) == 255) {
        glyph_pixels += shot.pixel(x, y) == g;
      }
    }
  EXPECT_GT(purple, 300);
  EXPECT_GT(glyph_pixels, 100);
  EXPECT_EQ(shot.pixelColor(0, 0), QColor(Qt::black)) << "the rectangle's outline";
}

}  // namespace
}  // namespace vastrel::testing
