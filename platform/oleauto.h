// The automation value types of the component: status results (HRESULT), kinds of values
// (VARTYPE with the standard VT_ numbers), strings (BSTR), dates (DATE), Booleans
// (VARIANT_BOOL), interface and class identifiers (GUID), the tagged value VARIANT with
// its RAII wrapper Variant, and the conversions between kinds.
//
// The numbers and the layout of the names follow OLE Automation, so that a host written
// against it reads naturally; the differences are deliberate:
//  - A BSTR holds UTF-8, not UTF-16. It is length-prefixed (a 32-bit byte count in front
//    of the pointer) and always zero-terminated, so it can carry embedded zeros and can
//    still be read as a C string. A null BSTR means the empty string everywhere.
//  - Arrays (VT_ARRAY) are not supported: copying or converting one answers
//    DISP_E_BADVARTYPE.
//  - Conversions between text and numbers use '.' or the locale's decimal separator;
//    dates are written as "YYYY-MM-DD", "HH:MM:SS" or both joined by a blank.
//
// IUnknown and IDispatch are declared here because a VARIANT can hold them; the object
// runtime that implements them lives in automation/.
//
// Threading: nothing here keeps shared state; a value is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/export.h"

namespace vastrel {

// ---------------------------------------------------------------------------------------
// Results

using HRESULT = int32_t;
using SCODE = HRESULT;

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = static_cast<HRESULT>(0x80020001u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = static_cast<HRESULT>(0x80020004u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
inline constexpr HRESULT DISP_E_NONAMEDARGS = static_cast<HRESULT>(0x80020007u);
inline constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008u);
inline constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009u);
inline constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
inline constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000Bu);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000Eu);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = static_cast<HRESULT>(0x8002000Fu);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT CONNECT_E_NOCONNECTION = static_cast<HRESULT>(0x80040200u);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = static_cast<HRESULT>(0x80040201u);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = static_cast<HRESULT>(0x80040202u);

// ---------------------------------------------------------------------------------------
// Scalar types

// An OLE Automation date: days since 30 December 1899; the fraction is the time of day.
// For dates before that day the whole part is negative and the fraction still counts
// forward from midnight (-1.25 is 29 December 1899, 06:00).
using DATE = double;

// Automation Boolean: -1 true, 0 false. A write takes any non-zero value as true.
using VARIANT_BOOL = int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;
inline constexpr VARIANT_BOOL ToVariantBool(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }
inline constexpr bool FromVariantBool(VARIANT_BOOL b) { return b != 0; }

// Currency: a fixed-point number scaled by 10 000.
struct CY {
  int64_t int64;
};

using DISPID = int32_t;
using LCID = uint32_t;
using MEMBERID = DISPID;

// ---------------------------------------------------------------------------------------
// GUID

struct VASTREL_API GUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {};

  friend bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.Data4[i] != b.Data4[i]) return false;
    return true;
  }
  friend bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
  friend bool operator<(const GUID& a, const GUID& b);

  // The registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex.
  std::string ToString() const;
  // Reads the registry form, with or without braces, either letter case. Returns false
  // (and leaves *out alone) for anything else.
  static bool Parse(std::string_view text, GUID* out);
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

// A GUID from its registry form at compile time; a malformed literal fails to compile.
consteval GUID MakeGuid(const char (&s)[37]) {
  auto hex = [](char c) -> uint32_t {
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint32_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
    throw "not a hexadecimal digit";
  };
  auto read = [&](int from, int digits) {
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) v = v * 16 + hex(s[from + i]);
    return v;
  };
  if (s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') throw "dash expected";
  GUID g;
  g.Data1 = read(0, 8);
  g.Data2 = static_cast<uint16_t>(read(9, 4));
  g.Data3 = static_cast<uint16_t>(read(14, 4));
  g.Data4[0] = static_cast<uint8_t>(read(19, 2));
  g.Data4[1] = static_cast<uint8_t>(read(21, 2));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<uint8_t>(read(24 + 2 * i, 2));
  return g;
}

inline constexpr IID IID_NULL{};
inline constexpr IID IID_IUnknown = MakeGuid("00000000-0000-0000-C000-000000000046");
inline constexpr IID IID_IDispatch = MakeGuid("00020400-0000-0000-C000-000000000046");
inline constexpr IID IID_IEnumVARIANT = MakeGuid("00020404-0000-0000-C000-000000000046");

