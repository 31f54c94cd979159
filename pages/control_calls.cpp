#include "pages/control_calls.h"

#include <string>

#include "pages/services.h"

namespace vastrel::pages {

void Check(HRESULT hr) {
  if (SUCCEEDED(hr)) return;
  std::string message = automation::LastErrorMessage();
  if (message.empty()) {
    char code[32];
    snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    message = std::string("The control refused the call (") + code + ")";
  }
  throw ControlError(message);
}

bool RunAction(const std::function<void()>& action, const QString& caption) {
  QString text;
  QString title = caption;
  try {
    action();
    return true;
  } catch (const ControlError& e) {
    text = QString::fromUtf8(e.what());
    if (title.isEmpty()) title = QString::fromLatin1(ControlError::kClassName);
  } catch (const std::exception& e) {
    text = QString::fromUtf8(e.what());
    if (title.isEmpty()) title = QStringLiteral("Error");
  }
  CurrentServices().Message(MessageIcon::kError, title, text);
  return false;
}

}  // namespace vastrel::pages
