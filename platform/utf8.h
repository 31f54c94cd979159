// The one UTF-8 decoder and encoder of the component. Strict: overlong forms, surrogates,
// code points above U+10FFFF and sequences cut short are not characters. The locale's
// conversions, the property bag and the JSON reader all decode through here, so that every
// text that enters the component is judged by the same rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/export.h"

namespace vastrel::platform {

// The length (1 to 4) of the well-formed UTF-8 sequence that starts at text[at], with its
// code point in *code_point when that is not null; 0 when the bytes there are no character.
// Reads nothing at or beyond text.size(). REQUIRES: at < text.size().
VASTREL_API size_t DecodeUtf8(std::string_view text, size_t at, uint32_t* code_point = nullptr);

// True when the whole text is well-formed UTF-8.
VASTREL_API bool IsValidUtf8(std::string_view text);

// Appends the UTF-8 form of a code point (REQUIRES: a scalar value, not a surrogate).
VASTREL_API void AppendUtf8(std::string& out, uint32_t code_point);

}  // namespace vastrel::platform
