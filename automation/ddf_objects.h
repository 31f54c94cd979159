// The dictionary automation objects: collections over the table's field and index
// definitions (TDDFFieldItems, TDDFIndexItems), their detached item copies
// (TDDFFieldItem, TDDFIndexItem) and the accessors that a lookup by name returns
// (TxBtrField, TxBtrIndex).
//
// A collection acts on the table's list at once for structural members and rebuilds its
// items afterwards (only after success); item objects are copies, so an edit on one
// reaches the table only when the host writes the collection back through the control's
// DDFFields or DDFIndexes (WriteFieldsToList, WriteIndexesToList). Every lookup reloads the
// collection's one accessor object, which forwards to the list's single accessor: two
// lookups held at once both see the field found last.
//
// Text crosses as UTF-8 and is kept in the table's single-byte form. The objects reach the
// table through a ControlLink and fail with kControlGone once the control is destroyed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "automation/comlib.h"
#include "automation/dispatch.h"
#include "automation/vastrel_tlb.h"
#include "dictionary/btrdictlist.h"
#include "dictionary/btrfld.h"
#include "platform/export.h"

namespace vastrel::automation {

class VASTREL_API TDDFFieldItem final : public DispatchImpl<IDDFFieldItem> {
  VASTREL_REFCOUNTED
 public:
  explicit TDDFFieldItem(const dictionary::TRecordItem& from);
  VASTREL_DUAL_QUERYINTERFACE
  VASTREL_OVERRIDE_MEMBERS(VASTREL_IDDFFieldItem)

  // The values as the item holds them, the name in single-byte form: what a lookup by name
  // compares and loads, without a round trip through automation text for every item.
  const std::string& TableName() const { return name_; }
  // Loads the accessor with this definition.
  void LoadInto(dictionary::TBtrField& field) const;

 private:
  ~TDDFFieldItem() = default;
  std::string name_;  // single-byte
  int32_t type_;
  int32_t offset_;
  int32_t size_;
};

class VASTREL_API TDDFIndexItem final : public DispatchImpl<IDDFIndexItem> {
  VASTREL_REFCOUNTED
 public:
  explicit TDDFIndexItem(const dictionary::TIndexItem& from);
  VASTREL_DUAL_QUERYINTERFACE
  VASTREL_OVERRIDE_MEMBERS(VASTREL_IDDFIndexItem)

 private:
  ~TDDFIndexItem() = default;
  std::string name_;  // single-byte
  int32_t key_num_;
};

class VASTREL_API TxBtrField final : public DispatchImpl<IBtrField> {
  VASTREL_REFCOUNTED
 public:
  TxBtrField(std::shared_ptr<ControlLink> link, dictionary::TBtrField* field)
      : link_(std::move(link)), field_(field) {}
  VASTREL_DUAL_QUERYINTERFACE
  VASTREL_OVERRIDE_MEMBERS(VASTREL_IBtrField)

 private:
  ~TxBtrField() = default;
  dictionary::TBtrField& Field();
  std::shared_ptr<ControlLink> link_;
  dictionary::TBtrField* field_;
};

class VASTREL_API TxBtrIndex final : public DispatchImpl<IBtrIndex> {
  VASTREL_REFCOUNTED
 public:
  TxBtrIndex(std::shared_ptr<ControlLink> link, dictionary::TBtrIndex* index)
      : link_(std::move(link)), index_(index) {}
  VASTREL_DUAL_QUERYINTERFACE
  VASTREL_OVERRIDE_MEMBERS(VASTREL_IBtrIndex)

 private:
  ~TxBtrIndex() = default;
  dictionary::TBtrIndex& Index();
  std::shared_ptr<ControlLink> link_;
  dictionary::TBtrIndex* index_;
};

class VASTREL_API TDDFFieldItems final : public DispatchImpl<IDDFFieldItems>,
                                         public IVariantCollection {
  VASTREL_REFCOUNTED
 public:
  TDDFFieldItems(std::shared_ptr<ControlLink> link, dictionary::TRecordItems* list);
  HRESULT QueryInterface(REFIID iid, void** out) override;
  VASTREL_OVERRIDE_MEMBERS(VASTREL_IDDFFieldItems)
  int32_t ItemCount() override { return static_cast<int32_t>(items_.size()); }
  HRESULT ItemAt(int32_t index, VARIANT* out) override;
  IUnknown* Owner() override { return static_cast<IDDFFieldItems*>(this); }

 private:
  ~TDDFFieldItems() = default;
  dictionary::TRecordItems& List();
  void Rebuild();
  std::shared_ptr<ControlLink> link_;
  dictionary::TRecordItems* list_;
  std::vector<ComPtr<TDDFFieldItem>> items_;
  ComPtr<TxBtrField> accessor_;
};

class VASTREL_API TDDFIndexItems final : public DispatchImpl<IDDFIndexItems>,
                                         public IVariantCollection {
  VASTREL_REFCOUNTED
 public:
  TDDFIndexItems(std::shared_ptr<ControlLink> link, dictionary::TIndexItems* list);
  HRESULT QueryInterface(REFIID iid, void** out) override;
  VASTREL_OVERRIDE_MEMBERS(VASTREL_IDDFIndexItems)
  int32_t ItemCount() override { return static_cast<int32_t>(items_.size()); }
  HRESULT ItemAt(int32_t index, VARIANT* out) override;
  IUnknown* Owner() override { return static_cast<IDDFIndexItems*>(this); }

 private:
  ~TDDFIndexItems() = default;
  dictionary::TIndexItems& List();
  void Rebuild();
  std::shared_ptr<ControlLink> link_;
  dictionary::TIndexItems* list_;
  std::vector<ComPtr<TDDFIndexItem>> items_;
  ComPtr<TxBtrIndex> accessor_;
};

// The control's DDFFields and DDFIndexes writes: item i's values go into definition i
// through its setters (an index error when the list is shorter; earlier ones stay written).
VASTREL_API void WriteFieldsToList(IDDFFieldItems* items, dictionary::TRecordItems& list);
VASTREL_API void WriteIndexesToList(IDDFIndexItems* items, dictionary::TIndexItems& list);

}  // namespace vastrel::automation
