#include "dictionary/btrdictlist.h"

#include <limits>

#include "platform/error.h"

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

}  // namespace vastrel::dictionary
