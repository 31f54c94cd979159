// _vastrel: the component's objects reached by late binding (see core.h).
//
// A Python object of type Dispatch holds one IDispatch of the component and reaches it the
// way a script host does: names through GetIDsOfNames (resolved once per interface and
// name, then kept), calls through Invoke with DISPPARAMS. The type library's descriptions
// say whether a name is a property or a method, which parameters are out-parameters, and
// which results are records; the calls themselves never bypass Invoke.
//
// Values: int, float, str (UTF-8), bool, None, datetime, Dispatch, records (as Record
// objects whose attributes are the fields) and any Python object with the right attributes
// where a record is wanted. A failed call raises vastrel.Error with message, hresult, scode
// and, for engine failures, status. Event handlers run inside the call that raised the
// event; an exception a handler raises comes out of that call.
//
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "hosts/python/core.h"
#include "platform/locale.h"

namespace vastrel::python {

using automation::MemberKind;
using automation::ParamDir;

py::handle g_error;
py::handle g_datetime;
py::handle g_date;
py::handle g_time;

namespace {

std::optional<py::error_already_set> g_pending;  // raised by an event handler

}  // namespace

// ---------------------------------------------------------------------------------------
// Errors

// The engine status in a failure's message: "Text (N)\rfile".
py::object StatusOf(const std::string& message) {
  const size_t cr = message.rfind('\r');
  if (cr == std::string::npos || cr < 3 || message[cr - 1] != ')') return py::none();
  const size_t open = message.rfind('(', cr - 1);
  if (open == std::string::npos) return py::none();
  const std::string digits = message.substr(open + 1, cr - 2 - open);
  if (digits.empty() || digits.size() > 6) return py::none();
  for (size_t i = 0; i < digits.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(digits[i])) && !(i == 0 && digits[i] == '-'))
      return py::none();
  }
  return py::int_(std::stoi(digits));
}

const char* HresultName(HRESULT hr) {
  switch (hr) {
    case DISP_E_MEMBERNOTFOUND:
      return "member not found";
    case DISP_E_PARAMNOTFOUND:
      return "no parameter of that name";
    case DISP_E_TYPEMISMATCH:
      return "type mismatch";
    case DISP_E_UNKNOWNNAME:
      return "unknown name";
    case DISP_E_BADVARTYPE:
      return "value of a kind the component does not take";
    case DISP_E_OVERFLOW:
      return "value out of range";
    case DISP_E_BADPARAMCOUNT:
      return "wrong number of arguments";
    case DISP_E_PARAMNOTOPTIONAL:
      return "argument missing";
    case E_INVALIDARG:
      return "invalid argument";
    case E_NOINTERFACE:
      return "interface not supported";
    case REGDB_E_CLASSNOTREG:
      return "class not registered";
    case CONNECT_E_CANNOTCONNECT:
      return "cannot connect";
    default:
      return "call failed";
  }
}

[[noreturn]] void Raise(const std::string& message, HRESULT hr, HRESULT scode) {
  std::string shown = message;
  if (const size_t cr = shown.find('\r'); cr != std::string::npos) shown.replace(cr, 1, ": ");
  py::object e = g_error(shown);
  e.attr("message") = message;
  e.attr("hresult") = py::int_(hr);
  e.attr("scode") = py::int_(scode);
  e.attr("status") = StatusOf(message);
  PyErr_SetObject(g_error.ptr(), e.ptr());
  throw py::error_already_set();
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(hr));
  return text;
}

// An exception raised by an event handler during the call comes out first.
void RethrowPending() {
  if (g_pending) {
    py::error_already_set e = std::move(*g_pending);
    g_pending.reset();
    throw e;
  }
}

// ---------------------------------------------------------------------------------------
// The type library: which interface an object answers and what its members are

const InterfaceDesc* InterfaceByName(const char* name) {
  if (!name) return nullptr;
  for (const InterfaceDesc* i : automation::Library().interfaces)
    if (std::strcmp(i->name, name) == 0) return i;
  return nullptr;
}

