// The declared type of a field definition. Stored, copied, saved, loaded and shown; typed
// field access converts by the accessor the caller uses and never consults it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/export.h"

namespace vastrel::dictionary {

enum TxFieldType : uint8_t {
  ftSTRING,
  ftINTEGER,
  ftFLOAT,
  ftBOOLEAN,
  ftDATE,
  ftTIME,
  ftDATETIME,
};

inline constexpr int kFieldTypeCount = 7;

// The persisted member name, "ft_STRING" .. "ft_DATETIME"; nullptr for a value above 6,
// which a definition may hold since its setters store any byte.
VASTREL_API const char* FieldTypeName(uint8_t type);
// The value of a persisted member name (exact spelling); nullopt for an unknown name.
VASTREL_API std::optional<TxFieldType> FieldTypeFromName(std::string_view name);

}  // namespace vastrel::dictionary
