// _vastrel: the late-binding core of the Python module vastrel.
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
// Threading: everything runs on the calling thread, which holds the GIL throughout.
#include <pybind11/pybind11.h>
// After pybind11, which brings Python.h.
#include <datetime.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "automation/runtime.h"
#include "automation/vastrel_tlb.h"
#include "hosts/python/field_value.h"
#include "platform/locale.h"
#include "platform/oleauto.h"

namespace py = pybind11;

namespace vastrel::python {
namespace {

using automation::ComPtr;
using automation::InterfaceDesc;
using automation::MemberDesc;
using automation::MemberKind;
using automation::ParamDir;
using automation::RecordDesc;

// Held for the life of the process: a static py::object would be released after the
// interpreter has gone.
py::handle g_error;                              // vastrel.Error
py::handle g_datetime;                           // datetime.datetime
py::handle g_date;                               // datetime.date
py::handle g_time;                               // datetime.time
std::optional<py::error_already_set> g_pending;  // raised by an event handler

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

// What one name means on one interface.
struct Member {
  DISPID id = DISPID_UNKNOWN;
  const MemberDesc* get = nullptr;
  const MemberDesc* put = nullptr;
  const MemberDesc* method = nullptr;
};

// Names resolved once per interface, by the spelling a script used: a DISPID never changes
// for an interface.
using NameTable = std::unordered_map<std::string, Member>;
NameTable& ResolvedNames(const InterfaceDesc* iface) {
  static auto* tables = new std::unordered_map<const InterfaceDesc*, NameTable>();
  return (*tables)[iface];
}

// ---------------------------------------------------------------------------------------
// Values

class Dispatch;
VARIANT ToVariant(py::handle value);
py::object FromVariant(const VARIANT& v, const automation::TypeRef* type = nullptr);

// A record as Python sees it: an object whose attributes are the fields, in order.
struct RecordValue {
  std::string type;
};

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

class Dispatch {
 public:
  Dispatch(ComPtr<IDispatch> obj, const InterfaceDesc* iface)
      : obj_(std::move(obj)), iface_(iface), names_(iface ? &ResolvedNames(iface) : nullptr) {}
  IDispatch* get() const { return obj_.get(); }
  const InterfaceDesc* iface() const { return iface_; }
  // Resolves a name once for this object's interface; DISPID_UNKNOWN when unknown.
  const Member& Resolve(const std::string& name);
  void Close() { obj_ = nullptr; }

