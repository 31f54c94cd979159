// ComLib: the enumerator that every _NewEnum of the control's collections returns, and the
// item-source contract it walks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "automation/runtime.h"
#include "platform/export.h"
#include "platform/oleauto.h"

namespace vastrel::automation {

// What an enumerator walks: a number of items and the item at a 0-based position, asked
// anew at every step so that an enumeration sees changes made while it runs.
struct VASTREL_API IVariantCollection : IUnknown {
  static constexpr IID kIID = MakeGuid("0B7C2A4E-6F1D-4E43-9C55-3A1E8F0D7B21");
  virtual int32_t ItemCount() = 0;
  // *out receives the item (it is cleared first).
  virtual HRESULT ItemAt(int32_t index, VARIANT* out) = 0;
  // The object the enumerator keeps alive while it lives; may be null.
  virtual IUnknown* Owner() = 0;

 protected:
  ~IVariantCollection() = default;
};

// A new enumerator over source at position 0. The enumerator holds a reference on the
// source and on its owner.
VASTREL_API ComPtr<IEnumVARIANT> MakeEnumerator(IVariantCollection* source);

// A token shared by a control and the automation objects made over its table: the objects
// ask it before they touch the table, so that after the control is gone they fail with
// kControlGone instead of reaching freed data.
struct ControlLink {
  bool alive = true;
};
inline constexpr const char* kControlGone = "The control that owned this object no longer exists";
// Throws vastrel::Exception(kControlGone) when the control is gone.
VASTREL_API void RequireAlive(const std::shared_ptr<ControlLink>& link);

// Automation text (UTF-8) in the table's single-byte form, and back into a new BSTR for a
// result (E_POINTER for a null out, E_OUTOFMEMORY when it cannot be made).
VASTREL_API std::string TableText(const char* automation_text);
VASTREL_API HRESULT GiveText(std::string_view table_text, BSTR* out);

}  // namespace vastrel::automation