// ---------------------------------------------------------------------------------------
// BSTR: UTF-8 text, length-prefixed, zero-terminated; owned by whoever the call says.

using BSTR = char*;

// A new string holding the zero-terminated text; nullptr for a null text or when memory
// runs out.
VASTREL_API BSTR SysAllocString(const char* text);
// A new string of exactly len bytes copied from text (which may hold zeros); with a null
// text the bytes are zero. nullptr when memory runs out or len is too large.
VASTREL_API BSTR SysAllocStringLen(const char* text, uint32_t len);
inline BSTR SysAllocString(std::string_view text) {
  return text.size() > UINT32_MAX - 8
             ? nullptr
             : SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
}
// Frees a string from the functions above; a null string is ignored.
VASTREL_API void SysFreeString(BSTR s);
// The length in bytes, without the terminating zero; 0 for a null string.
VASTREL_API uint32_t SysStringLen(const char* s);
// Replaces *s by a copy of text; false (and *s unchanged) when memory runs out.
VASTREL_API bool SysReAllocString(BSTR* s, std::string_view text);
// The string's bytes as a view; empty for a null string.
inline std::string_view BstrView(const char* s) {
  return s ? std::string_view(s, SysStringLen(s)) : std::string_view();
}

// Owns one BSTR.
class VASTREL_API Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::string_view text) : s_(SysAllocString(text)) {}
  Bstr(const Bstr& other) : s_(other.s_ ? SysAllocString(other.view()) : nullptr) {}
  Bstr(Bstr&& other) noexcept : s_(other.Detach()) {}
  Bstr& operator=(Bstr other) noexcept {
    std::swap(s_, other.s_);
    return *this;
  }
  ~Bstr() { SysFreeString(s_); }

  std::string_view view() const { return BstrView(s_); }
  std::string str() const { return std::string(view()); }
  BSTR get() const { return s_; }
  // Takes ownership of s, freeing the string held so far.
  void Attach(BSTR s) {
    SysFreeString(s_);
    s_ = s;
  }
  BSTR Detach() {
    BSTR s = s_;
    s_ = nullptr;
    return s;
  }
  // For an out-parameter: frees the string held so far and returns the slot.
  BSTR* Out() {
    Attach(nullptr);
    return &s_;
  }

 private:
  BSTR s_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// VARIANT

using VARTYPE = uint16_t;
enum : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

struct IUnknown;
struct IDispatch;

// A tagged value. vt names the kind; the member of the union that matches it holds the
// value. With VT_BYREF the value lives elsewhere and the union holds a pointer to it
// (byref for any kind; pvarVal for VT_VARIANT | VT_BYREF); the VARIANT does not own it.
// A VARIANT owns its BSTR and holds one reference on its IUnknown/IDispatch.
struct VARIANT {
  VARTYPE vt;
  uint16_t wReserved1;
  uint16_t wReserved2;
  uint16_t wReserved3;
  union {
    int8_t cVal;
    uint8_t bVal;
    int16_t iVal;
    uint16_t uiVal;
    int32_t lVal;
    uint32_t ulVal;
    int64_t llVal;
    uint64_t ullVal;
    int32_t intVal;
    uint32_t uintVal;
    float fltVal;
    double dblVal;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SCODE scode;
    VARIANT_BOOL boolVal;
    // by-reference forms
    int8_t* pcVal;
    uint8_t* pbVal;
    int16_t* piVal;
    uint16_t* puiVal;
    int32_t* plVal;
    uint32_t* pulVal;
    int64_t* pllVal;
    uint64_t* pullVal;
    int32_t* pintVal;
    uint32_t* puintVal;
    float* pfltVal;
    double* pdblVal;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SCODE* pscode;
    VARIANT_BOOL* pboolVal;
    VARIANT* pvarVal;
    void* byref;
  };
};
using VARIANTARG = VARIANT;

// Flags of VariantChangeType.
inline constexpr uint16_t VARIANT_NOVALUEPROP = 0x01;
// Booleans become "True" and "False" rather than "-1" and "0".
inline constexpr uint16_t VARIANT_ALPHABOOL = 0x02;

