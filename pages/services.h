// The pages' ways out to the desktop: message boxes, file dialogs, modal dialogs, the print
// dialog and the printer, the shell's "open", named sound events, the logon name and the
// clock. Each page asks CurrentServices(); a test installs its own services to answer a
// question, pick a file or a printer and record what was shown, so that nothing modal
// blocks. Used on the user-interface thread only.
#pragma once

#include <QDateTime>
#include <QString>

#include "pages/export.h"

class QDialog;
class QPrinter;
class QTextDocument;
class QWidget;

namespace vastrel::pages {

enum class MessageIcon { kInformation, kWarning, kError, kQuestion };
enum class MessageButtons { kOk, kYesNo };
enum class Answer { kOk, kYes, kNo };

class VASTREL_PAGES_API Services {
 public:
  virtual ~Services();
  // Shows a message box with no owner window, on top of other windows.
  virtual Answer Message(MessageIcon icon, const QString& caption, const QString& text,
                         MessageButtons buttons = MessageButtons::kOk);
  // The chosen file, or an empty text when the user cancelled.
  virtual QString OpenFileName(QWidget* parent, const QString& title, const QString& filter);
  virtual QString SaveFileName(QWidget* parent, const QString& title, const QString& filter,
                               const QString& default_suffix);
  // Runs a dialog modally; true when it was accepted.
  virtual bool RunDialog(QDialog& dialog);
  // Lets the user pick and set up a printer; false when cancelled.
  virtual bool RunPrintDialog(QWidget* parent, QPrinter& printer);
  // Prints a document on a printer that RunPrintDialog set up.
  virtual void Print(const QTextDocument& document, QPrinter& printer);
  // Asks the desktop to open a link; the outcome is not examined.
  virtual void OpenUrl(const QString& url);
  // Plays a named sound event without waiting; silently nothing where the desktop has none.
  virtual void PlaySound(const QString& event);
  // The logon name of the current user, at most 256 characters.
  virtual QString UserName();
  virtual QDateTime Now();
};

// The services in use: those installed last, or the desktop's own.
VASTREL_PAGES_API Services& CurrentServices();
// Installs services (borrowed; null goes back to the desktop's own). Returns the previous.
VASTREL_PAGES_API Services* SetServices(Services* services);

}  // namespace vastrel::pages
