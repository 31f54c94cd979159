// Field and index definitions of a table, and the ordered lists that hold them.
//
// A field definition names a slice of the record text (a character offset and a width)
// and declares a type; an index definition gives a name to an engine key number. The
// lists enforce no invariant: names may repeat or be empty, fields may overlap, leave
// gaps or lie beyond the record, key numbers may take any value. Setters store values
// unchanged.
//
// Each list belongs to one table (its RecordHost, the owner) and owns its definitions and
// one accessor bound to the same table: TBtrField for the field list, TBtrIndex for the
// index list. Definitions keep their address until they are deleted or the list is
// cleared. Positions count from 0, except for Exchange, which counts from 1.
// Not thread-safe: used on the host's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dictionary/btrfld.h"
#include "dictionary/field_type.h"
#include "dictionary/record_host.h"
#include "platform/export.h"

namespace vastrel::dictionary {

class VASTREL_API TRecordItem {
 public:
  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(std::string v) { field_name_ = std::move(v); }
  TxFieldType FieldType() const { return field_type_; }
  void SetFieldType(TxFieldType v) { field_type_ = v; }
  // 0-based position of the field's first character in the record text.
  int32_t FieldOffset() const { return field_offset_; }
  void SetFieldOffset(int32_t v) { field_offset_ = v; }
  // The field's width in characters.
  int32_t FieldSize() const { return field_size_; }
  void SetFieldSize(int32_t v) { field_size_ = v; }

  const std::string& Name() const { return field_name_; }
  friend bool operator==(const TRecordItem&, const TRecordItem&) = default;

 private:
  std::string field_name_;
  TxFieldType field_type_ = ftSTRING;
  int32_t field_offset_ = 0;
  int32_t field_size_ = 0;
};

class VASTREL_API TIndexItem {
 public:
  const std::string& IndexName() const { return index_name_; }
  void SetIndexName(std::string v) { index_name_ = std::move(v); }
  // The engine key number the name stands for; -1 when none is assigned yet.
  int32_t IndexKeyNum() const { return index_key_num_; }
  void SetIndexKeyNum(int32_t v) { index_key_num_ = v; }

  const std::string& Name() const { return index_name_; }
  friend bool operator==(const TIndexItem&, const TIndexItem&) = default;

 private:
  std::string index_name_;
  int32_t index_key_num_ = -1;
};

// Throws vastrel::Exception "List index out of bounds (<index>)".
[[noreturn]] VASTREL_API void ThrowListIndexError(int64_t index);

namespace internal {

// What the two lists share. Item must offer Name().
template <class Item>
class DefinitionList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }

  // The definition at a 0-based position; outside 0..Count()-1 the list's index error.
  Item& Items(int index) { return *items_[Checked(index)]; }
  const Item& Items(int index) const { return *items_[Checked(index)]; }
  Item& operator[](int index) { return Items(index); }
  const Item& operator[](int index) const { return Items(index); }

  // Removes and frees the definition at `index`; later ones move up one position. A bad
  // index raises as Items does and changes nothing.
  void Delete(int index) { items_.erase(items_.begin() + static_cast<ptrdiff_t>(Checked(index))); }
  void Clear() { items_.clear(); }

  // The first position, other than except_index, whose name equals `name` exactly (same
  // length, letter case significant); -1 when none. An except_index outside the list
  // skips nothing.
  int IndexOf(int except_index, std::string_view name) const {
    for (int i = 0; i < Count(); ++i) {
      if (i != except_index && items_[static_cast<size_t>(i)]->Name() == name) return i;
    }
    return -1;
  }

  // Swaps the values of the definitions at the 1-based positions index1 and index2; the
  // definitions themselves keep their places. Either position outside the list raises
  // the index error (with the 0-based position) before anything changes.
  void Exchange(int index1, int index2) {
    const int64_t a = static_cast<int64_t>(index1) - 1;
    const int64_t b = static_cast<int64_t>(index2) - 1;
    if (a < 0 || a >= Count()) ThrowListIndexError(a);
    if (b < 0 || b >= Count()) ThrowListIndexError(b);
    if (a != b) std::swap(*items_[static_cast<size_t>(a)], *items_[static_cast<size_t>(b)]);
  }

