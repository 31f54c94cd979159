#include "automation/key_objects.h"

#include <string>

#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::automation {

namespace {

constexpr const char* kKeysSource = "IKeys";

}  // namespace

void ThrowIndexError(int32_t index) {
  throw Exception("List index out of bounds (" + std::to_string(index) + ")");
}

KeyValues KeyValuesOf(const keys::TKey& s) {
  KeyValues v;
  v.AllowDuplicates = s.AllowDuplicates();
  v.AllSegmentNull = s.AllSegmentNull();
  v.CaseInsensitive = s.CaseInsensitive();
  v.Descending = s.Descending();
  v.ExtendedType = s.ExtendedType();
  v.KeySortedByACS = s.KeySortedbyACS();
  v.KeyType = static_cast<TxKeyTypes>(s.KeyType());
  v.Length = s.Length();
  v.Modifiable = s.Modifiable();
  v.Position = s.Position();
  v.Segment = s.Segment();
  v.NullSegment = s.NulSegment();
  const keys::KeySpecBlock& b = s.Block();
  TxKeyDesc& d = v.Description;
  d.Position = static_cast<int16_t>(b[0] | (b[1] << 8));
  d.Length = static_cast<int16_t>(b[2] | (b[3] << 8));
  d.KeyFlag = static_cast<int16_t>(b[4] | (b[5] << 8));
  d.KeyValues = static_cast<int32_t>(s.KeyValues());
  d.Extended = b[10];
  d.NullVal = b[11];
  // Two characters, zero bytes included, carried as automation text.
  const char reserv[2] = {static_cast<char>(b[12]), static_cast<char>(b[13])};
  d.Reserv = platform::SingleByteToUtf8(std::string_view(reserv, 2));
  d.Manually = static_cast<int8_t>(b[14]);
  d.ACS = static_cast<int8_t>(b[15]);
  return v;
}

// ---------------------------------------------------------------------------------------
// TxKey: every get returns the object's own value, every put stores it without checks.

#define VASTREL_KEY_BOOL(Name)                     \
  HRESULT TxKey::get_##Name(VARIANT_BOOL* value) { \
    if (!value) return E_POINTER;                  \
    *value = ToVariantBool(v_.Name);               \
    return S_OK;                                   \
  }                                                \
  HRESULT TxKey::put_##Name(VARIANT_BOOL value) {  \
    v_.Name = value != 0;                          \
    return S_OK;                                   \
  }
#define VASTREL_KEY_PLAIN(Name, T)      \
  HRESULT TxKey::get_##Name(T* value) { \
    if (!value) return E_POINTER;       \
    *value = v_.Name;                   \
    return S_OK;                        \
  }                                     \
  HRESULT TxKey::put_##Name(T value) {  \
    v_.Name = value;                    \
    return S_OK;                        \
  }

VASTREL_KEY_BOOL(AllowDuplicates)
VASTREL_KEY_BOOL(AllSegmentNull)
VASTREL_KEY_BOOL(CaseInsensitive)
VASTREL_KEY_BOOL(Descending)
VASTREL_KEY_PLAIN(ExtendedType, int32_t)
VASTREL_KEY_BOOL(KeySortedByACS)
VASTREL_KEY_PLAIN(KeyType, TxKeyTypes)
VASTREL_KEY_PLAIN(Length, int32_t)
VASTREL_KEY_BOOL(Modifiable)
VASTREL_KEY_PLAIN(Position, int32_t)
VASTREL_KEY_BOOL(Segment)
VASTREL_KEY_BOOL(NullSegment)

HRESULT TxKey::get_Description(TxKeyDesc* value) {
  if (!value) return E_POINTER;
  *value = v_.Description;
  return S_OK;
}
HRESULT TxKey::put_Description(const TxKeyDesc& value) {
  return Guarded("IKey", IKey::kIID, [&] { v_.Description = value; });
}

#undef VASTREL_KEY_BOOL
#undef VASTREL_KEY_PLAIN

// ---------------------------------------------------------------------------------------
// TKeys

TKeys::TKeys(std::shared_ptr<ControlLink> link, keys::tkeylist* list)
    : link_(std::move(link)), list_(list) {
  Rebuild();
}

