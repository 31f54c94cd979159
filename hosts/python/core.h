// The late-binding core of the Python module: what its parts share. dispatch.cpp reaches the
// component's objects through IDispatch (names, calls, values, events); fields.cpp reads and
// writes records typed by a dictionary; module.cpp defines the module's types on both.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <unordered_map>

#include "automation/runtime.h"
#include "automation/vastrel_tlb.h"
#include "platform/oleauto.h"

namespace vastrel::python {

namespace py = pybind11;

using automation::ComPtr;
using automation::InterfaceDesc;
using automation::MemberDesc;
using automation::RecordDesc;

// Held for the life of the process: a static py::object would be released after the
// interpreter has gone.
extern py::handle g_error;     // vastrel.Error
extern py::handle g_datetime;  // datetime.datetime
extern py::handle g_date;      // datetime.date
extern py::handle g_time;      // datetime.time

// ---- Errors ---------------------------------------------------------------------------

// The engine status in a failure's message ("Text (N)\rfile"); None when it carries none.
py::object StatusOf(const std::string& message);
// A few words for an HRESULT of a failed call.
const char* HresultName(HRESULT hr);
// Raises vastrel.Error with the message, hresult, scode and status.
[[noreturn]] void Raise(const std::string& message, HRESULT hr, HRESULT scode);
// An HRESULT as 0x followed by 8 hex digits.
std::string Hex(HRESULT hr);
// An exception raised by an event handler during the call comes out first.
void RethrowPending();
// Makes the C++ exception in flight the Python error. Call only inside a catch block.
void SetPythonError();

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

// ---- Objects and values ---------------------------------------------------------------

// The library interface an object answers, found through QueryInterface; null for an
// object outside the library (a record, a host's object).
const InterfaceDesc* InterfaceOf(IDispatch* obj);

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
NameTable& ResolvedNames(const InterfaceDesc* iface);

// A record as Python sees it: an object whose attributes are the fields, in order.
struct RecordValue {
  std::string type;
};

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

// A Python value as a VARIANT the caller owns, and back; `type` names the record or
// interface a dispatch object is.
VARIANT ToVariant(py::handle value);
py::object FromVariant(const VARIANT& v, const automation::TypeRef* type = nullptr);

// ---- Calls ----------------------------------------------------------------------------

// A method or parameterised property read from a Dispatch, waiting for its arguments.
struct BoundMember {
  py::object owner;  // the Dispatch, kept alive
  Dispatch* target;  // inside owner
  Member member;
  std::string name;
  uint16_t flags;
};

// The type slots of Dispatch and Member: attribute reads and writes, calls.
PyObject* DispatchGetAttr(PyObject* self_ptr, PyObject* name_obj);
int DispatchSetAttr(PyObject* self_ptr, PyObject* name_obj, PyObject* value_ptr);
PyObject* MemberCall(PyObject* self_ptr, PyObject* args, PyObject* kwargs);

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

// Iterates a collection through _NewEnum.
Enumerator Iterate(Dispatch& self);
// A new object of the class registered under a ProgID or CLSID.
ComPtr<IDispatch> Create(const std::string& name);
// Connects handler (held weakly) to the control's default event interface.
void Connect(Dispatch& self, py::object handler);

// ---- Typed records (fields.cpp) -------------------------------------------------------

// Defines _Fields and _Walk on the module.
void AddFields(py::module_& m);

}  // namespace vastrel::python