const RecordDesc* RecordByName(const char* name) {
  if (!name) return nullptr;
  for (const RecordDesc* r : automation::Library().records)
    if (std::strcmp(r->name, name) == 0) return r;
  return nullptr;
}

// The library interface an object answers, found through QueryInterface; null for an
// object outside the library (a record, a host's object).
const InterfaceDesc* InterfaceOf(IDispatch* obj) {
  for (const InterfaceDesc* i : automation::Library().interfaces) {
    if (i->kind != automation::InterfaceKind::kDual) continue;
    void* p = nullptr;
    if (SUCCEEDED(obj->QueryInterface(i->iid, &p))) {
      static_cast<IUnknown*>(p)->Release();
      return i;
    }
  }
  return nullptr;
}

NameTable& ResolvedNames(const InterfaceDesc* iface) {
  static auto* tables = new std::unordered_map<const InterfaceDesc*, NameTable>();
  return (*tables)[iface];
}

// ---------------------------------------------------------------------------------------
// Values

py::object MakeRecord(IDispatch* obj, const RecordDesc& desc) {
  py::object rec = py::cast(RecordValue{desc.name});
  for (const automation::FieldDesc& f : desc.fields) {
    const char* name = f.name;
    DISPID id;
    HRESULT hr = obj->GetIDsOfNames(IID_NULL, &name, 1, 0, &id);
    Variant value;
    DISPPARAMS none;
    if (SUCCEEDED(hr))
      hr = obj->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, value.Out(), nullptr, nullptr);
    if (FAILED(hr)) Raise(std::string("reading field ") + f.name + " of a " + desc.name, hr, hr);
    rec.attr(f.name) = FromVariant(value);
  }
  return rec;
}

