#include "automation/ddf_objects.h"

#include <string>

#include "automation/key_objects.h"
#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::automation {

// ---------------------------------------------------------------------------------------
// Item objects: their own values, stored without checks.

TDDFFieldItem::TDDFFieldItem(const dictionary::TRecordItem& from)
    : name_(from.FieldName()),
      type_(static_cast<int32_t>(from.FieldType())),
      offset_(from.FieldOffset()),
      size_(from.FieldSize()) {}

void TDDFFieldItem::LoadInto(dictionary::TBtrField& field) const {
  field.SetFieldName(name_);
  field.SetDateType(static_cast<dictionary::TxFieldType>(type_));
  field.SetOffset(offset_);
  field.SetSize(size_);
}

HRESULT TDDFFieldItem::get_FieldName(BSTR* value) { return GiveText(name_, value); }
HRESULT TDDFFieldItem::put_FieldName(BSTR value) {
  return Guarded("IDDFFieldItem", kIID, [&] { name_ = TableText(value); });
}
HRESULT TDDFFieldItem::get_FieldType(TxFieldType* value) {
  if (!value) return E_POINTER;
  *value = static_cast<TxFieldType>(type_);
  return S_OK;
}
HRESULT TDDFFieldItem::put_FieldType(TxFieldType value) {
  type_ = static_cast<int32_t>(value);
  return S_OK;
}
HRESULT TDDFFieldItem::get_Offset(int32_t* value) {
  if (!value) return E_POINTER;
  *value = offset_;
  return S_OK;
}
HRESULT TDDFFieldItem::put_Offset(int32_t value) {
  offset_ = value;
  return S_OK;
}
HRESULT TDDFFieldItem::get_Size(int32_t* value) {
  if (!value) return E_POINTER;
  *value = size_;
  return S_OK;
}
HRESULT TDDFFieldItem::put_Size(int32_t value) {
  size_ = value;
  return S_OK;
}

TDDFIndexItem::TDDFIndexItem(const dictionary::TIndexItem& from)
    : name_(from.IndexName()), key_num_(from.IndexKeyNum()) {}

HRESULT TDDFIndexItem::get_IndexName(BSTR* value) { return GiveText(name_, value); }
HRESULT TDDFIndexItem::put_IndexName(BSTR value) {
  return Guarded("IDDFIndexItem", kIID, [&] { name_ = TableText(value); });
}
HRESULT TDDFIndexItem::get_IndexKeyNum(int32_t* value) {
  if (!value) return E_POINTER;
  *value = key_num_;
  return S_OK;
}
HRESULT TDDFIndexItem::put_IndexKeyNum(int32_t value) {
  key_num_ = value;
  return S_OK;
}

// ---------------------------------------------------------------------------------------
// Accessors

dictionary::TBtrField& TxBtrField::Field() {
  RequireAlive(link_);
  return *field_;
}

#define VASTREL_FIELD_RW(Name, T, Get, Set)          \
  HRESULT TxBtrField::get_##Name(T* value) {         \
    return Guarded("IBtrField", kIID, [&] {          \
      RequireOut(value);                             \
      *value = Get;                                  \
    });                                              \
  }                                                  \
  HRESULT TxBtrField::put_##Name(T value) {          \
    return Guarded("IBtrField", kIID, [&] { Set; }); \
  }

VASTREL_FIELD_RW(AsInteger, int32_t, Field().AsInteger(), Field().SetAsInteger(value))
VASTREL_FIELD_RW(AsFloat, double, Field().AsFloat(), Field().SetAsFloat(value))
VASTREL_FIELD_RW(AsBoolean, VARIANT_BOOL, ToVariantBool(Field().AsBoolean()),
                 Field().SetAsBoolean(value != 0))
VASTREL_FIELD_RW(AsDate, DATE, Field().AsDate(), Field().SetAsDate(value))
VASTREL_FIELD_RW(AsTime, DATE, Field().AsTime(), Field().SetAsTime(value))
VASTREL_FIELD_RW(AsDateTime, DATE, Field().AsDateTime(), Field().SetAsDateTime(value))
VASTREL_FIELD_RW(FieldType, TxFieldType, static_cast<TxFieldType>(Field().DateType()),
                 Field().SetDateType(static_cast<dictionary::TxFieldType>(value)))
