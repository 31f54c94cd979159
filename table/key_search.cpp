// The key buffer's typed views and the search by index name.
#include <algorithm>
#include <cstring>

#include "dictionary/field_text.h"
#include "platform/error.h"
#include "platform/locale.h"
#include "table/btr.h"

namespace vastrel::table {
namespace {

// A kind of text value that some hosts pass besides VT_BSTR; it is read like a BSTR.
constexpr VARTYPE kVtNativeText = 256;

template <typename T>
T ReadKey(const std::array<uint8_t, kKeyBufferSize>& buffer) {
  T value;
  std::memcpy(&value, buffer.data(), sizeof value);
  return value;
}

template <typename T>
void WriteKey(std::array<uint8_t, kKeyBufferSize>& buffer, T value) {
  std::memcpy(buffer.data(), &value, sizeof value);
}

}  // namespace

std::string TBtr::KeyBuffer() const {
  const auto end = std::find(key_buffer_.begin(), key_buffer_.end(), uint8_t{0});
  return std::string(key_buffer_.begin(), end);
}

void TBtr::SetKeyBuffer(std::string_view text) {
  const size_t n = std::min(text.size(), static_cast<size_t>(kKeyBufferSize - 1));
  std::memcpy(key_buffer_.data(), text.data(), n);
  key_buffer_[n] = 0;
}

std::string TBtr::KeyString() const {
  const size_t n = std::min<size_t>(key_buffer_[0], kKeyBufferSize - 1);
  return std::string(key_buffer_.begin() + 1, key_buffer_.begin() + 1 + static_cast<ptrdiff_t>(n));
}

void TBtr::SetKeyString(std::string_view text) {
  const size_t n = std::min(text.size(), static_cast<size_t>(kKeyBufferSize - 1));
  key_buffer_[0] = static_cast<uint8_t>(n);
  std::memcpy(key_buffer_.data() + 1, text.data(), n);
}

uint16_t TBtr::KeyWord() const { return ReadKey<uint16_t>(key_buffer_); }
void TBtr::SetKeyWord(uint16_t value) { WriteKey(key_buffer_, value); }
int16_t TBtr::KeyInt() const { return ReadKey<int16_t>(key_buffer_); }
void TBtr::SetKeyInt(int16_t value) { WriteKey(key_buffer_, value); }
int32_t TBtr::KeyLong() const { return ReadKey<int32_t>(key_buffer_); }
void TBtr::SetKeyLong(int32_t value) { WriteKey(key_buffer_, value); }
double TBtr::KeyDouble() const { return ReadKey<double>(key_buffer_); }
void TBtr::SetKeyDouble(double value) { WriteKey(key_buffer_, value); }

std::string TBtr::KeyText(const VARIANT& key_value) const {
  std::string text;
  switch (key_value.vt) {
    case VT_I2:
      text = std::to_string(key_value.iVal);
      break;
    case VT_I4:
      text = std::to_string(key_value.lVal);
      break;
    case VT_UI1:
      text = std::to_string(key_value.bVal);
      break;
    case VT_R4:
      text = dictionary::FloatToText(key_value.fltVal, decimal_separator_);
      break;
    case VT_R8:
      text = dictionary::FloatToText(key_value.dblVal, decimal_separator_);
      break;
    case VT_CY:
      text = dictionary::FloatToText(static_cast<double>(key_value.cyVal.int64) / 10000.0,
                                     decimal_separator_);
      break;
    case VT_DATE:
      text = dictionary::DateToText(key_value.date, date_format_);
      break;
    case VT_BOOL:
      text = key_value.boolVal != 0 ? true_format_ : false_format_;
      break;
    case VT_BSTR:
    case kVtNativeText:
      // Automation text is UTF-8; the key buffer holds the table's single-byte text.
      text = platform::Utf8ToSingleByte(BstrView(key_value.bstrVal));
      break;
    case VT_UNKNOWN:
      // The platform's conversion refuses an object with its conversion error.
      text = VariantToText(key_value);
      break;
    default:
      break;
  }
  // Padded to the width of the segment at position KeyNum (segments, not keys, are
  // counted); a negative key number asks for a segment that no list has.
  if (key_num_ < keys_.Count()) {
    const int width = keys_.Items(key_num_).Length();
    if (width > 0 && text.size() < static_cast<size_t>(width)) text.resize(width, ' ');
  }
  return text;
}

bool TBtr::Search(std::string_view index_name, const VARIANT& key_value, void (TBtr::*read)()) {
  const int16_t saved_key_num = key_num_;
  const int index = ddf_indexes_.IndexOf(-1, index_name);
  if (index >= 0) {
    key_num_ = static_cast<int16_t>(ddf_indexes_.Items(index).IndexKeyNum() & 0xFFFF);
    try {
      SetKeyBuffer(KeyText(key_value));
    } catch (...) {
      key_num_ = saved_key_num;
      throw;
    }
  }
  try {
    (this->*read)();
    return true;
  } catch (...) {
    // Whatever failed, the engine or a host's handler of the read's notification, the
    // search answers false.
    key_num_ = saved_key_num;
    return false;
  }
}

bool TBtr::FindKey(std::string_view index_name, const VARIANT& key_value) {
  return Search(index_name, key_value, &TBtr::Equal);
}

bool TBtr::Locate(std::string_view index_name, const VARIANT& key_value) {
  return Search(index_name, key_value, &TBtr::GreaterEq);
}

bool TBtr::LocateNext() {
  try {
    Next();
    return true;
  } catch (...) {
    return false;
  }
}

bool TBtr::LocatePrior() {
  try {
    Prev();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace vastrel::table
