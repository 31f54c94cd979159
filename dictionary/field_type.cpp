#include "dictionary/field_type.h"

namespace vastrel::dictionary {
namespace {

constexpr const char* kNames[kFieldTypeCount] = {
    "ft_STRING", "ft_INTEGER", "ft_FLOAT", "ft_BOOLEAN", "ft_DATE", "ft_TIME", "ft_DATETIME"};

}  // namespace

const char* FieldTypeName(uint8_t type) { return type < kFieldTypeCount ? kNames[type] : nullptr; }

std::optional<TxFieldType> FieldTypeFromName(std::string_view name) {
  for (int i = 0; i < kFieldTypeCount; ++i) {
    if (name == kNames[i]) return static_cast<TxFieldType>(i);
  }
  return std::nullopt;
}

}  // namespace vastrel::dictionary
