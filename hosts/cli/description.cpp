// A record file's description: see description.h.
#include "hosts/cli/description.h"

#include <optional>
#include <span>

#include "hosts/cli/errors.h"
#include "keys/file_flags.h"

namespace vastrel::cli {

using table::TBtr;

namespace {

// A whole number of the description within its range; `fallback` when it is missing and
// one is given.
int64_t Whole(const json::Object& o, const char* name, const std::string& where, int64_t low,
              int64_t high, std::optional<int64_t> fallback = std::nullopt) {
  const json::Value* v = o.Find(name);
  if (!v && fallback) return *fallback;
  if (!v || !v->IsInt() || v->AsInt() < low || v->AsInt() > high) {
    throw DataError(where + ": \"" + name + "\" must be a whole number from " +
                    std::to_string(low) + " to " + std::to_string(high));
  }
  return v->AsInt();
}

// A list of the description; an empty one when it is missing.
const json::Array& ListOf(const json::Object& o, const char* name, const std::string& where) {
  static const json::Array kNone;
  const json::Value* v = o.Find(name);
  if (!v) return kNone;
  if (!v->IsArray()) throw DataError(where + ": \"" + name + "\" must be a list");
  return v->AsArray();
}

// A value of the input as a refusal names it, on one line.
std::string Shown(const json::Value& v) {
  std::string out = json::Write(v);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// The valid names of a refusal: "a, b, c".
template <class Names>
std::string NameList(const Names& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + std::string(n);
  return out;
}

// The key flags a description may name, for a refusal.
std::string KeyFlagList() {
  std::vector<std::string> names;
  for (const KeyFlagName& n : kKeyFlagNames)
    if (n.bit != keys::kFlagSegment) names.push_back(n.name);
  return NameList(names);
}

}  // namespace

uint16_t FlagsWord(const TBtr& t) {
  return static_cast<uint16_t>(t.FileSpec()[10] | (t.FileSpec()[11] << 8));
}

// The first segment of every key: keys are runs of segments ended by one without the
// segment flag.
std::vector<int> KeyStarts(const keys::tkeylist& list) {
  std::vector<int> starts;
  bool at_start = true;
  for (int i = 0; i < list.Count(); ++i) {
    if (at_start) starts.push_back(i);
    at_start = !list[i].Segment();
  }
  return starts;
}

const char* KeyTypeName(keys::TKeyTypes type) {
  return type < std::size(keys::kKeyTypeNames) ? keys::kKeyTypeNames[type] : "ktUnknown";
}

bool KeyLeavesOutNulls(const keys::tkeylist& list, int first) {
  for (int i = first; i < list.Count(); ++i) {
    if (list[i].AllSegmentNull() || list[i].NulSegment()) return true;
    if (!list[i].Segment()) break;
  }
  return false;
}

// A file's description as JSON: record length, page size, file flags by name, and every key
// as its segments with position, length, type and flags by name.
json::Value DescriptionOf(const TBtr& t) {
  json::Object d;
  d.Set("record_length", t.RecordSize());
  d.Set("page_size", t.PageSize());
  json::Array flags;
  const keys::BtrFileFlags ff = keys::FileFlagsFromWord(FlagsWord(t));
  for (int m = 0; m < keys::kFileFlagMembers; ++m)
    if (ff.Contains(static_cast<keys::BtrFileFlag>(m))) flags.push_back(keys::kFileFlagNames[m]);
  d.Set("file_flags", std::move(flags));
  const keys::tkeylist& list = t.Keys();
  const std::vector<int> starts = KeyStarts(list);
  json::Array key_list;
  for (size_t k = 0; k < starts.size(); ++k) {
    const int end = k + 1 < starts.size() ? starts[k + 1] : list.Count();
    json::Array segments;
    for (int s = starts[k]; s < end; ++s) {
      const keys::TKey& seg = list[s];
      json::Object o;
      o.Set("position", seg.Position());
      o.Set("length", seg.Length());
      o.Set("type", KeyTypeName(seg.KeyType()));
      json::Array names;
      for (const KeyFlagName& n : kKeyFlagNames)
        if (n.bit != keys::kFlagSegment && (seg.KeyFlag() & n.bit)) names.push_back(n.name);
      o.Set("flags", std::move(names));
      if (seg.NulSegment() || seg.AllSegmentNull()) o.Set("null_value", seg.NullVal());
      if (seg.ACS() != 0) o.Set("acs", seg.ACS());
      segments.push_back(std::move(o));
    }
    json::Object key;
    key.Set("segments", std::move(segments));
    key_list.push_back(std::move(key));
  }
  d.Set("keys", std::move(key_list));
  return d;
}

// Gives the table the description; the inverse of DescriptionOf.
void ApplyDescription(TBtr& t, const json::Value& description, const std::string& source) {
  if (!description.IsObject()) throw DataError(source + ": a description is a JSON object");
  const json::Object& d = description.AsObject();
  t.SetRecordSize(static_cast<uint16_t>(Whole(d, "record_length", source, 1, 65535)));
  t.SetPageSize(static_cast<uint16_t>(Whole(d, "page_size", source, 512, 65535, 4096)));
  keys::BtrFileFlags flags;
  for (const json::Value& name : ListOf(d, "file_flags", source)) {
    int m = 0;
    while (m < keys::kFileFlagMembers &&
           !(name.IsString() && name.AsString() == keys::kFileFlagNames[m]))
      ++m;
    if (m == keys::kFileFlagMembers)
      throw DataError(source + ": unknown file flag " + Shown(name) + "; the file flags are " +
                      NameList(keys::kFileFlagNames));
    flags.Include(static_cast<keys::BtrFileFlag>(m));
  }
  t.SetFileFlags(flags);
  t.Keys().Clear();
  const json::Array& key_list = ListOf(d, "keys", source);
  for (size_t k = 0; k < key_list.size(); ++k) {
    const std::string where = source + ": key " + std::to_string(k);
    if (!key_list[k].IsObject()) throw DataError(where + " is not an object");
    const json::Array& segments = ListOf(key_list[k].AsObject(), "segments", where);
    if (segments.empty()) throw DataError(where + " has no segments");
    for (size_t s = 0; s < segments.size(); ++s) {
      const std::string at = where + " segment " + std::to_string(s + 1);
      if (!segments[s].IsObject()) throw DataError(at + " is not an object");
      const json::Object& o = segments[s].AsObject();
      keys::TKey& seg = t.Keys().Add();
      seg.SetPosition(static_cast<int32_t>(Whole(o, "position", at, 1, 65535)));
      seg.SetLength(static_cast<int32_t>(Whole(o, "length", at, 1, 65535)));
      const json::Value* type = o.Find("type");
      int ti = 0;
      while (ti < keys::ktUnknown &&
             !(type && type->IsString() && type->AsString() == keys::kKeyTypeNames[ti]))
        ++ti;
      if (ti == keys::ktUnknown) {
        throw DataError(at + ": unknown key type " + (type ? Shown(*type) : "(none given)") +
                        "; the key types are " +
                        NameList(std::span(keys::kKeyTypeNames, keys::ktUnknown)));
      }
      seg.SetKeyType(ti);
      uint16_t word = s + 1 < segments.size() ? keys::kFlagSegment : 0;
      for (const json::Value& name : ListOf(o, "flags", at)) {
        const KeyFlagName* found = nullptr;
        for (const KeyFlagName& n : kKeyFlagNames)
          if (name.IsString() && name.AsString() == n.name && n.bit != keys::kFlagSegment)
            found = &n;
        if (!found) {
          throw DataError(at + ": unknown key flag " + Shown(name) + "; the key flags are " +
                          KeyFlagList());
        }
        word = static_cast<uint16_t>(word | found->bit);
      }
      // The bits the type set stay: an old binary type is its Binary bit.
      seg.SetKeyFlag(static_cast<uint16_t>(
          word | (seg.KeyFlag() & (keys::kFlagExtendedType | keys::kFlagBinary))));
      seg.SetNullVal(static_cast<uint8_t>(Whole(o, "null_value", at, 0, 255, 0)));
      seg.SetACS(static_cast<uint8_t>(Whole(o, "acs", at, 0, 255, 0)));
    }
  }
}

}  // namespace vastrel::cli