// A Python object seen through IDispatch: its attributes by name, its methods as calls.
// Used for event handlers (DISPIDs fixed by the event interface) and for Python objects
// passed where the component wants a dispatch object, such as a record.
class PyObjectDispatch final : public IDispatch {
  VASTREL_REFCOUNTED
 public:
  // events: the event interface whose DISPIDs name the handler's methods; with weak, the
  // object is held by a weak reference, so that a handler may own the control it listens to.
  PyObjectDispatch(py::handle obj, const InterfaceDesc* events, bool weak) : events_(events) {
    if (weak) {
      target_ = py::weakref(obj);
      weak_ = true;
    } else {
      target_ = py::reinterpret_borrow<py::object>(obj);
    }
  }
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && !(events_ && iid == events_->iid))
      return E_NOINTERFACE;
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT GetTypeInfoCount(uint32_t* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(uint32_t, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(REFIID, const char* const* names, uint32_t count, LCID,
                        DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    py::gil_scoped_acquire gil;
    HRESULT hr = S_OK;
    for (uint32_t i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      py::object obj = Target();
      if (i == 0 && names[0] && obj && py::hasattr(obj, names[0])) {
        auto it = std::find(names_.begin(), names_.end(), names[0]);
        if (it == names_.end()) it = names_.insert(names_.end(), names[0]);
        ids[0] = static_cast<DISPID>(it - names_.begin()) + 1;
      }
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT Invoke(DISPID id, REFIID, LCID, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, uint32_t*) override {
    py::gil_scoped_acquire gil;
    std::string name;
    if (events_) {
      for (const MemberDesc& m : events_->members)
        if (m.id == id) name = m.name;
    } else if (id >= 1 && static_cast<size_t>(id) <= names_.size()) {
      name = names_[id - 1];
    }
    if (name.empty()) return DISP_E_MEMBERNOTFOUND;
    py::object obj = Target();
    if (!obj) return events_ ? S_OK : DISP_E_MEMBERNOTFOUND;  // the handler is gone
    try {
      const uint32_t argc = params ? params->cArgs : 0;
      if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        if (argc != 1) return DISP_E_BADPARAMCOUNT;
        py::setattr(obj, name.c_str(), FromVariant(params->rgvarg[0]));
        return S_OK;
      }
      // A handler without a method for an event simply does not hear it.
      if (events_ && !py::hasattr(obj, name.c_str())) return S_OK;
      py::object attr = obj.attr(name.c_str());
      py::object value;
      if ((flags & DISPATCH_METHOD) && PyCallable_Check(attr.ptr())) {
        py::tuple args(argc);
        for (uint32_t i = 0; i < argc; ++i) args[i] = FromVariant(params->rgvarg[argc - 1 - i]);
        value = attr(*args);
      } else {
        if (argc != 0) return DISP_E_BADPARAMCOUNT;
        value = attr;
      }
      if (result) *result = ToVariant(value);
      return S_OK;
    } catch (py::error_already_set& e) {
      const std::string message = e.what();
      if (!g_pending) g_pending.emplace(std::move(e));
      if (excep) {
        ClearExcepInfo(excep);
        excep->bstrDescription = SysAllocString(std::string_view(message));
        excep->scode = E_FAIL;
      }
      return DISP_E_EXCEPTION;
    }
  }

 private:
  ~PyObjectDispatch() {
    py::gil_scoped_acquire gil;
    target_ = py::object();
  }
  py::object Target() const {
    if (!weak_) return target_;
    py::object o = py::reinterpret_borrow<py::object>(PyWeakref_GetObject(target_.ptr()));
    return o.is_none() ? py::object() : o;
  }

  const InterfaceDesc* events_;
  py::object target_;
  bool weak_ = false;
  std::vector<std::string> names_;
};

DATE DateOf(py::handle value) {
  int y = 1899, mo = 12, d = 30, h = 0, mi = 0, s = 0;
  double micro = 0;
  if (py::isinstance(value, g_date)) {
    y = value.attr("year").cast<int>();
    mo = value.attr("month").cast<int>();
    d = value.attr("day").cast<int>();
  }
  if (py::isinstance(value, g_datetime) || py::isinstance(value, g_time)) {
    h = value.attr("hour").cast<int>();
    mi = value.attr("minute").cast<int>();
    s = value.attr("second").cast<int>();
    micro = value.attr("microsecond").cast<double>();
  }
  DATE out;
  if (!DateFromParts(y, mo, d, h, mi, s, &out))
    throw py::value_error("a date outside the years 100 to 9999");
  // The fraction counts forward from midnight also for days before 1899-12-30.
  const double extra = micro / 86400e6;
  return out >= 0 ? out + extra : out - extra;
}

py::object DateValue(DATE d) {
  int y, mo, day, h, mi, s;
  if (!DateToParts(d, &y, &mo, &day, &h, &mi, &s))
    throw py::value_error("a date outside the years 100 to 9999");
  return g_datetime(y, mo, day, h, mi, s);
}

const Member& Dispatch::Resolve(const std::string& name) {
  NameTable& table = names_ ? *names_ : own_names_;
  if (auto it = table.find(name); it != table.end()) return it->second;
  if (!obj_) throw py::value_error("the object has been closed");
  Member* m = &table[name];
  const char* n = name.c_str();
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(obj_->GetIDsOfNames(IID_NULL, &n, 1, 0, &id))) id = DISPID_UNKNOWN;
  m->id = id;
  if (iface_ && id != DISPID_UNKNOWN) {
    for (const MemberDesc& d : iface_->members) {
      if (d.id != id) continue;
      if (d.kind == MemberKind::kPropGet) m->get = &d;
      if (d.kind == MemberKind::kPropPut) m->put = &d;
      if (d.kind == MemberKind::kMethod) m->method = &d;
    }
  }
  return *m;
}

py::object WrapDispatch(IDispatch* obj, const char* type_name) {
  if (!obj) return py::none();
  // Type names come from the library's descriptions, so their pointers stand for them.
  static std::unordered_map<const char*, std::pair<const RecordDesc*, const InterfaceDesc*>> types;
  auto [it, fresh] = types.try_emplace(type_name);
  if (fresh) it->second = {RecordByName(type_name), InterfaceByName(type_name)};
  if (const RecordDesc* r = it->second.first) return MakeRecord(obj, *r);
  const InterfaceDesc* iface = it->second.second;
  if (!iface) iface = InterfaceOf(obj);
  return py::cast(Dispatch(ComPtr<IDispatch>(obj), iface));
}

VARIANT ToVariant(py::handle value) {
  Variant v;
  if (value.is_none()) {
    v.vt = VT_NULL;
  } else if (py::isinstance<py::bool_>(value)) {
    v = Variant(value.cast<bool>());
  } else if (py::isinstance<py::int_>(value)) {
    const long long n = value.cast<long long>();  // OverflowError beyond 64 bits
    if (n >= INT32_MIN && n <= INT32_MAX)
      v = Variant(static_cast<int32_t>(n));
    else
      v = Variant(static_cast<int64_t>(n));
  } else if (py::isinstance<py::float_>(value)) {
    v = Variant(value.cast<double>());
  } else if (py::isinstance<py::str>(value)) {
    v = Variant(value.cast<std::string>());
  } else if (py::isinstance(value, g_date) || py::isinstance(value, g_time)) {
    v = Variant::Date(DateOf(value));
  } else if (py::isinstance<Dispatch>(value)) {
    IDispatch* d = value.cast<Dispatch&>().get();
    if (!d) throw py::value_error("the object has been closed");
    v = Variant(d);
  } else {
    // Any other object reaches the component as a dispatch object of its attributes.
    auto obj = ComPtr<IDispatch>::Adopt(new PyObjectDispatch(value, nullptr, false));
    v = Variant(obj.get());
  }
  return v.Detach();
}

py::object FromVariant(const VARIANT& in, const automation::TypeRef* type) {
  if (in.vt & VT_BYREF) {
    Variant v;
    if (FAILED(VariantCopyInd(&v, &in))) throw py::type_error("a value of an unknown kind");
    return FromVariant(v, type);
  }
  const VARIANT& v = in;
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return py::none();
    case VT_BOOL:
      return py::bool_(v.boolVal != 0);
    case VT_I1:
      return py::int_(v.cVal);
    case VT_UI1:
      return py::int_(v.bVal);
    case VT_I2:
      return py::int_(v.iVal);
    case VT_UI2:
      return py::int_(v.uiVal);
    case VT_I4:
      return py::int_(v.lVal);
    case VT_INT:
      return py::int_(v.intVal);
    case VT_UI4:
      return py::int_(v.ulVal);
    case VT_UINT:
      return py::int_(v.uintVal);
    case VT_I8:
      return py::int_(v.llVal);
    case VT_UI8:
      return py::int_(v.ullVal);
    case VT_R4:
      return py::float_(v.fltVal);
    case VT_R8:
      return py::float_(v.dblVal);
    case VT_CY:
      return py::float_(static_cast<double>(v.cyVal.int64) / 10000.0);
    case VT_DATE:
      return DateValue(v.date);
    case VT_BSTR: {
      const std::string_view text = BstrView(v.bstrVal);
      PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                         "surrogateescape");
      if (!s) throw py::error_already_set();
      return py::reinterpret_steal<py::object>(s);
    }
    case VT_DISPATCH:
      return WrapDispatch(v.pdispVal, type ? type->name : nullptr);
    case VT_UNKNOWN: {
      if (!v.punkVal) return py::none();
      auto d = automation::QueryAs<IDispatch>(v.punkVal);
      if (d) return WrapDispatch(d.get(), nullptr);
      throw py::type_error("an object without a dispatch interface");
    }
    case VT_ERROR:
      if (v.scode == DISP_E_PARAMNOTFOUND) return py::none();
      return py::int_(v.scode);
    default:
      throw py::type_error("a value of kind " + std::to_string(v.vt) + " has no Python form");
  }
}

