#include "automation/dispatch.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/locale.h"

namespace vastrel::automation {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  return platform::Locale::EqualNoCase(a, b);
}

// The 0-based position of a parameter name in a comma-separated list, or -1.
int ParamIndex(const char* names, std::string_view name) {
  std::string_view rest(names ? names : "");
  for (int i = 0; !rest.empty(); ++i) {
    const size_t comma = rest.find(',');
    if (SameName(rest.substr(0, comma), name)) return i;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return -1;
}

}  // namespace

MemberIndex::MemberIndex(std::span<const MemberDesc> members) {
  for (const MemberDesc& m : members) {
    auto it =
        std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.id == m.id; });
    if (it == slots_.end()) it = slots_.insert(slots_.end(), Slot{m.id, nullptr, nullptr, nullptr});
    switch (m.kind) {
      case MemberKind::kMethod:
        it->method = &m;
        break;
      case MemberKind::kPropGet:
        it->get = &m;
        break;
      case MemberKind::kPropPut:
        it->put = &m;
        break;
    }
  }
  std::sort(slots_.begin(), slots_.end(), [](const Slot& a, const Slot& b) { return a.id < b.id; });
}

const MemberIndex::Slot* MemberIndex::Find(DISPID id) const {
  auto it = std::lower_bound(slots_.begin(), slots_.end(), id,
                             [](const Slot& s, DISPID v) { return s.id < v; });
  return it != slots_.end() && it->id == id ? &*it : nullptr;
}

DISPID FindMemberId(const InterfaceDesc& iface, std::string_view name) {
  for (const MemberDesc& m : iface.members)
    if (SameName(m.name, name)) return m.id;
  return DISPID_UNKNOWN;
}

HRESULT DescGetIDsOfNames(const InterfaceDesc& iface, const char* const* names, uint32_t count,
                          DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  if (count == 0) return S_OK;
  HRESULT hr = S_OK;
  const MemberDesc* member = nullptr;
  for (const MemberDesc& m : iface.members) {
    if (names[0] && SameName(m.name, names[0])) {
      member = &m;
      // A method's parameter names live on the method, not on a property of its name.
      if (m.kind == MemberKind::kMethod) break;
    }
  }
  ids[0] = member ? member->id : DISPID_UNKNOWN;
  if (!member) hr = DISP_E_UNKNOWNNAME;
  for (uint32_t i = 1; i < count; ++i) {
    const int k = member && names[i] ? ParamIndex(member->param_names, names[i]) : -1;
    ids[i] = k;
    if (k < 0) {
      ids[i] = DISPID_UNKNOWN;
      hr = DISP_E_UNKNOWNNAME;
    }
  }
  return hr;
}

HRESULT DescInvoke(const InterfaceDesc& iface, IDispatch* self, DISPID id, uint16_t flags,
                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, uint32_t* arg_err) {
  DISPPARAMS none;
  if (!params) params = &none;
  if (params->cNamedArgs > params->cArgs || (params->cArgs && !params->rgvarg) ||
      (params->cNamedArgs && !params->rgdispidNamedArgs))
    return E_INVALIDARG;
  const MemberDesc* get = nullptr;
  const MemberDesc* put = nullptr;
  const MemberDesc* method = nullptr;
  if (iface.index) {
    if (const MemberIndex::Slot* slot = iface.index->Find(id)) {
      get = slot->get;
      put = slot->put;
      method = slot->method;
    }
  } else {
    for (const MemberDesc& m : iface.members) {
      if (m.id != id) continue;
      switch (m.kind) {
        case MemberKind::kMethod:
          method = &m;
          break;
        case MemberKind::kPropGet:
          get = &m;
          break;
        case MemberKind::kPropPut:
          put = &m;
          break;
      }
    }
  }
  const MemberDesc* target = nullptr;
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    target = put;
  } else if (flags & DISPATCH_METHOD) {
    target = method ? method : (flags & DISPATCH_PROPERTYGET) ? get : nullptr;
  } else if (flags & DISPATCH_PROPERTYGET) {
    target = get ? get : method;
  }
  if (!target) return DISP_E_MEMBERNOTFOUND;
  // A put names its value DISPID_PROPERTYPUT; a plain positional value is taken too.
  const HRESULT hr = target->invoke(self, params, result, arg_err);
  if (SUCCEEDED(hr)) return hr;
  switch (hr) {
    case DISP_E_BADPARAMCOUNT:
    case DISP_E_PARAMNOTFOUND:
    case DISP_E_PARAMNOTOPTIONAL:
    case DISP_E_TYPEMISMATCH:
    case DISP_E_OVERFLOW:
      return hr;
    default:
      break;
  }
  // The member failed: its message travels in EXCEPINFO, and stays as error info too.
  if (excep) {
    ClearExcepInfo(excep);
    const std::string message = LastErrorMessage();
    excep->bstrDescription = SysAllocString(message.empty() ? std::string_view("Unspecified error")
                                                            : std::string_view(message));
    excep->bstrSource = SysAllocString(std::string_view(iface.name));
    excep->scode = hr;
  }
  return DISP_E_EXCEPTION;
}

