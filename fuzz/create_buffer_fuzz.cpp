// Fuzz target for the file description: any bytes, read as a creation buffer and as the
// stored description, must either be refused with a status (a reason) or give a description
// that holds together: segments inside the record, a Stat reply that fits the room it was
// given, keys that encode to their stated length, and a stored form that reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "enginecore/codec/filespec.h"
#include "enginecore/codec/keycodec.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckSpec(const mkde::FileSpec& spec, const uint8_t* data, size_t size) {
  Check(spec.keys.size() <= mkde::kMaxKeys);
  size_t segments = 0;
  for (const mkde::KeyDef& key : spec.keys) {
    Check(!key.segments.empty());
    segments += key.segments.size();
    for (const mkde::Segment& s : key.segments) {
      Check(size_t{s.offset} + s.length <= spec.record_length);
    }
    Check(key.value_length() <= mkde::kMaxKeyLength);
  }
  Check(segments <= mkde::kMaxSegments);

  // Every key of a record made of the input's bytes encodes to its stated length.
  std::string record(spec.record_length, '\0');
  for (size_t i = 0; i < record.size() && size > 0; ++i)
    record[i] = static_cast<char>(data[i % size]);
  const auto* bytes = reinterpret_cast<const uint8_t*>(record.data());
  for (const mkde::KeyDef& key : spec.keys) {
    const std::string value = mkde::ExtractValue(key, bytes, record.size());
    Check(value.size() == key.value_length());
    std::string encoded;
    mkde::EncodeValue(key, reinterpret_cast<const uint8_t*>(value.data()), &encoded);
    Check(encoded.size() == key.encoded_length());
    mkde::IsNullValue(key, reinterpret_cast<const uint8_t*>(value.data()));
  }

  // The Stat reply never goes past the room it is given, and fits once the room suffices.
  const std::vector<uint32_t> unique(spec.keys.size(), 7);
  const size_t full = mkde::kFileSpecSize + mkde::kKeyBlockSize * segments;
  for (size_t room : {size_t{0}, full - 1, full, full + 100}) {
    std::unique_ptr<uint8_t[]> reply(new uint8_t[room ? room : 1]);
    const size_t n = mkde::BuildStatReply(spec, 3, unique, reply.get(), room);
    Check(n <= room);
  }

  // The stored form reads back as the same description.
  const std::string stored = mkde::EncodeFileSpec(spec);
  mkde::FileSpec back;
  std::string reason;
  Check(mkde::DecodeFileSpec(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(), &back,
                             &reason));
  Check(mkde::EncodeFileSpec(back) == stored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so that a read past the end is caught.
  std::unique_ptr<uint8_t[]> input(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(input.get(), data, size);

  mkde::FileSpec spec;
  if (mkde::ParseCreateBuffer(input.get(), size, &spec) == mkde::Status::kOk)
    CheckSpec(spec, input.get(), size);

  mkde::FileSpec stored;
  std::string reason;
  if (mkde::DecodeFileSpec(input.get(), size, &stored, &reason)) {
    CheckSpec(stored, input.get(), size);
  } else {
    Check(!reason.empty());
  }
  return 0;
}
