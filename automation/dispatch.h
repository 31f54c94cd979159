// Late binding: how an interface is described once and reached both as typed C++ calls
// and through IDispatch by name and DISPID.
//
// An interface is written as an X-macro list of its members (see vastrel_tlb.h):
//   METHOD(Name, DISPID, "ParamName,ParamName", In<...>, Out<...>, Ret<...>)
//   PROP(Name, DISPID, ValueType)        a property with get and put
//   GETTER(Name, DISPID, ValueType)      a read-only property
// From that one list come the pure virtual typed calls of the interface (get_Name,
// put_Name, Name(...), each returning HRESULT) and the member table that GetIDsOfNames,
// Invoke, the type library and the help tree read. Value types are Scalar<VT_...>,
// Enum<E> (32-bit on the wire), Object<I> (a dispatch interface) and Record<R> (a record
// handed across dispatch as an object whose properties are the record's fields).
//
// Dispatch rules (as script hosts expect them):
//  - Names match without regard to letter case.
//  - Arguments arrive reversed in DISPPARAMS; named arguments come first and carry their
//    parameter's DISPID (its 0-based position); a put's value is named DISPID_PROPERTYPUT.
//  - In-arguments are converted to the parameter's kind (by-reference values read
//    through); out-arguments must be by reference, to the parameter's kind or to a VARIANT.
//  - Results: DISP_E_MEMBERNOTFOUND (no such DISPID or kind), DISP_E_BADPARAMCOUNT,
//    DISP_E_PARAMNOTFOUND (a named argument the member lacks), DISP_E_PARAMNOTOPTIONAL (a
//    "missing" marker), DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW (with *arg_err the index in
//    rgvarg), DISP_E_EXCEPTION when the member fails (EXCEPINFO carries its message).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "automation/runtime.h"
#include "platform/export.h"
#include "platform/oleauto.h"

namespace vastrel::automation {

// ---------------------------------------------------------------------------------------
// Descriptions read by dispatch and the type library

// A type as the type library names it: its wire kind and, for enumerations, records and
// interfaces, the name of the described type.
struct TypeRef {
  VARTYPE vt = VT_EMPTY;
  const char* name = nullptr;
};

enum class ParamDir : uint8_t { kIn, kOut, kRetval };

struct ParamDesc {
  ParamDir dir;
  TypeRef type;
};

enum class MemberKind : uint8_t { kMethod, kPropGet, kPropPut };

using InvokeFn = HRESULT (*)(IDispatch* self, const DISPPARAMS* params, VARIANT* result,
                             uint32_t* arg_err);

struct MemberDesc {
  const char* name;
  DISPID id;
  MemberKind kind;
  std::span<const ParamDesc> params;
  const char* param_names;  // comma-separated, in declaration order
  InvokeFn invoke;
};

enum class InterfaceKind : uint8_t { kDual, kDispInterface };

// The members of one interface by DISPID, so that Invoke finds its member in a few steps
// rather than walking the list.
class VASTREL_API MemberIndex {
 public:
  struct Slot {
    DISPID id;
    const MemberDesc* method;
    const MemberDesc* get;
    const MemberDesc* put;
  };
  explicit MemberIndex(std::span<const MemberDesc> members);
  // The members with this DISPID, or null when there are none.
  const Slot* Find(DISPID id) const;