// ---------------------------------------------------------------------------------------
// Calls

// The arguments of one Invoke, in the reversed order of DISPPARAMS, owning their values.
class Arguments {
 public:
  ~Arguments() {
    for (VARIANT& v : wire_) VariantClear(&v);
  }
  std::vector<VARIANT> wire_;
  std::vector<DISPID> named_;
  std::vector<Variant> outs_;  // targets of out-parameters
};

py::object Invoke(Dispatch& self, const Member& m, const char* name, uint16_t flags, py::args args,
                  py::kwargs kwargs) {
  IDispatch* obj = self.get();
  if (!obj) throw py::value_error("the object has been closed");
  const MemberDesc* desc = (flags & DISPATCH_METHOD) && m.method ? m.method : m.get;
  Arguments a;
  std::vector<Variant> positional;
  // Out-parameters the caller leaves out get a slot of their own; their values come back
  // after the result.
  size_t next = 0;
  if (desc) {
    for (const automation::ParamDesc& p : desc->params) {
      if (p.dir == ParamDir::kRetval) continue;
      if (p.dir == ParamDir::kOut) {
        a.outs_.emplace_back();
        positional.push_back(Variant::ByRef(VT_VARIANT, nullptr));  // aimed below
        continue;
      }
      if (next < args.size()) {
        Variant v;
        *static_cast<VARIANT*>(&v) = ToVariant(args[next++]);
        positional.push_back(std::move(v));
      } else if (!kwargs.empty()) {
        break;  // the rest come by name
      }
    }
  }
  for (; next < args.size(); ++next) {
    Variant v;
    *static_cast<VARIANT*>(&v) = ToVariant(args[next]);
    positional.push_back(std::move(v));
  }
  // The slots are aimed at once all are made, since making them may move them.
  for (size_t v = 0, out = 0; v < positional.size(); ++v) {
    if (positional[v].vt == (VT_VARIANT | VT_BYREF) && !positional[v].byref)
      positional[v].pvarVal = &a.outs_[out++];
  }
  // Named arguments first, with their DISPIDs from GetIDsOfNames.
  if (!kwargs.empty()) {
    std::vector<std::string> names{name};
    for (auto item : kwargs) names.push_back(item.first.cast<std::string>());
    std::vector<const char*> cnames;
    for (const std::string& n : names) cnames.push_back(n.c_str());
    std::vector<DISPID> ids(cnames.size());
    if (FAILED(obj->GetIDsOfNames(IID_NULL, cnames.data(), static_cast<uint32_t>(cnames.size()), 0,
                                  ids.data()))) {
      for (size_t i = 1; i < ids.size(); ++i)
        if (ids[i] == DISPID_UNKNOWN)
          throw py::type_error(std::string(name) + " has no parameter named " + names[i]);
    }
    size_t i = 1;
    for (auto item : kwargs) {
      a.wire_.push_back(ToVariant(item.second));
      a.named_.push_back(ids[i++]);
    }
  }
  for (auto it = positional.rbegin(); it != positional.rend(); ++it)
    a.wire_.push_back(it->Detach());
  DISPPARAMS dp;
  dp.rgvarg = a.wire_.empty() ? nullptr : a.wire_.data();
  dp.cArgs = static_cast<uint32_t>(a.wire_.size());
  dp.rgdispidNamedArgs = a.named_.empty() ? nullptr : a.named_.data();
  dp.cNamedArgs = static_cast<uint32_t>(a.named_.size());
  Variant result;
  EXCEPINFO excep;
  uint32_t arg_err = ~0u;
  const HRESULT hr = obj->Invoke(m.id, IID_NULL, 0, flags, &dp, result.Out(), &excep, &arg_err);
  const std::string message(BstrView(excep.bstrDescription));
  const HRESULT scode = excep.scode;
  ClearExcepInfo(&excep);
  RethrowPending();
  if (FAILED(hr)) {
    if (hr == DISP_E_EXCEPTION) Raise(message, hr, scode ? scode : hr);
    std::string text = std::string(name) + ": " + HresultName(hr) + " (" + Hex(hr) + ")";
    if (arg_err < dp.cArgs) {
      if (arg_err < dp.cNamedArgs)
        text += " in a named argument";
      else
        text += " in argument " + std::to_string(dp.cArgs - arg_err);
    }
    Raise(text, hr, hr);
  }
  const automation::TypeRef* ret_type = nullptr;
  if (desc)
    for (const automation::ParamDesc& p : desc->params)
      if (p.dir == ParamDir::kRetval) ret_type = &p.type;
  if (a.outs_.empty()) return FromVariant(result, ret_type);
  py::list values;
  if (ret_type) values.append(FromVariant(result, ret_type));
  for (const Variant& o : a.outs_) values.append(FromVariant(o));
  if (values.size() == 1) return values[0];
  return py::tuple(values);
}

