// Fuzz target for the dictionary item file reader: any bytes must either decode into
// records that fit their slots and survive a re-encode, or raise the corruption error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "dictionary/item_file.h"
#include "platform/error.h"

using namespace vastrel::dictionary;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<ItemRecord> records;
  try {
    records = DecodeItemFile(std::span<const uint8_t>(data, size), "fuzz");
  } catch (const vastrel::Exception&) {
    return 0;
  }
  if (records.size() != size / kItemRecordSize) std::abort();
  for (const ItemRecord& r : records) {
    if (r.id.size() > kItemIdSize || r.name.size() > kItemNameSize) std::abort();
    ItemRecord back;
    std::string reason;
    if (!DecodeItemRecord(EncodeItemRecord(r), &back, &reason) || !(back == r)) std::abort();
  }
  return 0;
}
