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

#include <string>

#include "hosts/python/core.h"

PYBIND11_MODULE(_vastrel, m) {
  using namespace vastrel::python;
  using vastrel::IDispatch;
  using vastrel::automation::ComPtr;
  m.doc() = "The late-binding core of vastrel; use the package vastrel.";
  py::module_ datetime = py::module_::import("datetime");
  g_datetime = py::object(datetime.attr("datetime")).release();
  g_date = py::object(datetime.attr("date")).release();
  g_time = py::object(datetime.attr("time")).release();
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
  AddFields(m);
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
