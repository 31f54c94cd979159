// How the pages call the control: a failed typed call becomes a ControlError carrying the
// message the control left as error info; automation text (UTF-8 BSTRs) becomes QString and
// back. The pages hold their control and collections through ComPtr.
#pragma once

#include <QString>
#include <functional>
#include <stdexcept>

#include "automation/runtime.h"
#include "automation/vastrel_tlb.h"
#include "pages/export.h"

namespace vastrel::pages {

using automation::ComPtr;

// A failed call of the control or of one of its collections.
class VASTREL_PAGES_API ControlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  static constexpr const char* kClassName = "ControlError";
};

// Throws ControlError with the call's message when hr is a failure.
VASTREL_PAGES_API void Check(HRESULT hr);

// Reads a text property through a getter such as &IVastrel::get_TRUEFormat.
template <class I>
QString GetText(I* object, HRESULT (I::*getter)(BSTR*)) {
  BSTR s = nullptr;
  Check((object->*getter)(&s));
  QString text = QString::fromUtf8(s ? s : "");
  SysFreeString(s);
  return text;
}
// Automation text of a QString.
inline Bstr ToBstr(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  return Bstr(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}
template <class I>
void PutText(I* object, HRESULT (I::*setter)(BSTR), const QString& text) {
  Bstr s = ToBstr(text);
  Check((object->*setter)(s.get()));
}
template <class I, class T>
T Get(I* object, HRESULT (I::*getter)(T*)) {
  T value{};
  Check((object->*getter)(&value));
  return value;
}
template <class I, class P>
ComPtr<P> GetObject(I* object, HRESULT (I::*getter)(P**)) {
  P* p = nullptr;
  Check((object->*getter)(&p));
  return ComPtr<P>::Adopt(p);
}
template <class I, class P, class A>
ComPtr<P> GetObject(I* object, HRESULT (I::*getter)(A, P**), A arg) {
  P* p = nullptr;
  Check((object->*getter)(arg, &p));
  return ComPtr<P>::Adopt(p);
}
template <class I>
bool GetBool(I* object, HRESULT (I::*getter)(VARIANT_BOOL*)) {
  return Get(object, getter) != VARIANT_FALSE;
}

// Runs an action of the user; an error ends it and is shown in an error message box with
// caption `caption` (the error's class name when empty). Returns false when it failed.
VASTREL_PAGES_API bool RunAction(const std::function<void()>& action,
                                 const QString& caption = QString());

}  // namespace vastrel::pages