// Makes v empty without looking at what it held.
VASTREL_API void VariantInit(VARIANT* v);
// Frees what v owns (its BSTR, its interface reference) and makes it empty.
// DISP_E_BADVARTYPE (and v unchanged) for a kind this runtime does not know.
VASTREL_API HRESULT VariantClear(VARIANT* v);
// dest := a copy of src (a new BSTR, one more interface reference); dest is cleared
// first. A by-reference src is copied as the same reference.
VASTREL_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// As VariantCopy, but a by-reference src is copied as the value it refers to.
VASTREL_API HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src);
// dest := src converted to kind vt (a by-reference src is read through). dest may be src.
// Results: DISP_E_TYPEMISMATCH when the value has no form of that kind (text that is not
// a number, an interface as a number, null as anything but null), DISP_E_OVERFLOW when a
// number does not fit, DISP_E_BADVARTYPE for kinds this runtime does not know. On
// failure dest is left as it was. Fractions become integers by rounding half to even.
VASTREL_API HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t flags,
                                      VARTYPE vt);

// Date <-> calendar. Answers false when the parts or the date are out of the range
// 1 January 100 to 31 December 9999.
VASTREL_API bool DateFromParts(int year, int month, int day, int hour, int minute, int second,
                               DATE* out);
VASTREL_API bool DateToParts(DATE d, int* year, int* month, int* day, int* hour, int* minute,
                             int* second);

// The text of any value as the component's general text conversion gives it. Throws
// vastrel::Exception with kInvalidVariantConversion when the value has no text form (an
// interface, an error value, an unknown kind).
inline constexpr const char* kInvalidVariantConversion = "Invalid variant type conversion";
VASTREL_API std::string VariantToText(const VARIANT& v);

// ---------------------------------------------------------------------------------------
// Variant: a VARIANT that cleans up after itself.

class VASTREL_API Variant : public VARIANT {
 public:
  Variant() { VariantInit(this); }
  Variant(const VARIANT& v) {  // NOLINT: copies like a value
    VariantInit(this);
    VariantCopy(this, &v);
  }
  Variant(const Variant& v) : Variant(static_cast<const VARIANT&>(v)) {}
  Variant(Variant&& v) noexcept {
    *static_cast<VARIANT*>(this) = v;
    VariantInit(&v);
  }
  Variant& operator=(const VARIANT& v) {
    if (&v != this) VariantCopy(this, &v);
    return *this;
  }
  Variant& operator=(const Variant& v) { return *this = static_cast<const VARIANT&>(v); }
  Variant& operator=(Variant&& v) noexcept {
    if (&v != this) {
      VariantClear(this);
      *static_cast<VARIANT*>(this) = v;
      VariantInit(&v);
    }
    return *this;
  }
  ~Variant() { VariantClear(this); }

  explicit Variant(bool b) : Variant() { Set(VT_BOOL).boolVal = ToVariantBool(b); }
  explicit Variant(int8_t i) : Variant() { Set(VT_I1).cVal = i; }
  explicit Variant(uint8_t i) : Variant() { Set(VT_UI1).bVal = i; }
  explicit Variant(int16_t i) : Variant() { Set(VT_I2).iVal = i; }
  explicit Variant(uint16_t i) : Variant() { Set(VT_UI2).uiVal = i; }
  explicit Variant(int32_t i) : Variant() { Set(VT_I4).lVal = i; }
  explicit Variant(uint32_t i) : Variant() { Set(VT_UI4).ulVal = i; }
  explicit Variant(int64_t i) : Variant() { Set(VT_I8).llVal = i; }
  explicit Variant(uint64_t i) : Variant() { Set(VT_UI8).ullVal = i; }
  explicit Variant(float f) : Variant() { Set(VT_R4).fltVal = f; }
  explicit Variant(double d) : Variant() { Set(VT_R8).dblVal = d; }
  explicit Variant(std::string_view utf8) : Variant() {
    Set(VT_BSTR).bstrVal = SysAllocString(utf8);
  }
  explicit Variant(const char* utf8) : Variant(std::string_view(utf8 ? utf8 : "")) {}
  explicit Variant(const std::string& utf8) : Variant(std::string_view(utf8)) {}
  // Holds one more reference on the object (none for a null pointer).
  explicit Variant(IDispatch* d);
  explicit Variant(IUnknown* u);

  static Variant Date(DATE d) {
    Variant v;
    v.Set(VT_DATE).date = d;
    return v;
  }
  static Variant Currency(int64_t scaled) {
    Variant v;
    v.Set(VT_CY).cyVal.int64 = scaled;
    return v;
  }
  static Variant Null() {
    Variant v;
    v.vt = VT_NULL;
    return v;
  }
  static Variant Error(SCODE code) {
    Variant v;
    v.Set(VT_ERROR).scode = code;
    return v;
  }
  // A by-reference value: kind | VT_BYREF pointing at target, which must outlive it.
  static Variant ByRef(VARTYPE kind, void* target) {
    Variant v;
    v.vt = static_cast<VARTYPE>(kind | VT_BYREF);
    v.byref = target;
    return v;
  }
  // The "missing optional argument" marker of dispatch calls.
  static Variant Missing() { return Error(DISP_E_PARAMNOTFOUND); }