  // Appends a copy of the given definition (loading, restoring saved properties).
  Item& Append(const Item& item) {
    items_.push_back(std::make_unique<Item>(item));
    return *items_.back();
  }

  // Replaces every definition with copies of another list's.
  void AssignItems(const DefinitionList& other) {
    if (this == &other) return;
    std::vector<std::unique_ptr<Item>> copy;
    copy.reserve(other.items_.size());
    for (const auto& item : other.items_) copy.push_back(std::make_unique<Item>(*item));
    items_ = std::move(copy);
  }

  bool SameItems(const DefinitionList& other) const {
    if (Count() != other.Count()) return false;
    for (size_t i = 0; i < items_.size(); ++i) {
      if (!(*items_[i] == *other.items_[i])) return false;
    }
    return true;
  }

 protected:
  DefinitionList() = default;
  ~DefinitionList() = default;
  DefinitionList(const DefinitionList&) = delete;
  DefinitionList& operator=(const DefinitionList&) = delete;

  size_t Checked(int index) const {
    if (index < 0 || index >= Count()) ThrowListIndexError(index);
    return static_cast<size_t>(index);
  }

  std::vector<std::unique_ptr<Item>> items_;
};

}  // namespace internal

// The field definitions of a table (its DDFFields).
class VASTREL_API TRecordItems : public internal::DefinitionList<TRecordItem> {
 public:
  explicit TRecordItems(RecordHost& owner) : owner_(owner), field_(owner) {}

  RecordHost& Owner() const { return owner_; }
  // The list's one field accessor, shared by every lookup by name.
  TBtrField& Accessor() { return field_; }
  const TBtrField& Accessor() const { return field_; }

  // Appends FIELD<n> (n = Count() after appending), ftSTRING, offset CalcFieldOffset of
  // its position, size 1. The name is not compared with existing names.
  TRecordItem& Add();
  // The default offset for a position: the sum of FieldSize over the positions before it;
  // 0 for index <= 0 and for an index beyond the last position. The sum saturates at the
  // limits of a 32-bit integer instead of wrapping round. Stored offsets are never
  // recomputed from it.
  int32_t CalcFieldOffset(int index) const;

  // Writes the definitions as field records under `id` (see item_file.h for the rules of
  // overwriting and merging). The list is unchanged, also on failure.
  void SaveItems(const std::string& ddf_file_name, bool overwrite_when_exists, bool append_to_file,
                 std::string_view id) const;
  // Replaces the definitions with the field records stored under `id` (compared whole,
  // without regard to case), in file order. A missing file changes nothing; a corrupt
  // file raises before the list is changed; an ID the file lacks leaves the list empty.
  void LoadItems(const std::string& ddf_file_name, std::string_view id);

 private:
  RecordHost& owner_;
  TBtrField field_;
};

// The index definitions of a table (its DDFIndexes).
class VASTREL_API TIndexItems : public internal::DefinitionList<TIndexItem> {
 public:
  explicit TIndexItems(RecordHost& owner) : owner_(owner), index_(owner) {}

  RecordHost& Owner() const { return owner_; }
  // The list's one index accessor.
  TBtrIndex& Accessor() { return index_; }
  const TBtrIndex& Accessor() const { return index_; }

  // Appends INDEX<n> (n = Count() after appending) with key number -1.
  TIndexItem& Add();

  // As TRecordItems::SaveItems and LoadItems, with index records.
  void SaveItems(const std::string& ddf_file_name, bool overwrite_when_exists, bool append_to_file,
                 std::string_view id) const;
  void LoadItems(const std::string& ddf_file_name, std::string_view id);

 private:
  RecordHost& owner_;
  TBtrIndex index_;
};

}  // namespace vastrel::dictionary