VASTREL_FIELD_RW(Offset, int32_t, Field().Offset(), Field().SetOffset(value))
VASTREL_FIELD_RW(Size, int32_t, Field().Size(), Field().SetSize(value))
#undef VASTREL_FIELD_RW

HRESULT TxBtrField::get_AsString(BSTR* value) {
  return Guarded("IBtrField", kIID, [&] { return GiveText(Field().AsString(), value); });
}
HRESULT TxBtrField::put_AsString(BSTR value) {
  return Guarded("IBtrField", kIID, [&] { Field().SetAsString(TableText(value)); });
}
HRESULT TxBtrField::get_FieldName(BSTR* value) {
  return Guarded("IBtrField", kIID, [&] { return GiveText(Field().FieldName(), value); });
}
HRESULT TxBtrField::put_FieldName(BSTR value) {
  return Guarded("IBtrField", kIID, [&] { Field().SetFieldName(TableText(value)); });
}

dictionary::TBtrIndex& TxBtrIndex::Index() {
  RequireAlive(link_);
  return *index_;
}
HRESULT TxBtrIndex::get_IndexName(BSTR* value) {
  return Guarded("IBtrIndex", kIID, [&] { return GiveText(Index().IndexName(), value); });
}
HRESULT TxBtrIndex::put_IndexName(BSTR value) {
  return Guarded("IBtrIndex", kIID, [&] { Index().SetIndexName(TableText(value)); });
}
HRESULT TxBtrIndex::get_IndexKeyNum(int32_t* value) {
  return Guarded("IBtrIndex", kIID, [&] {
    RequireOut(value);
    *value = Index().IndexKeyNum();
  });
}
HRESULT TxBtrIndex::put_IndexKeyNum(int32_t value) {
  return Guarded("IBtrIndex", kIID, [&] { Index().SetIndexKeyNum(value); });
}

// ---------------------------------------------------------------------------------------
// Collections. The two differ only in their item, accessor and lookup; each member is
// written once here as a template over the pair.

