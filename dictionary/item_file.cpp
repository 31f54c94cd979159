#include "dictionary/item_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/error.h"
#include "platform/locale.h"

namespace vastrel::dictionary {
namespace {

using platform::Locale;

constexpr size_t kIdAt = 0;
constexpr size_t kNameAt = 11;
constexpr size_t kTypeAt = 37;
constexpr size_t kOffsetAt = 38;
constexpr size_t kSizeAt = 42;
constexpr size_t kKindAt = 46;

void Put32(uint8_t* at, int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(u >> (8 * i));
}

int32_t Get32(const uint8_t* at) {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(at[i]) << (8 * i);
  return static_cast<int32_t>(u);
}

[[noreturn]] void ThrowIoError(int error) { throw Exception(IoErrorText(error)); }

// An open file descriptor that closes itself; Close() reports a failing close.
class File {
 public:
  File(const std::string& name, int flags) {
    if (name.empty() || name.find('\0') != std::string::npos) {
      throw Exception("Invalid filename");
    }
    // The name is the component's single-byte text; the file system spells it in UTF-8.
    const std::string path = platform::SingleByteToUtf8(name);
    do {
      fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) ThrowIoError(errno);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Reads at most kMaxItemFileSize bytes: a larger file (or a device that never ends)
  // raises the error that names it, with no more than the limit read.
  std::vector<uint8_t> ReadAll(const std::string& name) {
    std::vector<uint8_t> out;
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_size > 0)
      out.reserve(std::min(static_cast<size_t>(st.st_size), kMaxItemFileSize));
    uint8_t chunk[65536];
    for (;;) {
      if (out.size() == kMaxItemFileSize) {
        const ssize_t n = ::read(fd_, chunk, 1);  // one byte tells a larger file
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ThrowIoError(errno);
        if (n == 0) break;
        throw Exception("Dictionary file \"" + name + "\" is too large: more than " +
                        std::to_string(kMaxItemFileSize) + " bytes");
      }
      const size_t want = std::min(sizeof chunk, kMaxItemFileSize - out.size());
      const ssize_t n = ::read(fd_, chunk, want);
      if (n < 0) {
        if (errno == EINTR) continue;
        ThrowIoError(errno);
      }
      if (n == 0) break;
      out.insert(out.end(), chunk, chunk + n);
    }
    return out;
  }

  // Writes whole records, `length` bytes from record-aligned position `at`. A write that
  // stops short is an error, and a record cut short by it is taken off again when it
  // reached past the old end of the file, so the file never ends in part of a record.
  void WriteRecords(const uint8_t* data, size_t length, off_t at) {
    struct stat st {};
    const off_t old_end = ::fstat(fd_, &st) == 0 ? st.st_size : 0;
    size_t done = 0;
    while (done < length) {
      const ssize_t n = ::pwrite(fd_, data + done, length - done, at + static_cast<off_t>(done));
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      const int error = n < 0 ? errno : ENOSPC;
      const off_t whole = at + static_cast<off_t>(done / kItemRecordSize * kItemRecordSize);
      if (done % kItemRecordSize != 0 && whole >= old_end) {
        [[maybe_unused]] const int ignored = ::ftruncate(fd_, whole);
      }
      ThrowIoError(error);
    }
  }

  void Close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) ThrowIoError(errno);
  }

 private:
  int fd_ = -1;
};

// True when a regular file (or anything but a directory) of that name exists.
bool FileExists(const std::string& name) {
  struct stat st {};
  return !name.empty() && ::stat(platform::SingleByteToUtf8(name).c_str(), &st) == 0 &&
         !S_ISDIR(st.st_mode);
}

// Identity of a record for the merge: the stored (cut) ID and name, folded, and the kind.
std::string MatchKey(const ItemRecord& r) {
  std::string key = Locale::ToUpper(std::string_view(r.id).substr(0, kItemIdSize));
  key += '\0';
  key += Locale::ToUpper(std::string_view(r.name).substr(0, kItemNameSize));
  key += '\0';
  key.append(reinterpret_cast<const char*>(&r.kind), sizeof r.kind);
  return key;
}

}  // namespace

std::string IoErrorText(int error) {
  switch (error) {
    case ENOENT:
      return "File not found";
    case ENAMETOOLONG:
    case EINVAL:
      return "Invalid filename";
    case EMFILE:
    case ENFILE:
      return "Too many open files";
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return "File access denied";
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return "Disk full";
    default:
      return "I/O error " + std::to_string(error);
  }
}

ItemRecordBytes EncodeItemRecord(const ItemRecord& r) {
  ItemRecordBytes out{};
  const size_t id_length = std::min(r.id.size(), kItemIdSize);
  const size_t name_length = std::min(r.name.size(), kItemNameSize);
  out[kIdAt] = static_cast<uint8_t>(id_length);
  std::memcpy(&out[kIdAt + 1], r.id.data(), id_length);
  out[kNameAt] = static_cast<uint8_t>(name_length);
  std::memcpy(&out[kNameAt + 1], r.name.data(), name_length);
  if (r.kind == kFieldRecordKind) {
    out[kTypeAt] = r.field_type;
    Put32(&out[kSizeAt], r.size);
  }
  Put32(&out[kOffsetAt], r.offset);
  Put32(&out[kKindAt], r.kind);
  return out;
}