namespace detail {

bool IsMissing(const VARIANT& v) { return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND; }

VARIANT* FindArg(const DISPPARAMS* dp, uint32_t k, uint32_t wire_count, uint32_t* arg_index) {
  for (uint32_t j = 0; j < dp->cNamedArgs; ++j) {
    const DISPID id = dp->rgdispidNamedArgs[j];
    if (id == static_cast<DISPID>(k) || (id == DISPID_PROPERTYPUT && k + 1 == wire_count)) {
      *arg_index = j;
      return &dp->rgvarg[j];
    }
  }
  const uint32_t positional = dp->cArgs - dp->cNamedArgs;
  if (k < positional) {
    *arg_index = dp->cArgs - 1 - k;
    return &dp->rgvarg[*arg_index];
  }
  return nullptr;
}

HRESULT StoreByRef(VARIANT&& value, VARIANT* arg) {
  Variant owned;
  *static_cast<VARIANT*>(&owned) = value;  // owned frees it whatever happens below
  VariantInit(&value);
  if ((arg->vt & VT_TYPEMASK) == VT_VARIANT) {
    VARIANT* target = arg->pvarVal;
    VariantClear(target);
    *target = owned.Detach();
    return S_OK;
  }
  const VARTYPE kind = arg->vt & VT_TYPEMASK;
  if (owned.vt != kind) {
    const HRESULT hr = owned.ChangeType(kind);
    if (FAILED(hr)) return hr;
  }
  switch (kind) {
    case VT_I2:
      *arg->piVal = owned.iVal;
      break;
    case VT_UI2:
      *arg->puiVal = owned.uiVal;
      break;
    case VT_I4:
      *arg->plVal = owned.lVal;
      break;
    case VT_UI1:
      *arg->pbVal = owned.bVal;
      break;
    case VT_R8:
      *arg->pdblVal = owned.dblVal;
      break;
    case VT_DATE:
      *arg->pdate = owned.date;
      break;
    case VT_BOOL:
      *arg->pboolVal = owned.boolVal;
      break;
    case VT_BSTR:
      SysFreeString(*arg->pbstrVal);
      *arg->pbstrVal = owned.bstrVal;
      owned.vt = VT_EMPTY;
      break;
    case VT_DISPATCH:
      if (*arg->ppdispVal) (*arg->ppdispVal)->Release();
      *arg->ppdispVal = owned.pdispVal;
      owned.vt = VT_EMPTY;
      break;
    default:
      return DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

}  // namespace detail

// ---------------------------------------------------------------------------------------
// Record objects

namespace {

class TRecordObject final : public WithoutTypeInfo<IDispatch> {
  VASTREL_REFCOUNTED
 public:
  TRecordObject(const RecordDesc& desc, Variant* fields) : desc_(desc) {
    fields_.reserve(desc.fields.size());
    for (size_t i = 0; i < desc.fields.size(); ++i) fields_.push_back(std::move(fields[i]));
  }
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch) return E_NOINTERFACE;
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT GetIDsOfNames(REFIID, const char* const* names, uint32_t count, LCID,
                        DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (uint32_t i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      for (size_t f = 0; i == 0 && names[0] && f < desc_.fields.size(); ++f)
        if (SameName(desc_.fields[f].name, names[0])) ids[0] = static_cast<DISPID>(f + 1);
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT Invoke(DISPID id, REFIID, LCID, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO*, uint32_t* arg_err) override {
    if (id < 1 || static_cast<size_t>(id) > fields_.size()) return DISP_E_MEMBERNOTFOUND;
    Variant& field = fields_[id - 1];
    const uint32_t argc = params ? params->cArgs : 0;
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
      if (argc != 1) return DISP_E_BADPARAMCOUNT;
      Variant v;
      const HRESULT hr = VariantChangeType(&v, &params->rgvarg[0], 0, desc_.fields[id - 1].vt);
      if (FAILED(hr)) {
        if (arg_err) *arg_err = 0;
        return hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
      }
      field = std::move(v);
      return S_OK;
    }
    if (!(flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD))) return DISP_E_MEMBERNOTFOUND;
    if (argc != 0) return DISP_E_BADPARAMCOUNT;
    if (result) return VariantCopy(result, &field);
    return S_OK;
  }

 private:
  ~TRecordObject() = default;
  const RecordDesc& desc_;
  std::vector<Variant> fields_;
};

}  // namespace

ComPtr<IDispatch> MakeRecordObject(const RecordDesc& desc, Variant* fields) {
  return ComPtr<IDispatch>::Adopt(new TRecordObject(desc, fields));
}

HRESULT ReadRecordObject(IDispatch* obj, const RecordDesc& desc, Variant* fields) {
  if (!obj) return DISP_E_TYPEMISMATCH;
  if (desc.fields.size() > kMaxRecordFields) return DISP_E_BADVARTYPE;
  for (size_t i = 0; i < desc.fields.size(); ++i) {
    const char* name = desc.fields[i].name;
    DISPID id;
    if (FAILED(obj->GetIDsOfNames(IID_NULL, &name, 1, 0, &id))) return DISP_E_TYPEMISMATCH;
    DISPPARAMS none;
    Variant v;
    if (FAILED(obj->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &v, nullptr, nullptr)))
      return DISP_E_TYPEMISMATCH;
    const HRESULT hr = v.ChangeType(desc.fields[i].vt);
    if (FAILED(hr)) return hr;
    fields[i] = std::move(v);
  }
  return S_OK;
}

// ---------------------------------------------------------------------------------------

HRESULT InvokeByName(IDispatch* obj, std::string_view name, uint16_t flags, std::span<VARIANT> args,
                     VARIANT* result, std::string* message) {
  if (!obj) return E_POINTER;
  const std::string n(name);
  const char* names[] = {n.c_str()};
  DISPID id;
  HRESULT hr = obj->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put_id = DISPID_PROPERTYPUT;
  DISPPARAMS dp;
  dp.rgvarg = reversed.empty() ? nullptr : reversed.data();
  dp.cArgs = static_cast<uint32_t>(reversed.size());
  if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) && dp.cArgs > 0) {
    dp.rgdispidNamedArgs = &put_id;
    dp.cNamedArgs = 1;
  }
  EXCEPINFO excep;
  uint32_t arg_err = 0;
  hr = obj->Invoke(id, IID_NULL, 0, flags, &dp, result, &excep, &arg_err);
  if (message) *message = std::string(BstrView(excep.bstrDescription));
  ClearExcepInfo(&excep);
  return hr;
}

}  // namespace vastrel::automation
