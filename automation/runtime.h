// The automation object runtime: counted references (ComPtr), the reference-counting
// base of every object, error info that carries a failed call's message, the standard
// enumerator interface, connection points for event sinks, and the class registry.
//
// Conventions, as in OLE Automation:
//  - An interface pointer handed out (a result, an out-parameter, QueryInterface) carries
//    one reference that the receiver releases. An interface pointer passed in is borrowed.
//  - A failed call answers a failed HRESULT and leaves error info for the thread, which
//    the caller reads with GetErrorInfo; Invoke also copies it into EXCEPINFO.
//  - Objects are used by the thread that created them; nothing here is locked, except the
//    error info, which is per thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/error.h"
#include "platform/export.h"
#include "platform/oleauto.h"

namespace vastrel::automation {

// ---------------------------------------------------------------------------------------
// Counted reference

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}  // NOLINT
  // Takes one more reference on p.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(o.Detach()) {}
  template <class U>
  ComPtr(const ComPtr<U>& o) : ComPtr(static_cast<T*>(o.get())) {}  // NOLINT: upcast
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() {
    if (p_) p_->Release();
  }

  // Adopts a pointer that already carries a reference for us.
  static ComPtr Adopt(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  // Releases what is held and returns the slot for an out-parameter.
  T** Out() {
    *this = nullptr;
    return &p_;
  }
  // A new reference for an out-parameter.
  T* Ref() const {
    if (p_) p_->AddRef();
    return p_;
  }
  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }

 private:
  T* p_ = nullptr;
};

// QueryInterface into a ComPtr of the interface whose IID is I::kIID.
template <class I, class From>
ComPtr<I> QueryAs(From* from) {
  if (!from) return nullptr;
  void* p = nullptr;
  if (FAILED(from->QueryInterface(I::kIID, &p))) return nullptr;
  return ComPtr<I>::Adopt(static_cast<I*>(p));
}

// Makes a new object with one reference held by the result.
template <class T, class... Args>
ComPtr<T> MakeObject(Args&&... args) {
  return ComPtr<T>::Adopt(new T(std::forward<Args>(args)...));
}

// The reference count of an object. Objects start with count 1 (MakeObject adopts it) and
// delete themselves when it reaches 0.
class VASTREL_API RefCount {
 public:
  uint32_t Increment() { return ++count_; }
  uint32_t Decrement() { return --count_; }
  uint32_t Value() const { return count_; }

 private:
  uint32_t count_ = 1;
};

// Implements AddRef and Release for a class whose last release deletes it; put it in the
// class body of an object that derives from its interfaces.
#define VASTREL_REFCOUNTED                                 \
 public:                                                   \
  uint32_t AddRef() override { return refs_.Increment(); } \
  uint32_t Release() override {                            \
    const uint32_t n = refs_.Decrement();                  \
    if (n == 0) delete this;                               \
    return n;                                              \
  }                                                        \
                                                           \
 private:                                                  \
  ::vastrel::automation::RefCount refs_;                   \
                                                           \
 public:

// ---------------------------------------------------------------------------------------
// Error info

struct VASTREL_API IErrorInfo : IUnknown {
  static constexpr IID kIID = MakeGuid("1CF2B120-547D-101B-8E65-08002B2BC599");
  virtual HRESULT GetGUID(GUID* guid) = 0;
  virtual HRESULT GetSource(BSTR* source) = 0;
  virtual HRESULT GetDescription(BSTR* description) = 0;
  virtual HRESULT GetHelpFile(BSTR* file) = 0;
  virtual HRESULT GetHelpContext(uint32_t* context) = 0;

 protected:
  ~IErrorInfo() = default;
};

// Replaces the thread's error info (null clears it).
VASTREL_API void SetErrorInfo(IErrorInfo* info);
// Hands over the thread's error info and clears it: S_OK with the info, S_FALSE with null
// when there is none.
VASTREL_API HRESULT GetErrorInfo(IErrorInfo** info);
// Leaves error info with this message and source for the thread and returns hr.
VASTREL_API HRESULT SetError(HRESULT hr, std::string_view message, std::string_view source,
                             const IID& iid = IID_NULL);
// The description of the thread's error info, which stays in place; empty when none.
VASTREL_API std::string LastErrorMessage();

// A null out-pointer handed to a typed call: the call answers E_POINTER (with this message
// as error info) and writes nothing.
class VASTREL_API NullOutPointer : public Exception {
 public:
  NullOutPointer() : Exception("Null result pointer") {}
};

// Turns a failed call on an automation interface back into an exception that carries its
// error info's message (in the component's single-byte text, as every exception does).
VASTREL_API void ThrowIfFailed(HRESULT hr);