bool DecodeItemRecord(std::span<const uint8_t, kItemRecordSize> in, ItemRecord* r,
                      std::string* reason) {
  const size_t id_length = in[kIdAt];
  const size_t name_length = in[kNameAt];
  if (id_length > kItemIdSize) {
    *reason = "has an ID length of " + std::to_string(id_length) + ", more than " +
              std::to_string(kItemIdSize);
    return false;
  }
  if (name_length > kItemNameSize) {
    *reason = "has a name length of " + std::to_string(name_length) + ", more than " +
              std::to_string(kItemNameSize);
    return false;
  }
  r->id.assign(reinterpret_cast<const char*>(&in[kIdAt + 1]), id_length);
  r->name.assign(reinterpret_cast<const char*>(&in[kNameAt + 1]), name_length);
  r->kind = Get32(&in[kKindAt]);
  r->offset = Get32(&in[kOffsetAt]);
  // Index records carry no type and no size; readers ignore those bytes.
  r->field_type = r->kind == kFieldRecordKind ? in[kTypeAt] : 0;
  r->size = r->kind == kFieldRecordKind ? Get32(&in[kSizeAt]) : 0;
  return true;
}

std::vector<ItemRecord> DecodeItemFile(std::span<const uint8_t> bytes, std::string_view file_name) {
  const size_t count = bytes.size() / kItemRecordSize;
  std::vector<ItemRecord> records(count);
  std::string reason;
  for (size_t i = 0; i < count; ++i) {
    const auto slot = bytes.subspan(i * kItemRecordSize).first<kItemRecordSize>();
    if (!DecodeItemRecord(slot, &records[i], &reason)) {
      throw Exception("Dictionary file \"" + std::string(file_name) + "\" is corrupt: record " +
                      std::to_string(i + 1) + " " + reason);
    }
  }
  return records;
}

bool ReadItemFile(const std::string& file_name, std::vector<uint8_t>* contents) {
  if (!FileExists(file_name)) return false;
  // Read-only: loading needs no write access.
  File file(file_name, O_RDONLY);
  *contents = file.ReadAll(file_name);
  file.Close();
  return true;
}

void SaveItemRecords(const std::string& file_name, bool overwrite_when_exists, bool append_to_file,
                     const std::vector<ItemRecord>& records) {
  const bool exists = FileExists(file_name);
  if (exists && !overwrite_when_exists) return;

  if (!(exists && append_to_file)) {
    // A new file holds exactly the records (merged among themselves when appending), so
    // they go out in one write.
    std::vector<uint8_t> image;
    image.reserve(records.size() * kItemRecordSize);
    std::unordered_map<std::string, size_t> slot_of;
    for (const ItemRecord& r : records) {
      const ItemRecordBytes bytes = EncodeItemRecord(r);
      if (append_to_file) {
        const auto [it, fresh] = slot_of.emplace(MatchKey(r), image.size() / kItemRecordSize);
        if (!fresh) {
          std::memcpy(&image[it->second * kItemRecordSize], bytes.data(), kItemRecordSize);
          continue;
        }
      }
      image.insert(image.end(), bytes.begin(), bytes.end());
    }
    File file(file_name, O_WRONLY | O_CREAT | O_TRUNC);
    file.WriteRecords(image.data(), image.size(), 0);
    file.Close();
    return;
  }

  File file(file_name, O_RDWR);
  const std::vector<uint8_t> contents = file.ReadAll(file_name);
  // Corruption is reported before anything is written.
  const std::vector<ItemRecord> existing = DecodeItemFile(contents, file_name);
  std::unordered_map<std::string, size_t> slot_of;
  for (size_t i = 0; i < existing.size(); ++i) slot_of.emplace(MatchKey(existing[i]), i);
  size_t next = existing.size();
  for (const ItemRecord& r : records) {
    const auto [it, fresh] = slot_of.emplace(MatchKey(r), next);
    if (fresh) ++next;
    const ItemRecordBytes bytes = EncodeItemRecord(r);
    file.WriteRecords(bytes.data(), kItemRecordSize,
                      static_cast<off_t>(it->second * kItemRecordSize));
  }
  file.Close();
}

std::vector<std::string> ListItemIDs(const std::string& file_name) {
  std::vector<uint8_t> contents;
  std::vector<std::string> ids;
  if (!ReadItemFile(file_name, &contents)) return ids;
  std::unordered_set<std::string> seen;
  for (const ItemRecord& r : DecodeItemFile(contents, file_name)) {
    if (seen.insert(Locale::ToUpper(r.id)).second) ids.push_back(r.id);
  }
  return ids;
}

}  // namespace vastrel::dictionary
