#include "automation/comlib.h"

#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::automation {

namespace {

class TEnumVariantCollection final : public IEnumVARIANT {
  VASTREL_REFCOUNTED
 public:
  TEnumVariantCollection(IVariantCollection* source, uint32_t position)
      : source_(source), owner_(source->Owner()), position_(position) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IEnumVARIANT::kIID) return E_NOINTERFACE;
    *out = static_cast<IEnumVARIANT*>(this);
    AddRef();
    return S_OK;
  }

  HRESULT Next(uint32_t celt, VARIANT* out, uint32_t* fetched) override {
    if (!out && celt > 0) return E_POINTER;
    uint32_t i = 0;
    HRESULT hr = S_OK;
    while (i < celt && position_ < Count()) {
      VariantInit(&out[i]);
      hr = source_->ItemAt(static_cast<int32_t>(position_), &out[i]);
      if (FAILED(hr)) break;
      ++position_;
      ++i;
    }
    if (fetched) *fetched = i;
    if (FAILED(hr)) return hr;
    return i == celt ? S_OK : S_FALSE;
  }

  HRESULT Skip(uint32_t celt) override {
    const uint32_t count = Count();
    if (uint64_t{position_} + celt <= count) {
      position_ += celt;
      return S_OK;
    }
    position_ = count;
    return S_FALSE;
  }

  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }

  HRESULT Clone(IEnumVARIANT** out) override {
    if (!out) return E_POINTER;
    *out = new TEnumVariantCollection(source_.get(), position_);
    return S_OK;
  }

 private:
  ~TEnumVariantCollection() = default;
  uint32_t Count() {
    const int32_t n = source_->ItemCount();
    return n < 0 ? 0 : static_cast<uint32_t>(n);
  }

  ComPtr<IVariantCollection> source_;
  ComPtr<IUnknown> owner_;
  uint32_t position_;
};

}  // namespace

ComPtr<IEnumVARIANT> MakeEnumerator(IVariantCollection* source) {
  if (!source) return nullptr;
  return ComPtr<IEnumVARIANT>::Adopt(new TEnumVariantCollection(source, 0));
}

std::string TableText(const char* automation_text) {
  return platform::Utf8ToSingleByte(BstrView(automation_text));
}

HRESULT GiveText(std::string_view table_text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocString(platform::SingleByteToUtf8(table_text));
  return *out ? S_OK : E_OUTOFMEMORY;
}

void RequireAlive(const std::shared_ptr<ControlLink>& link) {
  if (!link || !link->alive) throw Exception(kControlGone);
}

}  // namespace vastrel::automation