 private:
  ComPtr<IDispatch> obj_;
  const InterfaceDesc* iface_;
  NameTable* names_;     // shared by every object of the interface
  NameTable own_names_;  // objects outside the library
};

// The C++ object inside a Python instance of a bound type (or of a Python subclass of
// it), with the type's registration looked up once rather than on every cast.
template <class T>
T& Native(PyObject* obj) {
  static py::detail::type_info* const info = py::detail::get_type_info(typeid(T));
  return *reinterpret_cast<py::detail::instance*>(obj)->get_value_and_holder(info).value_ptr<T>();
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

// A method or parameterised property read from a Dispatch, waiting for its arguments.
struct BoundMember {
  py::object owner;  // the Dispatch, kept alive
  Dispatch* target;  // inside owner
  Member member;
  std::string name;
  uint16_t flags;
};

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

// Runs a C++ body for a CPython slot that answers an object: null with the Python error
// set when the body throws.
template <class Body>
PyObject* Slot(Body&& body) {
  try {
    return body();
  } catch (...) {
    SetPythonError();
    return nullptr;
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

// Iterates an IEnumVARIANT.
struct Enumerator {
  ComPtr<automation::IEnumVARIANT> e;
  py::object Next() {
    Variant item;
    uint32_t fetched = 0;
    const HRESULT hr = e->Next(1, item.Out(), &fetched);
    if (FAILED(hr)) Raise("enumeration failed", hr, hr);
    if (fetched == 0) throw py::stop_iteration();
    return FromVariant(item);
  }
};

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

// ---------------------------------------------------------------------------------------
// Records typed by the dictionary: the fast path of vastrel.open
//
// One object per opened table holds the control, the DISPIDs it calls and the fields of
// the dictionary. A record is read with one DataBuffer call and split into its fields by
// the control's own text rules (field_value.h), with the table's format settings as they
// were when LoadFormats last ran. A record is written once every value has been checked
// to fit: its text, each field put as the control's field write puts it, goes back with one
// DataBuffer call (or, when the text fills the buffer, field by field through
// FieldByName(...).AsString).

// What one call on the control answered, for the caller to judge.
struct Outcome {
  HRESULT hr = S_OK;
  std::string message;
  HRESULT scode = S_OK;
};

Outcome CallById(IDispatch* obj, DISPID id, uint16_t flags, VARIANT* arg, Variant* result) {
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS dp;
  dp.rgvarg = arg;
  dp.cArgs = arg ? 1 : 0;
  if (flags & DISPATCH_PROPERTYPUT) {
    dp.rgdispidNamedArgs = &put;
    dp.cNamedArgs = 1;
  }
  EXCEPINFO excep;
  Outcome o;
  o.hr =
      obj->Invoke(id, IID_NULL, 0, flags, &dp, result ? result->Out() : nullptr, &excep, nullptr);
  if (FAILED(o.hr)) {
    o.message = std::string(BstrView(excep.bstrDescription));
    o.scode = excep.scode;
  }
  ClearExcepInfo(&excep);
  RethrowPending();
  return o;
}

void Check(const Outcome& o, const char* name) {
  if (SUCCEEDED(o.hr)) return;
  if (o.hr == DISP_E_EXCEPTION) Raise(o.message, o.hr, o.scode ? o.scode : o.hr);
  Raise(std::string(name) + ": " + HresultName(o.hr) + " (" + Hex(o.hr) + ")", o.hr, o.hr);
}

// The engine status a failed call reports; -1 for none.
int EngineStatus(const Outcome& o) {
  if (o.hr != DISP_E_EXCEPTION) return -1;
  py::object s = StatusOf(o.message);
  return s.is_none() ? -1 : s.cast<int>();
}

// The engine's answers to a read that found nothing: key not found, end of file.
constexpr int kStatusKeyNotFound = 4;
constexpr int kStatusEndOfFile = 9;

// vastrel.Error with a message and details as attributes.
[[noreturn]] void RaiseDetailed(const std::string& message,
                                std::initializer_list<std::pair<const char*, py::object>> details) {
  py::object e = g_error(message);
  e.attr("message") = message;
  for (const auto& [name, value] : details) e.attr(name) = value;
  PyErr_SetObject(g_error.ptr(), e.ptr());
  throw py::error_already_set();
}

// A value's repr for a message, cut at 60 characters.
std::string Shown(py::handle value) {
  std::string text = py::repr(value).cast<std::string>();
  if (text.size() > 60) text = text.substr(0, 57) + "...";
  return text;
}

// A Python object as a Value; Refusal for an object of a kind no field holds.
Value ToValue(py::handle o, const FieldSpec& field) {
  Value v;
  PyObject* p = o.ptr();
  if (o.is_none()) return v;
  if (PyBool_Check(p)) {
    v.type = Value::Type::kBool;
    v.boolean = p == Py_True;
  } else if (PyLong_Check(p)) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(p, &overflow);
    if (overflow) throw Refusal("the integer lies beyond 64 bits");
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    v.type = Value::Type::kInt;
    v.integer = n;
  } else if (PyFloat_Check(p)) {
    v.type = Value::Type::kFloat;
    v.number = PyFloat_AS_DOUBLE(p);
  } else if (PyUnicode_Check(p)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(p, &size);
    if (!text) {
      PyErr_Clear();
      throw Refusal("the text holds a lone surrogate, which is no character");
    }
    v.type = Value::Type::kText;
    v.text.assign(text, static_cast<size_t>(size));
  } else if (PyDate_Check(p)) {
    const bool with_time = PyDateTime_Check(p);
    v.type = with_time ? Value::Type::kDateTime : Value::Type::kDate;
    v.year = PyDateTime_GET_YEAR(p);
    v.month = PyDateTime_GET_MONTH(p);
    v.day = PyDateTime_GET_DAY(p);
    if (with_time) {
      v.hour = PyDateTime_DATE_GET_HOUR(p);
      v.minute = PyDateTime_DATE_GET_MINUTE(p);
      v.second = PyDateTime_DATE_GET_SECOND(p);
      v.microsecond = PyDateTime_DATE_GET_MICROSECOND(p);
    }
  } else if (PyTime_Check(p)) {
    v.type = Value::Type::kTime;
    v.hour = PyDateTime_TIME_GET_HOUR(p);
    v.minute = PyDateTime_TIME_GET_MINUTE(p);
    v.second = PyDateTime_TIME_GET_SECOND(p);
    v.microsecond = PyDateTime_TIME_GET_MICROSECOND(p);
  } else {
    throw Refusal(std::string(KindName(field.kind)) + " does not take a value of type " +
                  py::str(o.get_type().attr("__name__")).cast<std::string>());
  }
  return v;
}

py::object Steal(PyObject* p) {
  if (!p) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(p);
}

py::object FromValue(const Value& v) {
  switch (v.type) {
    case Value::Type::kNone:
      return py::none();
    case Value::Type::kBool:
      return py::bool_(v.boolean);
    case Value::Type::kInt:
      return py::int_(v.integer);
    case Value::Type::kFloat:
      return py::float_(v.number);
    case Value::Type::kText: {
      PyObject* s = PyUnicode_DecodeUTF8(v.text.data(), static_cast<Py_ssize_t>(v.text.size()),
                                         "surrogateescape");
      if (!s) throw py::error_already_set();
      return py::reinterpret_steal<py::object>(s);
    }
    case Value::Type::kDate:
      return Steal(PyDate_FromDate(v.year, v.month, v.day));
    case Value::Type::kTime:
      return Steal(PyTime_FromTime(v.hour, v.minute, v.second, 0));
    case Value::Type::kDateTime:
      return Steal(
          PyDateTime_FromDateAndTime(v.year, v.month, v.day, v.hour, v.minute, v.second, 0));
  }
  return py::none();
}

class Fields;

// A walk along a key: the record found first, then one read of the control per step.
struct Walk {
  py::object owner;  // the Fields, kept alive
  Fields* fields;
  std::string step;
  py::object bound;
  py::object pending;  // the first record, until it is given
  bool done = false;
};

class Fields {
 public:
  // fields: (name, type, offset, size) of each field of the dictionary, in its order.
  Fields(Dispatch& control, const py::list& fields) : c_(control.get()) {
    if (!c_) throw py::value_error("the object has been closed");
    for (py::handle f : fields) {
      auto t = f.cast<py::tuple>();
      FieldSpec spec;
      spec.name = t[0].cast<std::string>();
      spec.kind = static_cast<FieldKind>(t[1].cast<int32_t>());
      spec.offset = t[2].cast<int32_t>();
      spec.size = t[3].cast<int32_t>();
      names_.push_back(py::reinterpret_borrow<py::object>(t[0]));
      by_lower_[t[0].attr("lower")()] = py::int_(specs_.size());
      specs_.push_back(std::move(spec));
    }
    for (const char* n : {"First", "Next", "Prev", "Last", "GreaterEq", "LessEq", "Equal"})
      moves_[n] = Id(c_.get(), n);
    data_buffer_ = Id(c_.get(), "DataBuffer");
    key_buffer_ = Id(c_.get(), "KeyBuffer");
    length_ = Id(c_.get(), "DataBufferLength");
    field_by_name_ = Id(c_.get(), "FieldByName");
    LoadFormats();
  }

  // Takes the table's format settings again.
  void LoadFormats() {
    formats_.true_text = Text("TRUEFormat");
    formats_.false_text = Text("FALSEFormat");
    formats_.date = Text("DATEFormat");
    formats_.time = Text("TIMEFormat");
    const std::string separator = Text("DecimalSeparator");
    formats_.decimal = separator.empty() ? '.' : separator[0];
  }

  // The record in the data buffer as a dict of field name to value.
  py::dict Read() { return Split(RecordText()); }

  // The data buffer's text, in the record's single-byte code page.
  std::string RecordText() {
    Variant buffer;
    Check(CallById(c_.get(), data_buffer_, DISPATCH_PROPERTYGET, nullptr, &buffer), "DataBuffer");
    return ToSingleByte(BstrView(buffer.bstrVal));
  }

  py::dict Split(const std::string& record) {
    py::dict out;
    for (size_t i = 0; i < specs_.size(); ++i) {
      Value v;
      try {
        v = ReadField(specs_[i], record, formats_);
      } catch (const Refusal& r) {
        RaiseDetailed("field \"" + specs_[i].name + "\" of the record: " + r.what(),
                      {{"field", names_[i]}});
      }
      if (PyDict_SetItem(out.ptr(), names_[i].ptr(), FromValue(v).ptr()) != 0)
        throw py::error_already_set();
    }
    return out;
  }

  // Runs a read of the control (First, Next, Prev, Last, GreaterEq, LessEq, Equal) and
  // answers the record reached, or None when the engine found none (end of file, key not
  // found) or, with stop, when the key buffer then holds stop. Other failures raise.
  py::object Move(const std::string& operation, const py::object& stop) {
    const auto it = moves_.find(operation);
    if (it == moves_.end()) throw py::value_error("no read named " + operation);
    const Outcome o = CallById(c_.get(), it->second, DISPATCH_METHOD, nullptr, nullptr);
    if (FAILED(o.hr)) {
      const int status = EngineStatus(o);
      if (status == kStatusEndOfFile || status == kStatusKeyNotFound) return py::none();
      Check(o, operation.c_str());
    }
    if (!stop.is_none()) {
      Variant key;
      Check(CallById(c_.get(), key_buffer_, DISPATCH_PROPERTYGET, nullptr, &key), "KeyBuffer");
      if (BstrView(key.bstrVal) == stop.cast<std::string_view>()) return py::none();
    }
    return Read();
  }

  // The records from first on, each further one read by step (Next or Prev) until the
  // key buffer holds bound (see Move).
  static Walk Records(py::object self, py::object first, const std::string& step,
                      py::object bound) {
    Fields& f = self.cast<Fields&>();
    return Walk{std::move(self), &f, step, std::move(bound), std::move(first), false};
  }

  // Puts the values of a mapping of field name (in any letter case) to value into the data
  // buffer; with fresh, into an empty record. Every value is checked before the buffer is
  // touched.
  void Write(const py::handle& values, bool fresh) {
    std::vector<std::pair<size_t, std::string>> texts;
    for (auto item : py::reinterpret_borrow<py::dict>(values)) {
      const size_t i = FieldIndex(item.first);
      std::string text;
      try {
        text = FieldText(specs_[i], ToValue(item.second, specs_[i]), formats_);
      } catch (const Refusal& r) {
        RaiseDetailed(
            "field \"" + specs_[i].name + "\" can't take " + Shown(item.second) + ": " + r.what(),
            {{"field", names_[i]}, {"value", py::reinterpret_borrow<py::object>(item.second)}});
      }
      texts.emplace_back(i, std::move(text));
    }
    Variant length;
    Check(CallById(c_.get(), length_, DISPATCH_PROPERTYGET, nullptr, &length), "DataBufferLength");
    std::string record;
    if (fresh) {
      // A new length brings a new, zeroed buffer.
      Variant longer(static_cast<int32_t>(length.lVal + 1));
      Check(CallById(c_.get(), length_, DISPATCH_PROPERTYPUT, &longer, nullptr),
            "DataBufferLength");
      Check(CallById(c_.get(), length_, DISPATCH_PROPERTYPUT, &length, nullptr),
            "DataBufferLength");
    } else {
      record = RecordText();
    }
    // The record text with every field written, put with one DataBuffer write; it adds
    // a zero byte after the text and keeps the bytes beyond, as field writes do.
    for (const auto& [i, text] : texts) record = PutField(record, specs_[i], text);
    if (record.size() < static_cast<size_t>(std::max(length.lVal, 0))) {
      Variant whole(ToUtf8(record));
      Check(CallById(c_.get(), data_buffer_, DISPATCH_PROPERTYPUT, &whole, nullptr), "DataBuffer");
      return;
    }
    // A record text that fills the buffer leaves no room for that zero byte: field by
    // field, which refuses a field beyond the buffer.
    for (auto& [i, text] : texts) {
      Variant name(specs_[i].name);
      Variant field;
      Check(CallById(c_.get(), field_by_name_, DISPATCH_METHOD, &name, &field), "FieldByName");
      if (field.vt != VT_DISPATCH || !field.pdispVal)
        Raise("FieldByName gave no field", E_FAIL, E_FAIL);
      if (as_string_ == DISPID_UNKNOWN) as_string_ = Id(field.pdispVal, "AsString");
      Variant value(ToUtf8(text));
      Check(CallById(field.pdispVal, as_string_, DISPATCH_PROPERTYPUT, &value, nullptr),
            "AsString");
    }
  }

  // The key text of a search along a key of `width` characters: the value written as the
  // field at field_index (or, with -1, text as it is), padded with blanks to the width.
  std::string KeyText(const std::string& index, int field_index, const py::handle& value,
                      int width) {
    std::string text;
    try {
      if (value.is_none()) throw Refusal("a search needs a value");
      if (field_index >= 0 && static_cast<size_t>(field_index) < specs_.size()) {
        const FieldSpec& f = specs_[static_cast<size_t>(field_index)];
        text = FieldText(f, ToValue(value, f), formats_);
      } else {
        FieldSpec any;
        any.name = index;
        any.size = width;
        text = FieldText(any, ToValue(value, any), formats_);
      }
      if (text.size() > static_cast<size_t>(width))
        throw Refusal("it needs " + std::to_string(text.size()) + " characters and the key holds " +
                      std::to_string(width));
    } catch (const Refusal& r) {
      RaiseDetailed(
          "index \"" + index + "\" can't search for " + Shown(value) + ": " + r.what(),
          {{"index", py::str(index)}, {"value", py::reinterpret_borrow<py::object>(value)}});
    }
    text.resize(static_cast<size_t>(width), ' ');
    return platform::SingleByteToUtf8(text);
  }

 private:
  static DISPID Id(IDispatch* obj, const char* name) {
    DISPID id = DISPID_UNKNOWN;
    const HRESULT hr = obj->GetIDsOfNames(IID_NULL, &name, 1, 0, &id);
    if (FAILED(hr)) Raise(std::string("the control has no member ") + name, hr, hr);
    return id;
  }

  std::string Text(const char* name) {
    Variant v;
    Check(CallById(c_.get(), Id(c_.get(), name), DISPATCH_PROPERTYGET, nullptr, &v), name);
    return platform::Utf8ToSingleByte(BstrView(v.bstrVal));
  }

  size_t FieldIndex(py::handle name) {
    if (!py::isinstance<py::str>(name))
      RaiseDetailed("field names are text, not " + Shown(name),
                    {{"field", py::reinterpret_borrow<py::object>(name)}});
    py::object found = by_lower_.attr("get")(name.attr("lower")());
    if (found.is_none()) {
      std::string known;
      for (const FieldSpec& s : specs_) known += (known.empty() ? "" : ", ") + s.name;
      RaiseDetailed("the dictionary has no field named " + Shown(name) + "; its fields: " + known,
                    {{"field", py::reinterpret_borrow<py::object>(name)}});
    }
    return found.cast<size_t>();
  }

  ComPtr<IDispatch> c_;
  std::vector<FieldSpec> specs_;
  std::vector<py::object> names_;
  py::dict by_lower_;
  Formats formats_;
  std::map<std::string, DISPID> moves_;
  DISPID data_buffer_ = DISPID_UNKNOWN, key_buffer_ = DISPID_UNKNOWN, length_ = DISPID_UNKNOWN;
  DISPID field_by_name_ = DISPID_UNKNOWN, as_string_ = DISPID_UNKNOWN;
};

PyObject* WalkNext(PyObject* self) {
  return Slot([&]() -> PyObject* {
    Walk& w = Native<Walk>(self);
    if (w.done) return nullptr;
    py::object record;
    if (!w.pending.is_none()) {
      record = std::move(w.pending);
      w.pending = py::none();
    } else {
      record = w.fields->Move(w.step, w.bound);
    }
    if (record.is_none()) {
      w.done = true;
      return nullptr;  // the end, without an exception
    }
    return record.release().ptr();
  });
}

}  // namespace
}  // namespace vastrel::python

PYBIND11_MODULE(_vastrel, m) {
  using namespace vastrel::python;
  using vastrel::IDispatch;
  using vastrel::automation::ComPtr;
  m.doc() = "The late-binding core of vastrel; use the package vastrel.";
  py::module_ datetime = py::module_::import("datetime");
  g_datetime = py::object(datetime.attr("datetime")).release();
  g_date = py::object(datetime.attr("date")).release();
  g_time = py::object(datetime.attr("time")).release();
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();
  g_error = PyErr_NewExceptionWithDoc(
      "vastrel.Error",
      "A failed call. message: the component's message; hresult: the call's result;\n"
      "scode: the member's own result; status: the engine status, or None when the\n"
      "failure did not come from the engine.",
      PyExc_Exception, nullptr);
  if (!g_error) throw py::error_already_set();
  m.attr("Error") = g_error;

  py::class_<RecordValue>(m, "Record", py::dynamic_attr(),
                          "A record of the type library: its fields are attributes.")
      .def(py::init(
          [](std::string type, py::kwargs fields) { return RecordValue{std::move(type)}; }))
      .def_readonly("_type", &RecordValue::type)
      .def("__repr__",
           [](py::object self) {
             std::string out = self.cast<RecordValue&>().type + "(";
             bool first = true;
             for (auto item : self.attr("__dict__").cast<py::dict>()) {
               if (!first) out += ", ";
               first = false;
               out +=
                   item.first.cast<std::string>() + "=" + py::repr(item.second).cast<std::string>();
             }
             return out + ")";
           })
      .def("__eq__", [](py::object a, py::object b) {
        if (!py::isinstance<RecordValue>(b)) return false;
        return a.cast<RecordValue&>().type == b.cast<RecordValue&>().type &&
               a.attr("__dict__").equal(b.attr("__dict__"));
      });

  py::class_<BoundMember> member(m, "Member",
                                 "A method or parameterised property waiting for its call.");
  member.def("__repr__", [](BoundMember& b) { return "<vastrel member " + b.name + ">"; });
  // The call goes straight to the type's slot, past the general argument handling.
  reinterpret_cast<PyTypeObject*>(member.ptr())->tp_call = &MemberCall;

  py::class_<Enumerator>(m, "Enumerator")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &Enumerator::Next);