// Throws NullOutPointer when an out-pointer of a typed call is null.
inline void RequireOut(const void* p) {
  if (!p) throw NullOutPointer();
}

// The HRESULT for an exception caught at the automation boundary: E_FAIL (E_POINTER for a
// null out-pointer) with the exception's message, converted from the component's
// single-byte text to UTF-8, left as error info. Call only inside a catch block.
VASTREL_API HRESULT ErrorFromCurrentException(std::string_view source, const IID& iid);

// Runs body, turning any exception into a failed HRESULT with the message: the one place
// where the component's exceptions become automation failures. Clears stale error info
// before the call so that a failure always carries its own message.
template <class Body>
HRESULT Guarded(std::string_view source, const IID& iid, Body&& body) noexcept {
  try {
    SetErrorInfo(nullptr);
    if constexpr (std::is_same_v<decltype(body()), HRESULT>) {
      return body();
    } else {
      body();
      return S_OK;
    }
  } catch (...) {
    return ErrorFromCurrentException(source, iid);
  }
}

// ---------------------------------------------------------------------------------------
// Enumerator

struct VASTREL_API IEnumVARIANT : IUnknown {
  static constexpr IID kIID = IID_IEnumVARIANT;
  // Copies up to celt items into out[0..]; *fetched (when given) receives how many.
  // S_OK when celt items came, S_FALSE when fewer.
  virtual HRESULT Next(uint32_t celt, VARIANT* out, uint32_t* fetched) = 0;
  virtual HRESULT Skip(uint32_t celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumVARIANT** out) = 0;

 protected:
  ~IEnumVARIANT() = default;
};

// ---------------------------------------------------------------------------------------
// Connection points

struct IConnectionPointContainer;

struct VASTREL_API IConnectionPoint : IUnknown {
  static constexpr IID kIID = MakeGuid("B196B286-BAB4-101A-B69C-00AA00341D07");
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) = 0;
  // Connects a sink, which must answer the point's interface or IDispatch; *cookie names
  // the connection for Unadvise.
  virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
  virtual HRESULT Unadvise(uint32_t cookie) = 0;

 protected:
  ~IConnectionPoint() = default;
};

struct VASTREL_API IConnectionPointContainer : IUnknown {
  static constexpr IID kIID = MakeGuid("B196B284-BAB4-101A-B69C-00AA00341D07");
  virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** out) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};

// A connection point for one sink of one dispatch event interface, owned by its container
// object. The point keeps the sink's dispatch interface; the container forwards its own
// reference counting so that the point keeps the container alive while a host holds it.
class VASTREL_API ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IUnknown* container, IConnectionPointContainer* as_container, const IID& iid)
      : container_(container), as_container_(as_container), iid_(iid) {}
  ~ConnectionPoint();
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  HRESULT QueryInterface(REFIID iid, void** out) override;
  uint32_t AddRef() override { return container_->AddRef(); }
  uint32_t Release() override { return container_->Release(); }
  HRESULT GetConnectionInterface(IID* iid) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT Advise(IUnknown* sink, uint32_t* cookie) override;
  HRESULT Unadvise(uint32_t cookie) override;

  // Invokes the event on the connected sink as a method call, synchronously, with the
  // arguments in declaration order (they are passed reversed, as dispatch expects).
  // Nothing happens when no sink is connected. Returns the sink's result.
  HRESULT Fire(DISPID id, std::initializer_list<int32_t> args = {});
  bool Connected() const { return sink_ != nullptr; }
  // Drops the sink, for the end of the container's life.
  void Disconnect();

 private:
  IUnknown* container_;
  IConnectionPointContainer* as_container_;
  IID iid_;
  IDispatch* sink_ = nullptr;
  uint32_t cookie_ = 0;
  uint32_t next_cookie_ = 1;
};

// ---------------------------------------------------------------------------------------
// Class registry

// Creates an object of a registered class and answers interface iid of it.
// REGDB_E_CLASSNOTREG for an unknown class, CLASS_E_NOAGGREGATION with an outer object.
VASTREL_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, REFIID iid, void** out);
// The class identifier registered under a ProgID such as "VastrelCtrl.Vastrel" (either
// letter case); REGDB_E_CLASSNOTREG when none.
VASTREL_API HRESULT CLSIDFromProgID(std::string_view progid, CLSID* clsid);

using ClassFactoryFn = HRESULT (*)(REFIID iid, void** out);
// Adds a class to the registry (the component's own class is always there).
VASTREL_API void RegisterClass(const CLSID& clsid, std::string_view progid, ClassFactoryFn make);

}  // namespace vastrel::automation
