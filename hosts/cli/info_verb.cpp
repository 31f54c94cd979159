// vastrel info: the file's description, record count, engine version and storage.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "hosts/cli/description.h"
#include "hosts/cli/verbs.h"
#include "keys/file_flags.h"

namespace vastrel::cli {

using table::TBtr;

namespace {

// The file flags of the flags word by name: "ffVariableLength, ...", or "none".
std::string FileFlagNames(uint16_t word) {
  const keys::BtrFileFlags flags = keys::FileFlagsFromWord(word);
  std::string out;
  for (int m = 0; m < keys::kFileFlagMembers; ++m) {
    if (!flags.Contains(static_cast<keys::BtrFileFlag>(m))) continue;
    if (!out.empty()) out += ", ";
    out += keys::kFileFlagNames[m];
  }
  return out.empty() ? "none" : out;
}

// The segment's key flags by name, or "none".
std::string KeyFlagNames(const keys::TKey& k) {
  std::string out;
  for (const KeyFlagName& n : kKeyFlagNames) {
    if ((k.KeyFlag() & n.bit) == 0) continue;
    if (!out.empty()) out += ", ";
    out += n.name;
  }
  return out.empty() ? "none" : out;
}

// How the file uses its space, from the engine's storage figures (TBtr::StorageFigures).
// The blocks the file system holds for the file: its length but for the free pages' blocks
// that a last close gave back. 0 when the file cannot be looked at.
uint64_t BlocksHeld(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

json::Object StorageJson(const std::array<uint64_t, 8>& f, uint64_t held) {
  // Sizes of a file stay far below INT64_MAX; a figure above it is clamped, never wrapped.
  auto whole = [](uint64_t v) { return static_cast<int64_t>(std::min<uint64_t>(v, INT64_MAX)); };
  const uint64_t page = f[1];
  json::Object out;
  out.Set("file_bytes", whole(f[0]));
  out.Set("disk_bytes", whole(held));
  out.Set("page_size", whole(page));
  out.Set("pages_in_use", whole(f[2]));
  out.Set("map_bytes", whole(f[3]));
  out.Set("record_bytes", whole(f[4] * page));
  out.Set("key_bytes", whole(f[5] * page));
  out.Set("other_bytes", whole(f[6] * page));
  out.Set("free_pages", whole(f[7]));
  out.Set("free_bytes", whole(f[7] * page));
  return out;
}

// How the file uses its space, as lines of text.
void PrintStorage(const std::array<uint64_t, 8>& f, uint64_t held) {
  const uint64_t page = f[1];
  auto pages = [page](uint64_t n) {
    return std::to_string(n) + " page" + (n == 1 ? "" : "s") + " (" + std::to_string(n * page) +
           " bytes)";
  };
  std::printf(
      "size on disk: %llu bytes, file length %llu bytes (%llu pages of %llu bytes in use)\n",
      static_cast<unsigned long long>(held), static_cast<unsigned long long>(f[0]),
      static_cast<unsigned long long>(f[2]), static_cast<unsigned long long>(page));
  std::printf("  records: %s\n", pages(f[4]).c_str());
  std::printf("  keys: %s\n", pages(f[5]).c_str());
  std::printf("  other: %s\n", pages(f[6]).c_str());
  std::printf("  free, reused by later writes: %s\n", pages(f[7]).c_str());
  std::printf("map: %llu bytes, grown ahead of need\n", static_cast<unsigned long long>(f[3]));
}

}  // namespace

int Info(const Options& o) {
  TBtr t;
  OpenForReading(t, o);
  const std::string version = t.Version();
  const keys::tkeylist& list = t.Keys();
  const std::vector<int> starts = KeyStarts(list);
  if (o.json) {
    json::Object out;
    out.Set("file", t.FileName());
    out.Set("engine_version", version);
    out.Set("records", t.RecordCount());
    const json::Value description = DescriptionOf(t);
    for (const json::Member& m : description.AsObject()) out.Set(m.name, m.value);
    json::Array& keys_out = out.Find("keys")->AsArray();
    for (size_t k = 0; k < starts.size() && k < keys_out.size(); ++k)
      keys_out[k].AsObject().Set("unique_values", list[starts[k]].KeyValues());
    if (const auto figures = t.StorageFigures())
      out.Set("storage", StorageJson(*figures, BlocksHeld(t.FileName())));
    std::printf("%s\n", json::Write(out).c_str());
    t.Close();
    return 0;
  }
  std::printf("file: %s\n", t.FileName().c_str());
  std::printf("engine version: %s\n", version.c_str());
  std::printf("record length: %u\n", t.RecordSize());
  std::printf("page size: %u\n", t.PageSize());
  std::printf("records: %u\n", t.RecordCount());
  std::printf("file flags: %s\n", FileFlagNames(FlagsWord(t)).c_str());
  std::printf("keys: %u\n", t.NumberOfKeys());
  for (size_t k = 0; k < starts.size(); ++k) {
    const int end = k + 1 < starts.size() ? starts[k + 1] : list.Count();
    std::printf("key %zu: %d segment%s, %u unique values\n", k, end - starts[k],
                end - starts[k] == 1 ? "" : "s", list[starts[k]].KeyValues());
    for (int s = starts[k]; s < end; ++s) {
      const keys::TKey& seg = list[s];
      std::printf("  segment %d: position %d, length %d, type %s, flags %s", s - starts[k] + 1,
                  seg.Position(), seg.Length(), KeyTypeName(seg.KeyType()),
                  KeyFlagNames(seg).c_str());
      if (seg.NulSegment() || seg.AllSegmentNull()) std::printf(", null value %u", seg.NullVal());
      if (seg.ACS() != 0) std::printf(", collating sequence %u", seg.ACS());
      std::printf("\n");
    }
  }
  if (const auto figures = t.StorageFigures()) {
    PrintStorage(*figures, BlocksHeld(t.FileName()));
  } else {
    std::printf("size on disk: not reported by this engine\n");
  }
  t.Close();
  return 0;
}

}  // namespace vastrel::cli
