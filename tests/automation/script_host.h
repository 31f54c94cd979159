// Calls automation objects the way a script host does: members by name through
// GetIDsOfNames and Invoke, arguments reversed into DISPPARAMS, a put's value named
// DISPID_PROPERTYPUT, failures read from EXCEPINFO.
#pragma once

#include <string>
#include <vector>

#include "automation/runtime.h"
#include "automation/vastrel_impl.h"
#include "automation/vastrel_tlb.h"
#include "platform/oleauto.h"

namespace vastrel::testing {

using automation::ComPtr;

struct Outcome {
  HRESULT hr = E_FAIL;
  Variant value;
  std::string message;  // EXCEPINFO's description on DISP_E_EXCEPTION
  uint32_t arg_err = ~0u;

  bool ok() const { return SUCCEEDED(hr); }
  int32_t Int() const {
    Variant v(value);
    return SUCCEEDED(v.ChangeType(VT_I4)) ? v.lVal : INT32_MIN;
  }
  std::string Text() const {
    Variant v(value);
    return SUCCEEDED(v.ChangeType(VT_BSTR)) ? std::string(v.Text()) : "<no text>";
  }
  IDispatch* Object() const { return value.vt == VT_DISPATCH ? value.pdispVal : nullptr; }
};

// Invokes with the arguments in natural order; named holds (DISPID, value) pairs that go
// first in DISPPARAMS, as a host passes named arguments.
inline Outcome InvokeId(IDispatch* obj, DISPID id, uint16_t flags, std::vector<Variant> args,
                        std::vector<std::pair<DISPID, Variant>> named = {}) {
  std::vector<VARIANT> wire;
  std::vector<DISPID> names;
  for (auto& [dispid, v] : named) {
    wire.push_back(v);
    names.push_back(dispid);
  }
  for (auto it = args.rbegin(); it != args.rend(); ++it) wire.push_back(*it);
  DISPPARAMS dp;
  dp.rgvarg = wire.empty() ? nullptr : wire.data();
  dp.cArgs = static_cast<uint32_t>(wire.size());
  dp.rgdispidNamedArgs = names.empty() ? nullptr : names.data();
  dp.cNamedArgs = static_cast<uint32_t>(names.size());
  Outcome out;
  EXCEPINFO excep;
  out.hr = obj->Invoke(id, IID_NULL, 0, flags, &dp, out.value.Out(), &excep, &out.arg_err);
  out.message = std::string(BstrView(excep.bstrDescription));
  ClearExcepInfo(&excep);
  return out;
}

inline DISPID IdOf(IDispatch* obj, const std::string& name) {
  const char* n = name.c_str();
  DISPID id = DISPID_UNKNOWN;
  obj->GetIDsOfNames(IID_NULL, &n, 1, 0, &id);
  return id;
}

inline Outcome Call(IDispatch* obj, const std::string& name, std::vector<Variant> args = {}) {
  const DISPID id = IdOf(obj, name);
  if (id == DISPID_UNKNOWN) return Outcome{DISP_E_UNKNOWNNAME, {}, {}, ~0u};
  return InvokeId(obj, id, DISPATCH_METHOD | DISPATCH_PROPERTYGET, std::move(args));
}

inline Outcome Get(IDispatch* obj, const std::string& name, std::vector<Variant> args = {}) {
  const DISPID id = IdOf(obj, name);
  if (id == DISPID_UNKNOWN) return Outcome{DISP_E_UNKNOWNNAME, {}, {}, ~0u};
  return InvokeId(obj, id, DISPATCH_PROPERTYGET, std::move(args));
}

inline Outcome Put(IDispatch* obj, const std::string& name, Variant value) {
  const DISPID id = IdOf(obj, name);
  if (id == DISPID_UNKNOWN) return Outcome{DISP_E_UNKNOWNNAME, {}, {}, ~0u};
  const uint16_t flags = value.vt == VT_DISPATCH ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
  return InvokeId(obj, id, flags, {}, {{DISPID_PROPERTYPUT, std::move(value)}});
}

// A new control, made through the class registry by its ProgID.
inline ComPtr<IDispatch> NewControl() {
  CLSID clsid;
  if (FAILED(automation::CLSIDFromProgID(automation::kVastrelProgID, &clsid))) return nullptr;
  ComPtr<IDispatch> control;
  if (FAILED(automation::CoCreateInstance(clsid, nullptr, IID_IDispatch,
                                          reinterpret_cast<void**>(control.Out()))))
    return nullptr;
  return control;
}

// The table behind a control made by NewControl.
inline table::TBtr& TableOf(IDispatch* control) {
  return static_cast<automation::TVastrel*>(static_cast<automation::IVastrel*>(control))->Table();
}

}  // namespace vastrel::testing