namespace {

template <class Coll>
HRESULT CollectionQuery(Coll* self, REFIID iid, void** out, bool dual_found) {
  if (dual_found) return S_OK;
  if (iid == IVariantCollection::kIID) {
    *out = static_cast<IVariantCollection*>(self);
    self->AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

template <class Items>
HRESULT GiveItem(const Items& items, int32_t index, auto** out) {
  RequireOut(out);
  if (index < 0 || static_cast<size_t>(index) >= items.size()) ThrowIndexError(index);
  *out = items[static_cast<size_t>(index)].Ref();
  return S_OK;
}

}  // namespace

#define VASTREL_COLLECTION_COMMON(Coll, Iface, ListT, ItemIface)                                  \
  HRESULT Coll::QueryInterface(REFIID iid, void** out) {                                          \
    if (!out) return E_POINTER;                                                                   \
    *out = nullptr;                                                                               \
    return CollectionQuery(this, iid, out, QueryDual(iid, out));                                  \
  }                                                                                               \
  ListT& Coll::List() {                                                                           \
    RequireAlive(link_);                                                                          \
    return *list_;                                                                                \
  }                                                                                               \
  HRESULT Coll::get_Count(int32_t* value) {                                                       \
    if (!value) return E_POINTER;                                                                 \
    *value = static_cast<int32_t>(items_.size());                                                 \
    return S_OK;                                                                                  \
  }                                                                                               \
  HRESULT Coll::get__NewEnum(IUnknown** value) {                                                  \
    if (!value) return E_POINTER;                                                                 \
    *value = MakeEnumerator(this).Detach();                                                       \
    return S_OK;                                                                                  \
  }                                                                                               \
  HRESULT Coll::get_Items(int32_t index, ItemIface** value) {                                     \
    return Guarded(#Iface, Iface::kIID, [&] { return GiveItem(items_, index, value); });          \
  }                                                                                               \
  HRESULT Coll::ItemAt(int32_t index, VARIANT* out) {                                             \
    if (!out) return E_POINTER;                                                                   \
    ItemIface* item = nullptr;                                                                    \
    const HRESULT hr = get_Items(index, &item);                                                   \
    if (FAILED(hr)) return hr;                                                                    \
    VariantClear(out);                                                                            \
    out->vt = VT_DISPATCH;                                                                        \
    out->pdispVal = item;                                                                         \
    return S_OK;                                                                                  \
  }                                                                                               \
  HRESULT Coll::IndexOf(int32_t except_index, BSTR name, int32_t* value) {                        \
    return Guarded(#Iface, Iface::kIID, [&] {                                                     \
      RequireOut(value);                                                                          \
      *value = List().IndexOf(except_index, TableText(name));                                     \
    });                                                                                           \
  }                                                                                               \
  HRESULT Coll::Exchange(int32_t index1, int32_t index2) {                                        \
    return Guarded(#Iface, Iface::kIID, [&] {                                                     \
      List().Exchange(index1, index2);                                                            \
      Rebuild();                                                                                  \
    });                                                                                           \
  }                                                                                               \
  HRESULT Coll::Delete(int32_t index) {                                                           \
    return Guarded(#Iface, Iface::kIID, [&] {                                                     \
      List().Delete(index);                                                                       \
      Rebuild();                                                                                  \
    });                                                                                           \
  }                                                                                               \
  HRESULT Coll::Clear() {                                                                         \
    return Guarded(#Iface, Iface::kIID, [&] {                                                     \
      List().Clear();                                                                             \
      Rebuild();                                                                                  \
    });                                                                                           \
  }                                                                                               \
  HRESULT Coll::LoadItems(BSTR file_name, BSTR id) {                                              \
    return Guarded(#Iface, Iface::kIID, [&] {                                                     \
      List().LoadItems(TableText(file_name), TableText(id));                                      \
      Rebuild();                                                                                  \
    });                                                                                           \
  }                                                                                               \
  HRESULT Coll::SaveItems(BSTR file_name, VARIANT_BOOL overwrite, VARIANT_BOOL append, BSTR id) { \
    return Guarded(#Iface, Iface::kIID, [&] {                                                     \
      List().SaveItems(TableText(file_name), overwrite != 0, append != 0, TableText(id));         \
      Rebuild();                                                                                  \
    });                                                                                           \
  }

VASTREL_COLLECTION_COMMON(TDDFFieldItems, IDDFFieldItems, dictionary::TRecordItems, IDDFFieldItem)
VASTREL_COLLECTION_COMMON(TDDFIndexItems, IDDFIndexItems, dictionary::TIndexItems, IDDFIndexItem)
#undef VASTREL_COLLECTION_COMMON

TDDFFieldItems::TDDFFieldItems(std::shared_ptr<ControlLink> link, dictionary::TRecordItems* list)
    : link_(std::move(link)), list_(list) {
  accessor_ = MakeObject<TxBtrField>(link_, &List().Accessor());
  Rebuild();
}

void TDDFFieldItems::Rebuild() {
  dictionary::TRecordItems& list = List();
  std::vector<ComPtr<TDDFFieldItem>> fresh;
  fresh.reserve(static_cast<size_t>(list.Count()));
  for (int i = 0; i < list.Count(); ++i) fresh.push_back(MakeObject<TDDFFieldItem>(list[i]));
  items_.swap(fresh);
}

HRESULT TDDFFieldItems::Add(IDDFFieldItem** value) {
  return Guarded("IDDFFieldItems", IDDFFieldItems::kIID, [&] {
    RequireOut(value);
    ComPtr<TDDFFieldItem> item = MakeObject<TDDFFieldItem>(List().Add());
    Rebuild();
    *value = item.Detach();
  });
}

HRESULT TDDFFieldItems::FindField(BSTR name, IBtrField** value) {
  return Guarded("IDDFFieldItems", IDDFFieldItems::kIID, [&] {
    RequireOut(value);
    const std::string wanted = TableText(name);
    dictionary::TBtrField& field = List().Accessor();
    // The accessor ends up loaded from the item found or, on a miss, from the last item:
    // as if every item on the way had been loaded in turn, each load replacing the last.
    for (const ComPtr<TDDFFieldItem>& item : items_) {
      if (platform::Locale::EqualNoCase(item->TableName(), wanted)) {
        item->LoadInto(field);
        *value = accessor_.Ref();
        return;
      }
    }
    if (!items_.empty()) items_.back()->LoadInto(field);
    throw Exception("Field \"" + wanted + "\" not exists.");
  });
}

