// The undo journals of the power-cut shim (power_cut_shim.cpp) and the roll-back that
// applies them: each record holds a write's offset, the file's size before it and the bytes
// it overwrote. Applied from the last record to the first, they leave the file as it was at
// its last sync.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace powercut {

// Record: u64 offset, u64 size before, u64 length, the bytes, u32 tag (a torn last record,
// cut by the kill, has none and is left out: its write never began).
inline constexpr uint32_t kTag = 0x43555421;

inline void Put(std::string* out, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}
inline uint64_t Get(const std::string& s, size_t at, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

// A write-back record, offset all ones: the journal's length before the write-back (in the
// size's place) and, as its bytes, the moment it ended. The moments syncs began go to
// `.cut/flushes`, 8 bytes each.
inline constexpr uint64_t kWrittenBack = ~uint64_t{0};
inline constexpr char kFlushes[] = "flushes";

inline std::string EncodeUndo(uint64_t offset, uint64_t size, const std::string& old) {
  std::string r;
  Put(&r, offset, 8);
  Put(&r, size, 8);
  Put(&r, old.size(), 8);
  r += old;
  Put(&r, kTag, 4);
  return r;
}

inline std::string EncodeWrittenBack(uint64_t length, uint64_t ended) {
  std::string moment;
  Put(&moment, ended, 8);
  return EncodeUndo(kWrittenBack, length, moment);
}

// Puts every file of `dir` with a journal back to its last sync and removes the journals. A
// journal is named after its file's device and inode (`<device>-<inode>`); one whose file no
// name of `dir` reaches any more is dropped. Returns the number of writes undone, or -1 when
// a journal or a file could not be used.
inline long RollBack(const std::string& dir) {
  namespace fs = std::filesystem;
  const fs::path journals = fs::path(dir) / ".cut";
  if (!fs::exists(journals)) return 0;
  std::map<std::string, fs::path> files;  // "<device>-<inode>" -> the file's name
  for (const auto& entry : fs::directory_iterator(dir)) {
    struct stat st;
    if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      files[std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino)] = entry.path();
    }
  }
  // The last sync's beginning: every write-back that ended before it was flushed.
  uint64_t flushed = 0;
  {
    std::ifstream in(journals / kFlushes, std::ios::binary);
    std::string f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t at = 0; at + 8 <= f.size(); at += 8) flushed = std::max(flushed, Get(f, at, 8));
  }
  long undone = 0;
  for (const auto& entry : fs::directory_iterator(journals)) {
    if (entry.path().filename() == kFlushes) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string j((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    struct Undo {
      uint64_t offset, size;
      std::string old;
      size_t at;  // where its record begins in the journal
    };
    std::vector<Undo> undo;
    for (size_t at = 0; at + 24 <= j.size();) {
      uint64_t length = Get(j, at + 16, 8);
      if (at + 24 + length + 4 > j.size() || Get(j, at + 24 + length, 4) != kTag) break;
      const uint64_t offset = Get(j, at, 8), size = Get(j, at + 8, 8);
      if (offset == kWrittenBack) {
        if (length == 8 && Get(j, at + 24, 8) < flushed) {
          std::vector<Undo> kept;
          for (Undo& u : undo) {
            if (u.at >= size || u.offset + u.old.size() >= u.size) kept.push_back(std::move(u));
          }
          undo.swap(kept);
        }
      } else {
        undo.push_back({offset, size, j.substr(at + 24, length), at});
      }
      at += 24 + length + 4;
    }
    const auto file = files.find(entry.path().filename().string());
    if (!undo.empty() && file != files.end()) {
      int fd = ::open(file->second.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
      if (fd < 0) return -1;
      for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
        if (!it->old.empty() &&
            ::pwrite(fd, it->old.data(), it->old.size(), static_cast<off_t>(it->offset)) !=
                static_cast<ssize_t>(it->old.size())) {
          ::close(fd);
          return -1;
        }
        if (::ftruncate(fd, static_cast<off_t>(it->size)) != 0 && it == undo.rend() - 1) {
          ::close(fd);
          return -1;
        }
        ++undone;
      }
      ::close(fd);
    }
    fs::remove(entry.path());
  }
  fs::remove(journals / kFlushes);
  fs::remove(journals);
  return undone;
}

}  // namespace powercut
