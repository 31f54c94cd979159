// _vastrel: records typed by the dictionary, the fast path of vastrel.open (see core.h).
#include <pybind11/pybind11.h>
// After pybind11, which brings Python.h.
#include <datetime.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "enginecore/include/wbtrv32.h"
#include "hosts/common/field_value.h"
#include "hosts/python/core.h"
#include "platform/locale.h"

namespace vastrel::python {
namespace {

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
      // A read that found nothing.
      if (status == BTR_END_OF_FILE || status == BTR_KEY_NOT_FOUND) return py::none();
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

void AddFields(py::module_& m) {
  // The datetime C API, for this file's own use of it.
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();
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
}

}  // namespace vastrel::python