  py::class_<Dispatch>(m, "Dispatch",
                       "Dispatch(progid_or_clsid): a new object of a registered class, reached\n"
                       "by late binding: attributes read and write its properties, calls run its\n"
                       "methods, iteration walks a collection through _NewEnum.")
      .def(py::init([](const std::string& name) {
             ComPtr<IDispatch> obj = Create(name);
             const vastrel::automation::InterfaceDesc* iface = InterfaceOf(obj.get());
             return Dispatch(std::move(obj), iface);
           }),
           py::arg("progid"))
      .def("__iter__", &Iterate)
      .def("__eq__",
           [](Dispatch& a, py::object b) {
             return py::isinstance<Dispatch>(b) && a.get() == b.cast<Dispatch&>().get();
           })
      .def("__hash__", [](Dispatch& a) { return reinterpret_cast<uintptr_t>(a.get()); })
      .def("__repr__",
           [](Dispatch& a) {
             return std::string("<vastrel.Dispatch ") + (a.iface() ? a.iface()->name : "object") +
                    (a.get() ? "" : " (released)") + ">";
           })
      .def("_release", &Dispatch::Close, "Lets the object go now rather than when collected.");
  // Attribute access goes straight to the type's slots: names of the object's members first.
  auto* dispatch_type = reinterpret_cast<PyTypeObject*>(m.attr("Dispatch").ptr());
  dispatch_type->tp_getattro = &DispatchGetAttr;
  dispatch_type->tp_setattro = &DispatchSetAttr;

