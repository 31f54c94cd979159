#include "table/field.h"

#include <utility>

#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::table {

namespace {

// How many names an unknown-name error lists before it stops.
constexpr int kNamesListed = 20;

[[noreturn]] void ThrowUnknownField(const dictionary::TRecordItems& fields, std::string_view name) {
  std::string message = "no field \"" + std::string(name) + "\" in the table's field definitions";
  if (fields.Count() == 0) {
    throw Exception(message + ", which are empty (DDFFields().LoadItems reads a dictionary file)");
  }
  message += "; the fields are ";
  for (int i = 0; i < fields.Count() && i < kNamesListed; ++i) {
    message += (i ? ", " : "") + fields[i].FieldName();
  }
  if (fields.Count() > kNamesListed) message += ", ...";
  throw Exception(message);
}

// Runs a read or write of the accessor; an error that does not name the field yet gets its
// name in front. The accessor's own refusals of a write already begin with it.
template <class Access>
auto Named(const dictionary::TBtrField& field, Access&& access) {
  try {
    return std::forward<Access>(access)();
  } catch (const Exception& e) {
    const std::string prefix = "Field \"" + field.FieldName() + "\"";
    if (e.Message().starts_with(prefix)) throw;
    throw Exception(prefix + ": " + e.Message());
  }
}

}  // namespace

TField::TField(dictionary::TRecordItems& fields, std::string_view name) : field_(fields.Owner()) {
  for (int i = 0; i < fields.Count(); ++i) {
    const dictionary::TRecordItem& item = fields[i];
    if (!platform::Locale::EqualNoCase(item.FieldName(), name)) continue;
    field_.SetFieldName(item.FieldName());
    field_.SetDateType(item.FieldType());
    field_.SetOffset(item.FieldOffset());
    field_.SetSize(item.FieldSize());
    field_.SetRefuseCut(true);
    return;
  }
  ThrowUnknownField(fields, name);
}

std::string TField::AsString() const {
  return Named(field_, [&] { return field_.AsString(); });
}
int32_t TField::AsInteger() const {
  return Named(field_, [&] { return field_.AsInteger(); });
}
double TField::AsFloat() const {
  return Named(field_, [&] { return field_.AsFloat(); });
}
bool TField::AsBoolean() const {
  return Named(field_, [&] { return field_.AsBoolean(); });
}
double TField::AsDate() const {
  return Named(field_, [&] { return field_.AsDate(); });
}
double TField::AsTime() const {
  return Named(field_, [&] { return field_.AsTime(); });
}
double TField::AsDateTime() const {
  return Named(field_, [&] { return field_.AsDateTime(); });
}

void TField::SetAsString(std::string_view value) {
  Named(field_, [&] { field_.SetAsString(value); });
}
void TField::SetAsInteger(int32_t value) {
  Named(field_, [&] { field_.SetAsInteger(value); });
}
void TField::SetAsFloat(double value) {
  Named(field_, [&] { field_.SetAsFloat(value); });
}
void TField::SetAsBoolean(bool value) {
  Named(field_, [&] { field_.SetAsBoolean(value); });
}
void TField::SetAsDate(double value) {
  Named(field_, [&] { field_.SetAsDate(value); });
}
void TField::SetAsTime(double value) {
  Named(field_, [&] { field_.SetAsTime(value); });
}
void TField::SetAsDateTime(double value) {
  Named(field_, [&] { field_.SetAsDateTime(value); });
}

}  // namespace vastrel::table