bool TakesArguments(const MemberDesc* d) {
  for (const automation::ParamDesc& p : d->params)
    if (p.dir != ParamDir::kRetval) return true;
  return false;
}

// Makes the C++ exception in flight the Python error. Call only inside a catch block.
void SetPythonError() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

// Attribute reads of a Dispatch, as the type's getattro slot: a property without arguments
// is read now; a method or a property with arguments comes back as a Member waiting for its
// call. Names the object does not know, and names beginning with an underscore, take the
// ordinary lookup (a handler's own attributes and methods, the wrapper's own members).
PyObject* DispatchGetAttr(PyObject* self_ptr, PyObject* name_obj) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name_obj, &size);
  if (!text) return nullptr;
  if (text[0] == '_' && std::strcmp(text, "_NewEnum") != 0)
    return PyObject_GenericGetAttr(self_ptr, name_obj);
  return Slot([&]() -> PyObject* {
    py::handle self_obj(self_ptr);
    Dispatch& self = Native<Dispatch>(self_ptr);
    const std::string name(text, static_cast<size_t>(size));
    const Member& m = self.Resolve(name);
    if (m.id == DISPID_UNKNOWN) return PyObject_GenericGetAttr(self_ptr, name_obj);
    if (self.iface() && !(m.get && !TakesArguments(m.get))) {
      const uint16_t flags =
          m.method ? DISPATCH_METHOD | DISPATCH_PROPERTYGET : DISPATCH_PROPERTYGET;
      return py::cast(
                 BoundMember{py::reinterpret_borrow<py::object>(self_obj), &self, m, name, flags})
          .release()
          .ptr();
    }
    return Invoke(self, m, text, DISPATCH_PROPERTYGET, py::args(), py::kwargs()).release().ptr();
  });
}