TDDFIndexItems::TDDFIndexItems(std::shared_ptr<ControlLink> link, dictionary::TIndexItems* list)
    : link_(std::move(link)), list_(list) {
  accessor_ = MakeObject<TxBtrIndex>(link_, &List().Accessor());
  Rebuild();
}

void TDDFIndexItems::Rebuild() {
  dictionary::TIndexItems& list = List();
  std::vector<ComPtr<TDDFIndexItem>> fresh;
  fresh.reserve(static_cast<size_t>(list.Count()));
  for (int i = 0; i < list.Count(); ++i) fresh.push_back(MakeObject<TDDFIndexItem>(list[i]));
  items_.swap(fresh);
}

HRESULT TDDFIndexItems::Add(IDDFIndexItem** value) {
  return Guarded("IDDFIndexItems", IDDFIndexItems::kIID, [&] {
    RequireOut(value);
    ComPtr<TDDFIndexItem> item = MakeObject<TDDFIndexItem>(List().Add());
    Rebuild();
    *value = item.Detach();
  });
}

HRESULT TDDFIndexItems::FindIndex(BSTR name, IBtrIndex** value) {
  return Guarded("IDDFIndexItems", IDDFIndexItems::kIID, [&] {
    RequireOut(value);
    const std::string wanted = TableText(name);
    dictionary::TBtrIndex& index = List().Accessor();
    for (const ComPtr<TDDFIndexItem>& item : items_) {
      Bstr item_name;
      int32_t key_num;
      ThrowIfFailed(item->get_IndexName(item_name.Out()));
      ThrowIfFailed(item->get_IndexKeyNum(&key_num));
      std::string table_name = TableText(item_name.get());
      index.SetIndexName(table_name);
      index.SetIndexKeyNum(key_num);
      if (platform::Locale::EqualNoCase(table_name, wanted)) {
        *value = accessor_.Ref();
        return;
      }
    }
    throw Exception("Index \"" + wanted + "\" not exists.");
  });
}

// ---------------------------------------------------------------------------------------

void WriteFieldsToList(IDDFFieldItems* items, dictionary::TRecordItems& list) {
  int32_t count = 0;
  ThrowIfFailed(items->get_Count(&count));
  for (int32_t i = 0; i < count; ++i) {
    ComPtr<IDDFFieldItem> item;
    ThrowIfFailed(items->get_Items(i, item.Out()));
    if (!item) throw Exception("Field item " + std::to_string(i) + " is missing");
    dictionary::TRecordItem& def = list.Items(i);
    Bstr name;
    TxFieldType type;
    int32_t offset, size;
    ThrowIfFailed(item->get_FieldName(name.Out()));
    def.SetFieldName(TableText(name.get()));
    ThrowIfFailed(item->get_FieldType(&type));
    def.SetFieldType(static_cast<dictionary::TxFieldType>(type));
    ThrowIfFailed(item->get_Offset(&offset));
    def.SetFieldOffset(offset);
    ThrowIfFailed(item->get_Size(&size));
    def.SetFieldSize(size);
  }
}

void WriteIndexesToList(IDDFIndexItems* items, dictionary::TIndexItems& list) {
  int32_t count = 0;
  ThrowIfFailed(items->get_Count(&count));
  for (int32_t i = 0; i < count; ++i) {
    ComPtr<IDDFIndexItem> item;
    ThrowIfFailed(items->get_Items(i, item.Out()));
    if (!item) throw Exception("Index item " + std::to_string(i) + " is missing");
    dictionary::TIndexItem& def = list.Items(i);
    Bstr name;
    int32_t key_num;
    ThrowIfFailed(item->get_IndexName(name.Out()));
    def.SetIndexName(TableText(name.get()));
    ThrowIfFailed(item->get_IndexKeyNum(&key_num));
    def.SetIndexKeyNum(key_num);
  }
}

}  // namespace vastrel::automation
