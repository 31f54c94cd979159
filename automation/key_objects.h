// The key automation objects of VastrelImpl: TKeys (IKeys), a collection over the
// table's key segment list, and TxKey (IKey), a detached copy of one segment's values.
//
// TKeys acts on the table's list at once for its structural members (Insert, Delete, Add,
// Keys); its items are copies made when it last rebuilt them (at creation and after
// Insert, Delete and Add), so edits on items reach the table only when the host writes
// the collection back through the control's Keys property (WriteKeysToList).
//
// The list belongs to the control's table; the objects reach it through a ControlLink and
// fail with kControlGone once the control is destroyed.
#pragma once

#include <memory>
#include <vector>

#include "automation/comlib.h"
#include "automation/dispatch.h"
#include "automation/vastrel_tlb.h"
#include "keys/btrklist.h"
#include "platform/export.h"

namespace vastrel::automation {

// The values of one key segment, as IKey shows them.
struct KeyValues {
  bool AllowDuplicates = false;
  bool AllSegmentNull = false;
  bool CaseInsensitive = false;
  bool Descending = false;
  int32_t ExtendedType = 0;
  bool KeySortedByACS = false;
  TxKeyTypes KeyType = TxKeyTypes::ktOldBinary;
  int32_t Length = 0;
  bool Modifiable = false;
  int32_t Position = 0;
  bool Segment = false;
  bool NullSegment = false;
  TxKeyDesc Description;
};

// The values of a segment: 16-bit fields sign-extended, Reserv as two characters.
VASTREL_API KeyValues KeyValuesOf(const keys::TKey& segment);

class VASTREL_API TxKey final : public DispatchImpl<IKey> {
  VASTREL_REFCOUNTED
 public:
  explicit TxKey(const KeyValues& values) : v_(values) {}
  VASTREL_DUAL_QUERYINTERFACE
  VASTREL_OVERRIDE_MEMBERS(VASTREL_IKey)
  const KeyValues& values() const { return v_; }

 private:
  ~TxKey() = default;
  KeyValues v_;
};

class VASTREL_API TKeys final : public DispatchImpl<IKeys>, public IVariantCollection {
  VASTREL_REFCOUNTED
 public:
  TKeys(std::shared_ptr<ControlLink> link, keys::tkeylist* list);
  HRESULT QueryInterface(REFIID iid, void** out) override;
  VASTREL_OVERRIDE_MEMBERS(VASTREL_IKeys)

  int32_t ItemCount() override { return static_cast<int32_t>(items_.size()); }
  HRESULT ItemAt(int32_t index, VARIANT* out) override;
  IUnknown* Owner() override { return static_cast<IKeys*>(this); }

 private:
  ~TKeys() = default;
  void Rebuild();
  keys::tkeylist& List();

  std::shared_ptr<ControlLink> link_;
  keys::tkeylist* list_;
  std::vector<ComPtr<TxKey>> items_;
};

// The control's Keys write: copies item i of keys into segment i of list through the
// segment's setters (an index error when the list is shorter; earlier items stay copied).
// The item's own properties decide the flags, extended type, position and length; of its
// Description only KeyValues, NullVal, Manually and ACS are taken.
VASTREL_API void WriteKeysToList(IKeys* keys, keys::tkeylist& list);

// Throws the list index error "List index out of bounds (index)".
[[noreturn]] VASTREL_API void ThrowIndexError(int32_t index);

}  // namespace vastrel::automation