// Attribute writes, as the type's setattro slot: a property put (by reference for an
// object). Names the object does not know go to the instance's own attributes, which only
// instances of Python subclasses (event handlers) have.
int DispatchSetAttr(PyObject* self_ptr, PyObject* name_obj, PyObject* value_ptr) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name_obj, &size);
  if (!text) return -1;
  if (text[0] == '_' || !value_ptr) return PyObject_GenericSetAttr(self_ptr, name_obj, value_ptr);
  try {
    py::handle self_obj(self_ptr);
    Dispatch& self = Native<Dispatch>(self_ptr);
    const std::string name(text, static_cast<size_t>(size));
    const Member& m = self.Resolve(name);
    if (m.id == DISPID_UNKNOWN) return PyObject_GenericSetAttr(self_ptr, name_obj, value_ptr);
    if (self.iface() && !m.put) throw py::attribute_error(name + " cannot be written");
    IDispatch* obj = self.get();
    Variant v;
    *static_cast<VARIANT*>(&v) = ToVariant(value_ptr);
    const uint16_t flags = v.vt == VT_DISPATCH ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS dp;
    dp.rgvarg = &v;
    dp.cArgs = 1;
    dp.rgdispidNamedArgs = &put;
    dp.cNamedArgs = 1;
    EXCEPINFO excep;
    uint32_t arg_err = ~0u;
    const HRESULT hr = obj->Invoke(m.id, IID_NULL, 0, flags, &dp, nullptr, &excep, &arg_err);
    const std::string message(BstrView(excep.bstrDescription));
    const HRESULT scode = excep.scode;
    ClearExcepInfo(&excep);
    RethrowPending();
    if (hr == DISP_E_EXCEPTION) Raise(message, hr, scode ? scode : hr);
    if (FAILED(hr)) Raise(name + ": " + HresultName(hr) + " (" + Hex(hr) + ")", hr, hr);
    return 0;
  } catch (...) {
    SetPythonError();
    return -1;
  }
}

