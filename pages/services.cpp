#include "pages/services.h"

#include <pwd.h>
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QTextDocument>
#include <QUrl>
#include <vector>

namespace vastrel::pages {
namespace {

Services g_desktop;
Services* g_current = nullptr;

QMessageBox::Icon IconOf(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kInformation:
      return QMessageBox::Information;
    case MessageIcon::kWarning:
      return QMessageBox::Warning;
    case MessageIcon::kError:
      return QMessageBox::Critical;
    case MessageIcon::kQuestion:
      return QMessageBox::Question;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

Services::~Services() = default;

Answer Services::Message(MessageIcon icon, const QString& caption, const QString& text,
                         MessageButtons buttons) {
  QMessageBox box(
      IconOf(icon), caption, text,
      buttons == MessageButtons::kYesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  const int answer = box.exec();
  if (buttons == MessageButtons::kOk) return Answer::kOk;
  return answer == QMessageBox::Yes ? Answer::kYes : Answer::kNo;
}

QString Services::OpenFileName(QWidget* parent, const QString& title, const QString& filter) {
  return QFileDialog::getOpenFileName(parent, title, QString(), filter);
}

QString Services::SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                               const QString& default_suffix) {
  QFileDialog dialog(parent, title, QString(), filter);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix(default_suffix);
  // The page asks its own question when the file exists.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().first();
}

bool Services::RunDialog(QDialog& dialog) { return dialog.exec() == QDialog::Accepted; }

bool Services::RunPrintDialog(QWidget* parent, QPrinter& printer) {
  QPrintDialog dialog(&printer, parent);
  dialog.setOptions(QAbstractPrintDialog::PrintPageRange | QAbstractPrintDialog::PrintSelection);
  dialog.setMinMax(1, 1);
  dialog.setFromTo(1, 1);
  return dialog.exec() == QDialog::Accepted;
}

void Services::Print(const QTextDocument& document, QPrinter& printer) { document.print(&printer); }

void Services::OpenUrl(const QString& url) { QDesktopServices::openUrl(QUrl(url)); }

void Services::PlaySound(const QString&) {
  // The desktop offers no named sound events through Qt Widgets; the sound is absent, as a
  // sound that is not configured would be.
}

QString Services::UserName() {
  std::vector<char> buffer(16384);
  passwd pw;
  passwd* found = nullptr;
  QString name;
  if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found)
    name = QString::fromLocal8Bit(found->pw_name);
  else
    name = qEnvironmentVariable("USER");
  return name.left(256);
}

QDateTime Services::Now() { return QDateTime::currentDateTime(); }

Services& CurrentServices() { return g_current ? *g_current : g_desktop; }

Services* SetServices(Services* services) {
  Services* previous = g_current;
  g_current = services;
  return previous;
}

}  // namespace vastrel::pages