HRESULT TKeys::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (QueryDual(iid, out)) return S_OK;
  if (iid == IVariantCollection::kIID) {
    *out = static_cast<IVariantCollection*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

keys::tkeylist& TKeys::List() {
  RequireAlive(link_);
  return *list_;
}

void TKeys::Rebuild() {
  keys::tkeylist& list = List();
  std::vector<ComPtr<TxKey>> fresh;
  fresh.reserve(static_cast<size_t>(list.Count()));
  for (int i = 0; i < list.Count(); ++i) fresh.push_back(MakeObject<TxKey>(KeyValuesOf(list[i])));
  items_.swap(fresh);
}

HRESULT TKeys::get_Count(int32_t* value) {
  if (!value) return E_POINTER;
  *value = static_cast<int32_t>(items_.size());
  return S_OK;
}

HRESULT TKeys::get_Items(int32_t index, IKey** value) {
  return Guarded(kKeysSource, IKeys::kIID, [&] {
    RequireOut(value);
    if (index < 0 || static_cast<size_t>(index) >= items_.size()) ThrowIndexError(index);
    *value = items_[static_cast<size_t>(index)].Ref();
  });
}

HRESULT TKeys::ItemAt(int32_t index, VARIANT* out) {
  if (!out) return E_POINTER;
  IKey* item = nullptr;
  const HRESULT hr = get_Items(index, &item);
  if (FAILED(hr)) return hr;
  VariantClear(out);
  out->vt = VT_DISPATCH;
  out->pdispVal = item;
  return S_OK;
}

HRESULT TKeys::get__NewEnum(IUnknown** value) {
  if (!value) return E_POINTER;
  *value = MakeEnumerator(this).Detach();
  return S_OK;
}

HRESULT TKeys::Keys(VARIANT* value) {
  return Guarded(kKeysSource, IKeys::kIID, [&] {
    RequireOut(value);
    const int n = List().CountKeys();
    VariantClear(value);
    value->vt = VT_I4;
    value->lVal = n;
  });
}

HRESULT TKeys::KeySeg(int32_t j, VARIANT* key_num, VARIANT* segment) {
  return Guarded(kKeysSource, IKeys::kIID, [&] {
    RequireOut(key_num);
    RequireOut(segment);
    const keys::SegmentPlace place = List().LocateSegment(j);
    VariantClear(key_num);
    key_num->vt = VT_I4;
    key_num->lVal = place.key_number;
    VariantClear(segment);
    segment->vt = VT_I4;
    segment->lVal = place.segment_number;
  });
}

HRESULT TKeys::Insert(int32_t at) {
  return Guarded(kKeysSource, IKeys::kIID, [&] {
    List().Insert(at);
    Rebuild();
  });
}

HRESULT TKeys::Delete(int32_t at) {
  return Guarded(kKeysSource, IKeys::kIID, [&] {
    List().Delete(at);
    Rebuild();
  });
}

HRESULT TKeys::Add(IKey** value) {
  return Guarded(kKeysSource, IKeys::kIID, [&] {
    RequireOut(value);
    keys::TKey& added = List().Add();
    // The returned object is a copy of its own, not the one the rebuilt list holds.
    ComPtr<TxKey> item = MakeObject<TxKey>(KeyValuesOf(added));
    Rebuild();
    *value = item.Detach();
  });
}

// ---------------------------------------------------------------------------------------

void WriteKeysToList(IKeys* keys, keys::tkeylist& list) {
  int32_t count = 0;
  ThrowIfFailed(keys->get_Count(&count));
  for (int32_t i = 0; i < count; ++i) {
    ComPtr<IKey> item;
    ThrowIfFailed(keys->get_Items(i, item.Out()));
    if (!item) throw Exception("Key item " + std::to_string(i) + " is missing");
    keys::TKey& seg = list.Items(i);
    VARIANT_BOOL b;
    int32_t n;
    TxKeyTypes type;
    ThrowIfFailed(item->get_AllowDuplicates(&b));
    seg.SetAllowDuplicates(b != 0);
    ThrowIfFailed(item->get_AllSegmentNull(&b));
    seg.SetAllSegmentNull(b != 0);
    ThrowIfFailed(item->get_CaseInsensitive(&b));
    seg.SetCaseInsensitive(b != 0);
    ThrowIfFailed(item->get_Descending(&b));
    seg.SetDescending(b != 0);
    ThrowIfFailed(item->get_ExtendedType(&n));
    seg.SetExtendedType(static_cast<uint16_t>(n));
    ThrowIfFailed(item->get_KeySortedByACS(&b));
    seg.SetKeySortedbyACS(b != 0);
    ThrowIfFailed(item->get_KeyType(&type));
    seg.SetKeyType(static_cast<int>(type));
    ThrowIfFailed(item->get_Length(&n));
    seg.SetLength(n);
    ThrowIfFailed(item->get_Modifiable(&b));
    seg.SetModifiable(b != 0);
    ThrowIfFailed(item->get_Position(&n));
    seg.SetPosition(n);
    ThrowIfFailed(item->get_Segment(&b));
    seg.SetSegment(b != 0);
    ThrowIfFailed(item->get_NullSegment(&b));
    seg.SetNulSegment(b != 0);
    TxKeyDesc d;
    ThrowIfFailed(item->get_Description(&d));
    seg.SetKeyValues(static_cast<uint32_t>(d.KeyValues));
    seg.SetNullVal(d.NullVal);
    seg.SetManually(static_cast<uint8_t>(d.Manually));
    seg.SetACS(static_cast<uint8_t>(d.ACS));
  }
}

}  // namespace vastrel::automation