 private:
  std::vector<Slot> slots_;  // sorted by id
};

struct InterfaceDesc {
  const char* name;
  IID iid;
  const char* help;
  InterfaceKind kind;
  std::span<const MemberDesc> members;
  const MemberIndex* index = nullptr;
};

struct EnumMemberDesc {
  const char* name;
  int32_t value;
};
struct EnumDesc {
  const char* name;
  GUID guid;
  std::span<const EnumMemberDesc> members;
};

struct FieldDesc {
  const char* name;
  VARTYPE vt;
};
struct RecordDesc {
  const char* name;
  GUID guid;
  std::span<const FieldDesc> fields;
};
// Records carry at most this many fields across dispatch.
inline constexpr size_t kMaxRecordFields = 32;

// Looks a member's DISPID up by name (any letter case); DISPID_UNKNOWN when absent.
VASTREL_API DISPID FindMemberId(const InterfaceDesc& iface, std::string_view name);

// The complete IDispatch::GetIDsOfNames and Invoke over a description; self is the
// interface pointer whose typed calls the members' thunks make.
VASTREL_API HRESULT DescGetIDsOfNames(const InterfaceDesc& iface, const char* const* names,
                                      uint32_t count, DISPID* ids);
VASTREL_API HRESULT DescInvoke(const InterfaceDesc& iface, IDispatch* self, DISPID id,
                               uint16_t flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO* excep, uint32_t* arg_err);

// ---------------------------------------------------------------------------------------
// Value types

namespace detail {
// The VARIANT member that holds a scalar of kind V.
template <VARTYPE V>
struct ScalarMember;
#define VASTREL_SCALAR(V, T, M)               \
  template <>                                 \
  struct ScalarMember<V> {                    \
    using type = T;                           \
    static T& Get(VARIANT& v) { return v.M; } \
  };
VASTREL_SCALAR(VT_I2, int16_t, iVal)
VASTREL_SCALAR(VT_UI2, uint16_t, uiVal)
VASTREL_SCALAR(VT_I4, int32_t, lVal)
VASTREL_SCALAR(VT_UI1, uint8_t, bVal)
VASTREL_SCALAR(VT_R8, double, dblVal)
VASTREL_SCALAR(VT_DATE, DATE, date)
VASTREL_SCALAR(VT_BOOL, VARIANT_BOOL, boolVal)
#undef VASTREL_SCALAR

// Writes a value into a by-reference argument: through VT_BYREF|VT_VARIANT or to a
// reference of the same kind.
VASTREL_API HRESULT StoreByRef(VARIANT&& value, VARIANT* byref_arg);
VASTREL_API bool IsMissing(const VARIANT& v);
}  // namespace detail

// Numbers, Booleans and dates.
template <VARTYPE V>
struct Scalar {
  using value = typename detail::ScalarMember<V>::type;
  using in_type = value;
  struct Holder {};
  static constexpr TypeRef Type() { return {V, nullptr}; }
  static HRESULT In(const VARIANT& arg, Holder&, value* out) {
    Variant v;
    const HRESULT hr = VariantChangeType(&v, &arg, 0, V);
    if (FAILED(hr)) return hr;
    *out = detail::ScalarMember<V>::Get(v);
    return S_OK;
  }
  static void Free(value&) {}
  static HRESULT ToVariant(value& v, VARIANT* out) {
    VariantInit(out);
    out->vt = V;
    detail::ScalarMember<V>::Get(*out) = v;
    return S_OK;
  }
};

// Text: in-arguments are borrowed for the call; results are owned by the receiver.
template <>
struct Scalar<VT_BSTR> {
  using value = BSTR;
  using in_type = BSTR;
  struct Holder {
    Variant v;
  };
  static constexpr TypeRef Type() { return {VT_BSTR, nullptr}; }
  static HRESULT In(const VARIANT& arg, Holder& h, BSTR* out) {
    const HRESULT hr = VariantChangeType(&h.v, &arg, 0, VT_BSTR);
    if (FAILED(hr)) return hr;
    *out = h.v.bstrVal;
    return S_OK;
  }
  static void Free(BSTR& s) {
    SysFreeString(s);
    s = nullptr;
  }
  static HRESULT ToVariant(BSTR& s, VARIANT* out) {
    VariantInit(out);
    out->vt = VT_BSTR;
    out->bstrVal = s ? s : SysAllocString("");
    s = nullptr;
    return S_OK;
  }
};

// Any value. In-arguments by reference (VARIANT*) point at a copy the callee may change;
// out-values and results are VARIANTs the receiver owns.
template <>
struct Scalar<VT_VARIANT> {
  using value = VARIANT;
  using in_type = VARIANT*;
  struct Holder {
    Variant v;
  };
  static constexpr TypeRef Type() { return {VT_VARIANT, nullptr}; }
  static HRESULT In(const VARIANT& arg, Holder& h, VARIANT** out) {
    const HRESULT hr = VariantCopyInd(&h.v, &arg);
    if (FAILED(hr)) return hr;
    *out = &h.v;
    return S_OK;
  }
  static void Free(VARIANT& v) { VariantClear(&v); }
  static HRESULT ToVariant(VARIANT& v, VARIANT* out) {
    *out = v;
    VariantInit(&v);
    return S_OK;
  }
};

// Names and descriptions of enumerations, records and interfaces; the type library
// specializes these for each of its types.
template <class E>
struct EnumTraits;  // kName; Desc()
template <class R>
struct RecordTraits;  // kName; Desc(); ToFields(const R&, Variant*); FromFields(const Variant*, R*)

template <class E>
struct Enum {
  using value = E;
  using in_type = E;
  struct Holder {};
  static constexpr TypeRef Type() { return {VT_I4, EnumTraits<E>::kName}; }
  static HRESULT In(const VARIANT& arg, Holder& h, E* out) {
    int32_t i;
    Scalar<VT_I4>::Holder sh;
    const HRESULT hr = Scalar<VT_I4>::In(arg, sh, &i);
    if (FAILED(hr)) return hr;
    *out = static_cast<E>(i);
    return S_OK;
  }
  static void Free(E&) {}
  static HRESULT ToVariant(E& e, VARIANT* out) {
    VariantInit(out);
    out->vt = VT_I4;
    out->lVal = static_cast<int32_t>(e);
    return S_OK;
  }
};

// A dual interface I (with I::kIID and I::Desc()). In-arguments are borrowed; results
// carry a reference for the receiver. A null object crosses as an empty VT_DISPATCH.
template <class I>
struct Object {
  using value = I*;
  using in_type = I*;
  struct Holder {
    ComPtr<I> p;
  };
  static constexpr TypeRef Type() { return {VT_DISPATCH, I::kName}; }
  static HRESULT In(const VARIANT& arg, Holder& h, I** out) {
    Variant v;
    const HRESULT hr = VariantChangeType(&v, &arg, 0, VT_DISPATCH);
    if (FAILED(hr)) return hr;
    *out = nullptr;
    if (!v.pdispVal) return S_OK;
    h.p = QueryAs<I>(v.pdispVal);
    if (!h.p) return DISP_E_TYPEMISMATCH;
    *out = h.p.get();
    return S_OK;
  }
  static void Free(I*& p) {
    if (p) p->Release();
    p = nullptr;
  }
  static HRESULT ToVariant(I*& p, VARIANT* out) {
    VariantInit(out);
    out->vt = VT_DISPATCH;
    out->pdispVal = p;
    p = nullptr;
    return S_OK;
  }
};

// A bare object reference (an enumerator), crossing as VT_UNKNOWN.
struct Unknown {
  using value = IUnknown*;
  using in_type = IUnknown*;
  struct Holder {
    Variant v;
  };
  static constexpr TypeRef Type() { return {VT_UNKNOWN, nullptr}; }
  static HRESULT In(const VARIANT& arg, Holder& h, IUnknown** out) {
    const HRESULT hr = VariantChangeType(&h.v, &arg, 0, VT_UNKNOWN);
    if (FAILED(hr)) return hr;
    *out = h.v.punkVal;
    return S_OK;
  }
  static void Free(IUnknown*& p) {
    if (p) p->Release();
    p = nullptr;
  }
  static HRESULT ToVariant(IUnknown*& p, VARIANT* out) {
    VariantInit(out);
    out->vt = VT_UNKNOWN;
    out->punkVal = p;
    p = nullptr;
    return S_OK;
  }
};

// A record object: a dispatch object with one property per field of a record, made to
// carry a record across dispatch. Its DISPIDs are the fields' positions from 1.
VASTREL_API ComPtr<IDispatch> MakeRecordObject(const RecordDesc& desc, Variant* fields);
// Reads the fields of any dispatch object by name into fields[0..n-1], converted to
// their kinds. DISP_E_TYPEMISMATCH for a null object or a missing field.
VASTREL_API HRESULT ReadRecordObject(IDispatch* obj, const RecordDesc& desc, Variant* fields);

template <class R>
struct Record {
  using value = R;
  using in_type = const R&;
  struct Holder {};
  static constexpr TypeRef Type() { return {VT_DISPATCH, RecordTraits<R>::kName}; }
  static HRESULT In(const VARIANT& arg, Holder&, R* out) {
    const RecordDesc& d = RecordTraits<R>::Desc();
    Variant v;
    HRESULT hr = VariantChangeType(&v, &arg, 0, VT_DISPATCH);
    if (FAILED(hr)) return hr;
    Variant fields[kMaxRecordFields];
    hr = ReadRecordObject(v.pdispVal, d, fields);
    if (FAILED(hr)) return hr;
    RecordTraits<R>::FromFields(fields, out);
    return S_OK;
  }
  static void Free(R&) {}
  static HRESULT ToVariant(R& r, VARIANT* out) {
    Variant fields[kMaxRecordFields];
    RecordTraits<R>::ToFields(r, fields);
    ComPtr<IDispatch> obj = MakeRecordObject(RecordTraits<R>::Desc(), fields);
    VariantInit(out);
    out->vt = VT_DISPATCH;
    out->pdispVal = obj.Detach();
    return out->pdispVal ? S_OK : E_OUTOFMEMORY;
  }
};

// ---------------------------------------------------------------------------------------
// Parameters and signatures

template <class T>
struct In {
  using tag = T;
  using type = typename T::in_type;
  static constexpr ParamDir dir = ParamDir::kIn;
};
template <class T>
struct Out {
  using tag = T;
  using type = typename T::value*;
  static constexpr ParamDir dir = ParamDir::kOut;
};
template <class T>
struct Ret {
  using tag = T;
  using type = typename T::value*;
  static constexpr ParamDir dir = ParamDir::kRetval;
};

template <class... P>
struct Sig {
  using fn = HRESULT(typename P::type...);
  static constexpr ParamDesc params[sizeof...(P) + 1] = {{P::dir, P::tag::Type()}...,
                                                         {ParamDir::kIn, {}}};
  static constexpr size_t count = sizeof...(P);
  static constexpr size_t wire_count = ((P::dir == ParamDir::kRetval ? 0 : 1) + ... + 0);
};

namespace detail {

// Where parameter k's argument lies in params, or null when it was not given.
// A put's value (named DISPID_PROPERTYPUT) is its last parameter.
VASTREL_API VARIANT* FindArg(const DISPPARAMS* dp, uint32_t k, uint32_t wire_count,
                             uint32_t* arg_index);

template <class P, ParamDir D = P::dir>
struct Slot;

template <class P>
struct Slot<P, ParamDir::kIn> {
  using T = typename P::tag;
  typename T::Holder holder;
  std::remove_cvref_t<typename T::in_type> storage{};
  typename T::value value_storage{};
  HRESULT Load(VARIANT* arg) {
    if constexpr (std::is_reference_v<typename T::in_type>) {
      return T::In(*arg, holder, &value_storage);
    } else {
      return T::In(*arg, holder, &storage);
    }
  }
  typename T::in_type Pass() {
    if constexpr (std::is_reference_v<typename T::in_type>)
      return value_storage;
    else
      return storage;
  }
  HRESULT Finish(VARIANT*, VARIANT*) { return S_OK; }
};

template <class P>
struct Slot<P, ParamDir::kOut> {
  using T = typename P::tag;
  typename T::value v{};
  VARIANT* arg = nullptr;
  ~Slot() { T::Free(v); }
  HRESULT Load(VARIANT* a) {
    if (!(a->vt & VT_BYREF) || !a->byref) return DISP_E_TYPEMISMATCH;
    const VARTYPE kind = a->vt & VT_TYPEMASK;
    if (kind != VT_VARIANT && kind != T::Type().vt) return DISP_E_TYPEMISMATCH;
    arg = a;
    return S_OK;
  }
  typename T::value* Pass() { return &v; }
  HRESULT Finish(VARIANT*, VARIANT*) {
    VARIANT out;
    const HRESULT hr = T::ToVariant(v, &out);
    if (FAILED(hr)) return hr;
    return StoreByRef(std::move(out), arg);
  }
};

template <class P>
struct Slot<P, ParamDir::kRetval> {
  using T = typename P::tag;
  typename T::value v{};
  ~Slot() { T::Free(v); }
  HRESULT Load(VARIANT*) { return S_OK; }
  typename T::value* Pass() { return &v; }
  HRESULT Finish(VARIANT*, VARIANT* result) {
    if (!result) return S_OK;
    VariantClear(result);
    return T::ToVariant(v, result);
  }
};

template <class I, auto Method, class... P, size_t... K>
HRESULT InvokeImpl(IDispatch* self, const DISPPARAMS* dp, VARIANT* result, uint32_t* arg_err,
                   std::index_sequence<K...>) {
  constexpr uint32_t wire = Sig<P...>::wire_count;
  const uint32_t positional = dp->cArgs - dp->cNamedArgs;
  uint32_t named_here = 0;
  for (uint32_t j = 0; j < dp->cNamedArgs; ++j) {
    const DISPID id = dp->rgdispidNamedArgs[j];
    if (id == DISPID_PROPERTYPUT) {
      ++named_here;
      continue;
    }
    if (id < 0 || static_cast<uint32_t>(id) >= wire) return DISP_E_PARAMNOTFOUND;
    ++named_here;
  }
  if (positional + named_here != wire) return DISP_E_BADPARAMCOUNT;

  std::tuple<Slot<P>...> slots;
  HRESULT hr = S_OK;
  uint32_t k = 0;
  auto load = [&](auto& slot, ParamDir dir) {
    if (FAILED(hr)) return;
    if (dir == ParamDir::kRetval) return;
    uint32_t index = 0;
    VARIANT* arg = FindArg(dp, k, wire, &index);
    ++k;
    if (!arg) {
      hr = DISP_E_BADPARAMCOUNT;
      return;
    }
    if (IsMissing(*arg)) {
      hr = DISP_E_PARAMNOTOPTIONAL;
      if (arg_err) *arg_err = index;
      return;
    }
    hr = slot.Load(arg);
    if (FAILED(hr)) {
      if (hr != DISP_E_OVERFLOW) hr = DISP_E_TYPEMISMATCH;
      if (arg_err) *arg_err = index;
    }
  };
  (load(std::get<K>(slots), P::dir), ...);
  (void)load;
  (void)k;
  if (FAILED(hr)) return hr;

  hr = (static_cast<I*>(self)->*Method)(std::get<K>(slots).Pass()...);
  if (FAILED(hr)) return hr;
  HRESULT finish = S_OK;
  auto done = [&](auto& slot) {
    if (SUCCEEDED(finish)) finish = slot.Finish(nullptr, result);
  };
  (done(std::get<K>(slots)), ...);
  (void)done;
  (void)result;
  return finish;
}

template <class I, auto Method, class S>
struct Thunk;
template <class I, auto Method, class... P>
struct Thunk<I, Method, Sig<P...>> {
  static HRESULT Invoke(IDispatch* self, const DISPPARAMS* dp, VARIANT* result, uint32_t* arg_err) {
    return InvokeImpl<I, Method, P...>(self, dp, result, arg_err, std::index_sequence_for<P...>{});
  }
};

}  // namespace detail

template <class I, auto Method, class S>
constexpr MemberDesc MakeMember(const char* name, DISPID id, MemberKind kind,
                                const char* param_names) {
  return MemberDesc{name,        id,
                    kind,        std::span<const ParamDesc>(S::params, S::count),
                    param_names, &detail::Thunk<I, Method, S>::Invoke};
}

// The X-macro adapters. Inside an interface: declare the typed calls.
#define VASTREL_DECL_METHOD(Name, Id, Names, ...) \
  virtual ::vastrel::automation::Sig<__VA_ARGS__>::fn Name = 0;
#define VASTREL_DECL_PROP(Name, Id, T)             \
  virtual HRESULT get_##Name(T::value* value) = 0; \
  virtual HRESULT put_##Name(T::in_type value) = 0;
#define VASTREL_DECL_GETTER(Name, Id, T) virtual HRESULT get_##Name(T::value* value) = 0;
#define VASTREL_DECL_GETFN(Name, Id, Names, ...) \
  virtual ::vastrel::automation::Sig<__VA_ARGS__>::fn get_##Name = 0;

// Inside an implementing class: the overriding declarations.
// (a declaration through a function type cannot say override; virtual overrides the
// same signature all the same)
#define VASTREL_OVERRIDE_METHOD(Name, Id, Names, ...) \
  virtual ::vastrel::automation::Sig<__VA_ARGS__>::fn Name;
#define VASTREL_OVERRIDE_PROP(Name, Id, T)      \
  HRESULT get_##Name(T::value* value) override; \
  HRESULT put_##Name(T::in_type value) override;
#define VASTREL_OVERRIDE_GETTER(Name, Id, T) HRESULT get_##Name(T::value* value) override;
#define VASTREL_OVERRIDE_GETFN(Name, Id, Names, ...) \
  virtual ::vastrel::automation::Sig<__VA_ARGS__>::fn get_##Name;

// In a member table, with `Self` naming the interface.
#define VASTREL_ENTRY_METHOD(Name, Id, Names, ...)                                               \
  ::vastrel::automation::MakeMember<Self, &Self::Name, ::vastrel::automation::Sig<__VA_ARGS__>>( \
      #Name, Id, ::vastrel::automation::MemberKind::kMethod, Names),
#define VASTREL_ENTRY_PROP(Name, Id, T)                                                            \
  ::vastrel::automation::MakeMember<Self, &Self::get_##Name,                                       \
                                    ::vastrel::automation::Sig<::vastrel::automation::Ret<T>>>(    \
      #Name, Id, ::vastrel::automation::MemberKind::kPropGet, ""),                                 \
      ::vastrel::automation::MakeMember<Self, &Self::put_##Name,                                   \
                                        ::vastrel::automation::Sig<::vastrel::automation::In<T>>>( \
          #Name, Id, ::vastrel::automation::MemberKind::kPropPut, ""),
#define VASTREL_ENTRY_GETTER(Name, Id, T)                                                       \
  ::vastrel::automation::MakeMember<Self, &Self::get_##Name,                                    \
                                    ::vastrel::automation::Sig<::vastrel::automation::Ret<T>>>( \
      #Name, Id, ::vastrel::automation::MemberKind::kPropGet, ""),

#define VASTREL_ENTRY_GETFN(Name, Id, Names, ...)                             \
  ::vastrel::automation::MakeMember<Self, &Self::get_##Name,                  \
                                    ::vastrel::automation::Sig<__VA_ARGS__>>( \
      #Name, Id, ::vastrel::automation::MemberKind::kPropGet, Names),

// The four adapters of each use, in the order the member lists take them.
#define VASTREL_DECLARE_MEMBERS(LIST) \
  LIST(VASTREL_DECL_METHOD, VASTREL_DECL_PROP, VASTREL_DECL_GETTER, VASTREL_DECL_GETFN)
#define VASTREL_OVERRIDE_MEMBERS(LIST)                                          \
  LIST(VASTREL_OVERRIDE_METHOD, VASTREL_OVERRIDE_PROP, VASTREL_OVERRIDE_GETTER, \
       VASTREL_OVERRIDE_GETFN)
#define VASTREL_MEMBER_TABLE(LIST) \
  LIST(VASTREL_ENTRY_METHOD, VASTREL_ENTRY_PROP, VASTREL_ENTRY_GETTER, VASTREL_ENTRY_GETFN)

// ---------------------------------------------------------------------------------------
// Implementation helpers for objects

// The type information calls of a dispatch interface I that has none to give.
template <class I>
class WithoutTypeInfo : public I {
 public:
  HRESULT GetTypeInfoCount(uint32_t* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(uint32_t, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
};

// IDispatch of a dual interface I answered from I::Desc(). Objects derive from
// DispatchImpl<I> and implement the typed calls and QueryInterface.
template <class I>
class DispatchImpl : public WithoutTypeInfo<I> {
 public:
  HRESULT GetIDsOfNames(REFIID, const char* const* names, uint32_t count, LCID,
                        DISPID* ids) override {
    return DescGetIDsOfNames(I::Desc(), names, count, ids);
  }
  HRESULT Invoke(DISPID id, REFIID, LCID, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, uint32_t* arg_err) override {
    return DescInvoke(I::Desc(), this, id, flags, params, result, excep, arg_err);
  }

 protected:
  // Answers IUnknown, IDispatch and I with this object's I pointer.
  bool QueryDual(REFIID iid, void** out) {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == I::kIID) {
      *out = static_cast<I*>(this);
      this->AddRef();
      return true;
    }
    return false;
  }
};

// A QueryInterface for objects that answer only their dual interface.
#define VASTREL_DUAL_QUERYINTERFACE                         \
  HRESULT QueryInterface(REFIID iid, void** out) override { \
    if (!out) return E_POINTER;                             \
    *out = nullptr;                                         \
    return QueryDual(iid, out) ? S_OK : E_NOINTERFACE;      \
  }

// ---------------------------------------------------------------------------------------
// Calling a dispatch object by name, as a script host does (used by tools and tests).

// Invokes member `name` of obj with the arguments in their natural order (they are
// reversed for DISPPARAMS here). For a put, the last argument is the value. On
// DISP_E_EXCEPTION *message (when given) receives the error's text.
VASTREL_API HRESULT InvokeByName(IDispatch* obj, std::string_view name, uint16_t flags,
                                 std::span<VARIANT> args, VARIANT* result,
                                 std::string* message = nullptr);

}  // namespace vastrel::automation
