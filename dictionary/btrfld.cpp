#include "dictionary/btrfld.h"

#include <algorithm>
#include <cstring>

#include "dictionary/field_text.h"
#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::dictionary {

void TBtrField::RequireActive() const {
  if (!table_.Active()) throw Exception("File not open.");
}

std::string_view TBtrField::RecordText() const {
  const uint8_t* buffer = table_.DataBuffer();
  const int32_t length = table_.DataBufferLength();
  if (buffer == nullptr || length <= 0) return {};
  const void* nul = std::memchr(buffer, 0, static_cast<size_t>(length));
  const size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - buffer)
                       : static_cast<size_t>(length);
  return std::string_view(reinterpret_cast<const char*>(buffer), n);
}

std::string_view TBtrField::FieldText() const {
  const std::string_view record = RecordText();
  if (offset_ < 0 || size_ < 0 || static_cast<size_t>(offset_) >= record.size()) return {};
  return record.substr(static_cast<size_t>(offset_), static_cast<size_t>(size_));
}

void TBtrField::Write(std::string_view value) {
  if (offset_ < 0 || size_ < 0) {
    throw Exception("Field \"" + field_name_ + "\" can't be written: negative offset (" +
                    std::to_string(offset_) + ") or size (" + std::to_string(size_) + ")");
  }
  const size_t offset = static_cast<size_t>(offset_);
  const size_t size = static_cast<size_t>(size_);
  if (refuse_cut_ && TrimTrailingBlanks(value).size() > size) {
    const std::string_view shown = value.substr(0, 40);
    throw Exception("Field \"" + field_name_ + "\" holds " + std::to_string(size) +
                    " characters; the value \"" + std::string(shown) +
                    (shown.size() < value.size() ? "..." : "") + "\" has " +
                    std::to_string(TrimTrailingBlanks(value).size()));
  }
  // A NUL inside the stored value would end the record text there and hide every later
  // field, which the next write would then drop for good.
  if (value.substr(0, size).find('\0') != std::string_view::npos) {
    throw Exception("Field \"" + field_name_ +
                    "\" can't be written: the value contains a NUL character");
  }
  const std::string_view record = RecordText();
  const size_t end = offset + size;  // both below 2^31: no overflow
  const size_t new_length = std::max(end, record.size());
  const int32_t buffer_length = table_.DataBufferLength();
  // The record text ends at its zero byte or at the buffer's end, so a text that fills
  // the buffer exactly is written without one.
  if (table_.DataBuffer() == nullptr || buffer_length <= 0 ||
      new_length > static_cast<size_t>(buffer_length)) {
    throw Exception("Field \"" + field_name_ +
                    "\" does not fit into the data buffer: " + std::to_string(new_length) +
                    " bytes needed, " + std::to_string(std::max(buffer_length, 0)) + " available");
  }

  std::string text;
  text.reserve(new_length);
  text.append(record.substr(0, offset));
  if (record.size() < offset) text.append(offset - record.size(), ' ');
  text.append(value.substr(0, size));
  if (value.size() < size) text.append(size - value.size(), ' ');
  if (record.size() > end) text.append(record.substr(end));

  uint8_t* buffer = table_.DataBuffer();
  std::memcpy(buffer, text.data(), text.size());
  if (text.size() < static_cast<size_t>(buffer_length)) buffer[text.size()] = 0;
}

std::string TBtrField::AsString() const {
  RequireActive();
  return std::string(TrimTrailingBlanks(FieldText()));
}

int32_t TBtrField::AsInteger() const {
  RequireActive();
  const std::string_view text = TrimBlanks(FieldText());
  const std::optional<int32_t> v = ParseInteger(text);
  if (!v) throw Exception("'" + std::string(text) + "' is not a valid integer value");
  return *v;
}

double TBtrField::AsFloat() const {
  RequireActive();
  std::string exchanged;
  const std::optional<double> v =
      TextToFloat(TrimBlanks(FieldText()), table_.DecimalSeparator(), &exchanged);
  if (!v) throw Exception("'" + exchanged + "' is not a valid floating point value");
  return *v;
}

bool TBtrField::AsBoolean() const {
  RequireActive();
  return platform::Locale::EqualNoCase(TrimBlanks(FieldText()), table_.TRUEFormat());
}

double TBtrField::AsDate() const {
  RequireActive();
  return TextToDate(TrimBlanks(FieldText()), table_.DATEFormat());
}

double TBtrField::AsTime() const {
  RequireActive();
  return TextToTime(TrimBlanks(FieldText()), table_.TIMEFormat());
}

double TBtrField::AsDateTime() const {
  RequireActive();
  return TextToDateTime(TrimBlanks(FieldText()), table_.DATEFormat(), table_.TIMEFormat());
}

void TBtrField::SetAsString(std::string_view v) {
  RequireActive();
  Write(v);
}

void TBtrField::SetAsInteger(int32_t v) {
  RequireActive();
  Write(std::to_string(v));
}

void TBtrField::SetAsFloat(double v) {
  RequireActive();
  Write(FloatToText(v, table_.DecimalSeparator()));
}

void TBtrField::SetAsBoolean(bool v) {
  RequireActive();
  Write(v ? table_.TRUEFormat() : table_.FALSEFormat());
}

void TBtrField::SetAsDate(double v) {
  RequireActive();
  Write(DateToText(v, table_.DATEFormat()));
}

void TBtrField::SetAsTime(double v) {
  RequireActive();
  Write(TimeToText(v, table_.TIMEFormat()));
}

void TBtrField::SetAsDateTime(double v) {
  RequireActive();
  Write(DateTimeToText(v, table_.DATEFormat(), table_.TIMEFormat()));
}

}  // namespace vastrel::dictionary
