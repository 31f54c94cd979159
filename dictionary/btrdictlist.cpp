#include "dictionary/btrdictlist.h"

#include <limits>

#include "dictionary/item_file.h"
#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::dictionary {

void ThrowListIndexError(int64_t index) {
  throw Exception("List index out of bounds (" + std::to_string(index) + ")");
}

TRecordItem& TRecordItems::Add() {
  TRecordItem& item = Append(TRecordItem());
  item.SetFieldName("FIELD" + std::to_string(Count()));
  item.SetFieldType(ftSTRING);
  item.SetFieldOffset(CalcFieldOffset(Count() - 1));
  item.SetFieldSize(1);
  return item;
}

int32_t TRecordItems::CalcFieldOffset(int index) const {
  if (index > Count() - 1) return 0;
  int64_t sum = 0;
  for (int i = 0; i < index; ++i) sum += items_[static_cast<size_t>(i)]->FieldSize();
  if (sum > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (sum < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(sum);
}

TIndexItem& TIndexItems::Add() {
  TIndexItem item;
  item.SetIndexName("INDEX" + std::to_string(Count() + 1));
  item.SetIndexKeyNum(-1);
  return Append(item);
}

namespace {

// The records of one kind and ID in a file, in file order; false when the file is missing.
bool LoadRecords(const std::string& file_name, std::string_view id, int32_t kind,
                 std::vector<ItemRecord>* out) {
  std::vector<uint8_t> contents;
  if (!ReadItemFile(file_name, &contents)) return false;
  for (ItemRecord& r : DecodeItemFile(contents, file_name)) {
    if (r.kind == kind && platform::Locale::EqualNoCase(r.id, id)) out->push_back(std::move(r));
  }
  return true;
}

}  // namespace

void TRecordItems::SaveItems(const std::string& ddf_file_name, bool overwrite_when_exists,
                             bool append_to_file, std::string_view id) const {
  std::vector<ItemRecord> records;
  records.reserve(items_.size());
  for (const auto& f : items_) {
    records.push_back({std::string(id), f->FieldName(), f->FieldType(), f->FieldOffset(),
                       f->FieldSize(), kFieldRecordKind});
  }
  SaveItemRecords(ddf_file_name, overwrite_when_exists, append_to_file, records);
}

void TRecordItems::LoadItems(const std::string& ddf_file_name, std::string_view id) {
  std::vector<ItemRecord> records;
  if (!LoadRecords(ddf_file_name, id, kFieldRecordKind, &records)) return;
  Clear();
  for (ItemRecord& r : records) {
    TRecordItem item;
    item.SetFieldName(std::move(r.name));
    item.SetFieldType(static_cast<TxFieldType>(r.field_type));
    item.SetFieldOffset(r.offset);
    item.SetFieldSize(r.size);
    Append(item);
  }
}

void TIndexItems::SaveItems(const std::string& ddf_file_name, bool overwrite_when_exists,
                            bool append_to_file, std::string_view id) const {
  std::vector<ItemRecord> records;
  records.reserve(items_.size());
  for (const auto& i : items_) {
    records.push_back({std::string(id), i->IndexName(), 0, i->IndexKeyNum(), 0, kIndexRecordKind});
  }
  SaveItemRecords(ddf_file_name, overwrite_when_exists, append_to_file, records);
}

void TIndexItems::LoadItems(const std::string& ddf_file_name, std::string_view id) {
  std::vector<ItemRecord> records;
  if (!LoadRecords(ddf_file_name, id, kIndexRecordKind, &records)) return;
  Clear();
  for (ItemRecord& r : records) {
    TIndexItem item;
    item.SetIndexName(std::move(r.name));
    item.SetIndexKeyNum(r.offset);
    Append(item);
  }
}

}  // namespace vastrel::dictionary