// Calls of a Member, as its type's call slot.
PyObject* MemberCall(PyObject* self_ptr, PyObject* args, PyObject* kwargs) {
  return Slot([&]() -> PyObject* {
    BoundMember& b = Native<BoundMember>(self_ptr);
    py::args a = py::reinterpret_borrow<py::args>(args);
    py::kwargs k = kwargs ? py::reinterpret_borrow<py::kwargs>(kwargs) : py::kwargs();
    return Invoke(*b.target, b.member, b.name.c_str(), b.flags, a, k).release().ptr();
  });
}

Enumerator Iterate(Dispatch& self) {
  IDispatch* obj = self.get();
  if (!obj) throw py::value_error("the object has been closed");
  DISPPARAMS none;
  Variant result;
  EXCEPINFO excep;
  const HRESULT hr =
      obj->Invoke(DISPID_NEWENUM, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                  result.Out(), &excep, nullptr);
  const std::string message(BstrView(excep.bstrDescription));
  ClearExcepInfo(&excep);
  if (hr == DISP_E_MEMBERNOTFOUND) throw py::type_error("the object is not a collection");
  if (FAILED(hr)) Raise(message.empty() ? "_NewEnum failed" : message, hr, hr);
  IUnknown* unk = result.vt == VT_UNKNOWN    ? result.punkVal
                  : result.vt == VT_DISPATCH ? static_cast<IUnknown*>(result.pdispVal)
                                             : nullptr;
  auto e = automation::QueryAs<automation::IEnumVARIANT>(unk);
  if (!e) throw py::type_error("_NewEnum gave no enumerator");
  return Enumerator{e};
}

ComPtr<IDispatch> Create(const std::string& name) {
  CLSID clsid;
  HRESULT hr = S_OK;
  if (!GUID::Parse(name, &clsid)) {
    hr = automation::CLSIDFromProgID(name, &clsid);
    if (FAILED(hr)) Raise("no class is registered as \"" + name + "\"", hr, hr);
  }
  ComPtr<IDispatch> obj;
  hr = automation::CoCreateInstance(clsid, nullptr, IID_IDispatch,
                                    reinterpret_cast<void**>(obj.Out()));
  if (FAILED(hr)) Raise("cannot create \"" + name + "\": " + HresultName(hr), hr, hr);
  return obj;
}

// Connects handler (held weakly) to the control's default event interface.
void Connect(Dispatch& self, py::object handler) {
  IDispatch* obj = self.get();
  auto container = automation::QueryAs<automation::IConnectionPointContainer>(obj);
  if (!container) Raise("the object raises no events", E_NOINTERFACE, E_NOINTERFACE);
  const InterfaceDesc* events = nullptr;
  for (const automation::CoClassDesc& c : automation::Library().classes)
    if (c.default_interface == self.iface()) events = c.default_source;
  if (!events) Raise("the object's events are not described", E_NOINTERFACE, E_NOINTERFACE);
  ComPtr<automation::IConnectionPoint> point;
  HRESULT hr = container->FindConnectionPoint(events->iid, point.Out());
  if (FAILED(hr)) Raise("the object has no connection point for its events", hr, hr);
  auto sink = ComPtr<IDispatch>::Adopt(new PyObjectDispatch(handler, events, true));
  uint32_t cookie = 0;
  hr = point->Advise(sink.get(), &cookie);
  if (FAILED(hr)) Raise("connecting the event handler failed", hr, hr);
}

}  // namespace vastrel::python