  // Converts in place; the value is unchanged on failure.
  HRESULT ChangeType(VARTYPE kind, uint16_t flags = 0) {
    return VariantChangeType(this, this, flags, kind);
  }
  // The BSTR's text when vt is VT_BSTR, empty otherwise.
  std::string_view Text() const { return vt == VT_BSTR ? BstrView(bstrVal) : std::string_view(); }
  void Clear() { VariantClear(this); }
  // Hands the value over to the caller, leaving this empty.
  VARIANT Detach() {
    VARIANT v = *this;
    VariantInit(this);
    return v;
  }
  // Frees what is held and returns the bare VARIANT for an out-parameter.
  VARIANT* Out() {
    VariantClear(this);
    return this;
  }

 private:
  VARIANT& Set(VARTYPE kind) {
    vt = kind;
    return *this;
  }
};

// ---------------------------------------------------------------------------------------
// The two base interfaces. Objects are reference-counted: AddRef/Release return the new
// count, for diagnostics only; the object frees itself when the count reaches 0.
// QueryInterface answers S_OK with one more reference in *out, or E_NOINTERFACE with
// *out null, E_POINTER for a null out.

struct VASTREL_API IUnknown {
  static constexpr IID kIID = IID_IUnknown;
  virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

// The arguments of a dispatch call. Positional arguments lie in reverse order: rgvarg[0]
// is the last one. The first cNamedArgs entries of rgvarg are the named ones, their
// DISPIDs in rgdispidNamedArgs (a property put names its value DISPID_PROPERTYPUT).
struct DISPPARAMS {
  VARIANTARG* rgvarg = nullptr;
  DISPID* rgdispidNamedArgs = nullptr;
  uint32_t cArgs = 0;
  uint32_t cNamedArgs = 0;
};

// What a failed call reports when Invoke answers DISP_E_EXCEPTION. The callee fills the
// strings; the caller frees them (ClearExcepInfo).
struct EXCEPINFO {
  uint16_t wCode = 0;
  uint16_t wReserved = 0;
  BSTR bstrSource = nullptr;
  BSTR bstrDescription = nullptr;
  BSTR bstrHelpFile = nullptr;
  uint32_t dwHelpContext = 0;
  void* pvReserved = nullptr;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*) = nullptr;
  SCODE scode = 0;
};
VASTREL_API void ClearExcepInfo(EXCEPINFO* e);

inline constexpr uint16_t DISPATCH_METHOD = 0x1;
inline constexpr uint16_t DISPATCH_PROPERTYGET = 0x2;
inline constexpr uint16_t DISPATCH_PROPERTYPUT = 0x4;
inline constexpr uint16_t DISPATCH_PROPERTYPUTREF = 0x8;

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;
inline constexpr DISPID DISPID_NEWENUM = -4;
inline constexpr DISPID DISPID_ENABLED = -514;
inline constexpr DISPID DISPID_ABOUTBOX = -552;

struct ITypeInfo;  // not provided: GetTypeInfo answers E_NOTIMPL

struct VASTREL_API IDispatch : IUnknown {
  static constexpr IID kIID = IID_IDispatch;
  virtual HRESULT GetTypeInfoCount(uint32_t* count) = 0;
  virtual HRESULT GetTypeInfo(uint32_t index, LCID lcid, ITypeInfo** info) = 0;
  // Names are UTF-8 and compared without regard to letter case. names[0] is the member,
  // the rest its parameters' names. DISP_E_UNKNOWNNAME when one is unknown (its id is
  // then DISPID_UNKNOWN).
  virtual HRESULT GetIDsOfNames(REFIID iid, const char* const* names, uint32_t count, LCID lcid,
                                DISPID* ids) = 0;
  // Calls member id as flags says. result may be null; excep and arg_err may be null.
  virtual HRESULT Invoke(DISPID id, REFIID iid, LCID lcid, uint16_t flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excep, uint32_t* arg_err) = 0;

 protected:
  ~IDispatch() = default;
};

}  // namespace vastrel
