#include "automation/runtime.h"

#include <exception>
#include <string>
#include <vector>

#include "platform/locale.h"

namespace vastrel::automation {

// ---------------------------------------------------------------------------------------
// Error info

namespace {

class TErrorInfo final : public IErrorInfo {
  VASTREL_REFCOUNTED
 public:
  TErrorInfo(std::string_view message, std::string_view source, const IID& iid)
      : message_(message), source_(source), iid_(iid) {}
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IErrorInfo::kIID) return E_NOINTERFACE;
    *out = static_cast<IErrorInfo*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT GetGUID(GUID* guid) override {
    if (!guid) return E_POINTER;
    *guid = iid_;
    return S_OK;
  }
  HRESULT GetSource(BSTR* s) override { return Give(source_, s); }
  HRESULT GetDescription(BSTR* s) override { return Give(message_, s); }
  HRESULT GetHelpFile(BSTR* s) override { return Give("", s); }
  HRESULT GetHelpContext(uint32_t* c) override {
    if (!c) return E_POINTER;
    *c = 0;
    return S_OK;
  }
  const std::string& message() const { return message_; }

 private:
  ~TErrorInfo() = default;
  static HRESULT Give(std::string_view text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = SysAllocString(text);
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  std::string message_;
  std::string source_;
  IID iid_;
};

thread_local ComPtr<IErrorInfo> t_error_info;

}  // namespace

void SetErrorInfo(IErrorInfo* info) { t_error_info = ComPtr<IErrorInfo>(info); }

HRESULT GetErrorInfo(IErrorInfo** info) {
  if (!info) return E_POINTER;
  *info = t_error_info.Detach();
  return *info ? S_OK : S_FALSE;
}

HRESULT SetError(HRESULT hr, std::string_view message, std::string_view source, const IID& iid) {
  t_error_info = ComPtr<IErrorInfo>::Adopt(new TErrorInfo(message, source, iid));
  return hr;
}

std::string LastErrorMessage() {
  if (!t_error_info) return std::string();
  Bstr text;
  if (FAILED(t_error_info->GetDescription(text.Out()))) return std::string();
  return text.str();
}

void ThrowIfFailed(HRESULT hr) {
  if (SUCCEEDED(hr)) return;
  std::string message = LastErrorMessage();
  if (message.empty()) message = "Automation call failed";
  throw Exception(platform::Utf8ToSingleByte(message));
}

HRESULT ErrorFromCurrentException(std::string_view source, const IID& iid) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return SetError(E_OUTOFMEMORY, "Out of memory", source, iid);
  } catch (const NullOutPointer& e) {
    return SetError(E_POINTER, platform::SingleByteToUtf8(e.what()), source, iid);
  } catch (const std::exception& e) {
    // The component's messages are single-byte text (a FileName, a field's name and value
    // quoted in them); hosts receive UTF-8.
    return SetError(E_FAIL, platform::SingleByteToUtf8(e.what()), source, iid);
  } catch (...) {
    return SetError(E_UNEXPECTED, "Unexpected error", source, iid);
  }
}

// ---------------------------------------------------------------------------------------
// Connection point

ConnectionPoint::~ConnectionPoint() { Disconnect(); }

void ConnectionPoint::Disconnect() {
  if (sink_) {
    IDispatch* s = sink_;
    sink_ = nullptr;
    cookie_ = 0;
    s->Release();
  }
}

HRESULT ConnectionPoint::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IConnectionPoint::kIID) return E_NOINTERFACE;
  *out = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  as_container_->AddRef();
  *out = as_container_;
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, uint32_t* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  if (sink_) return CONNECT_E_ADVISELIMIT;
  void* p = nullptr;
  // The sink is called through dispatch; it may answer the event interface's IID (a
  // dispatch interface) or plain IDispatch.
  if (FAILED(sink->QueryInterface(iid_, &p)) && FAILED(sink->QueryInterface(IID_IDispatch, &p)))
    return CONNECT_E_CANNOTCONNECT;
  sink_ = static_cast<IDispatch*>(p);
  cookie_ = next_cookie_++;
  *cookie = cookie_;
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(uint32_t cookie) {
  if (!sink_ || cookie != cookie_ || cookie == 0) return CONNECT_E_NOCONNECTION;
  Disconnect();
  return S_OK;
}

HRESULT ConnectionPoint::Fire(DISPID id, std::initializer_list<int32_t> args) {
  if (!sink_) return S_OK;
  // Hold the sink for the call: its handler may Unadvise it.
  ComPtr<IDispatch> sink(sink_);
  std::vector<Variant> reversed;
  reversed.reserve(args.size());
  for (auto it = std::rbegin(args); it != std::rend(args); ++it) reversed.emplace_back(*it);
  DISPPARAMS dp;
  dp.rgvarg = reversed.empty() ? nullptr : reversed.data();
  dp.cArgs = static_cast<uint32_t>(reversed.size());
  return sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &dp, nullptr, nullptr, nullptr);
}

}  // namespace vastrel::automation