  m.def("_connect", &Connect, "Connects a handler object to a control's events.");
  py::class_<Fields>(m, "_Fields",
                     "The fields of a dictionary on an open control: reads and writes records "
                     "as mappings of field name to typed value.")
      .def(py::init<Dispatch&, const py::list&>(), py::arg("control"), py::arg("fields"))
      .def("load_formats", &Fields::LoadFormats)
      .def("read", &Fields::Read)
      .def("move", &Fields::Move, py::arg("operation"), py::arg("stop") = py::none())
      .def("write", &Fields::Write, py::arg("values"), py::arg("fresh"))
      .def("key_text", &Fields::KeyText)
      .def("walk", &Fields::Records, py::arg("first"), py::arg("step"), py::arg("bound"));
  py::class_<Walk> walk(m, "_Walk", "A walk along a key; iterate it.");
  walk.def("__iter__", [](py::object self) { return self; });
  reinterpret_cast<PyTypeObject*>(walk.ptr())->tp_iternext = &WalkNext;
  // A Python subclass of Dispatch gets the ordinary attribute slots from type(); it is given
  // the dispatch ones back.
  m.def("_take_slots", [](py::type cls) {
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls.ptr()),
                          reinterpret_cast<PyTypeObject*>(
                              py::module_::import("vastrel._vastrel").attr("Dispatch").ptr())))
      throw py::type_error("not a subclass of Dispatch");
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_getattro = &DispatchGetAttr;
    type->tp_setattro = &DispatchSetAttr;
    PyType_Modified(type);
  });
}
