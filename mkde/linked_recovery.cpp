// The recovery of a log's linked entries: every other participant settled while this log
// still stands, and each linked entry decided the same way from every side.
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "mkde/file_env.h"
#include "mkde/fs.h"
#include "mkde/linked_log.h"
#include "mkde/lmdb_util.h"
#include "mkde/redo.h"

namespace mkde {

namespace {

// The files whose log recovery is under way in this thread, the first one outermost.
std::vector<FileEnv*>& Chain() {
  static std::vector<FileEnv*> chain;
  return chain;
}

FileEnv* InChain(const std::string& path) {
  struct stat st;
  if (Fs().Stat(path.c_str(), &st) != 0) return nullptr;
  for (FileEnv* f : Chain()) {
    if (f->Is(st.st_dev, st.st_ino)) return f;
  }
  return nullptr;
}

// True when `file`'s state notes a transaction shared with the file at `partner` whose commit
// there made `after`, or a later one.
bool Noted(FileEnv* file, const std::string& partner, uint64_t after) {
  if (!file->env()) return false;
  LmdbTxn txn;
  if (txn.Begin(file->env(), MDB_RDONLY) != 0) return false;
  const std::string key = LinkedNoteKey(partner);
  MDB_val k = Val(key), v;
  if (mdb_get(txn.get(), file->meta_db(), &k, &v) != 0) return false;
  return NoteCovers(std::string_view(static_cast<const char*>(v.mv_data), v.mv_size), after);
}

}  // namespace

Result SettleLinked(FileEnv* self, const LogHeader& header, const std::vector<LogEntry>& entries,
                    size_t* decided) {
  *decided = entries.size();
  const bool linked =
      std::any_of(entries.begin(), entries.end(), [](const LogEntry& e) { return e.linked; });
  if (!linked && header.partners.empty()) return Status::kOk;
  // The other participants, by the paths the entries and the header name.
  std::vector<std::string> paths = header.partners;
  for (const LogEntry& e : entries) {
    for (size_t i = 0; i < e.parts.size(); ++i) {
      if (i != e.index) paths.push_back(e.parts[i].path);
    }
  }
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  std::erase_if(paths, [&](const std::string& p) {
    struct stat st;
    return p == self->abs_path() ||
           (Fs().Stat(p.c_str(), &st) == 0 && self->Is(st.st_dev, st.st_ino));
  });
  // Their logs as they stand, before any of them is recovered: a log that is there but cannot
  // be read may hold a decided transaction's part, and this log stays for the next open.
  std::map<std::string, PartnerLog> logs;
  for (const std::string& p : paths) {
    Status status = ReadPartnerLog(p, &logs[p]);
    if (status != Status::kOk) return status;
  }
  // Each one opened: its own recovery runs now, while this log still stands.
  Chain().push_back(self);
  std::map<std::string, FileEnv*> files;
  std::vector<FileEnv*> opened;
  Result status = Status::kOk;
  for (const std::string& p : paths) {
    FileEnv* file = InChain(p);
    if (!file) {
      if (!Partners().open) {
        status = Status::kIoError;
        break;
      }
      Result r = Partners().open(p, &file);
      if (r == Status::kFileNotFound) {
        file = nullptr;  // gone: it holds nothing
      } else if (r != Status::kOk) {
        status = r;
        break;
      } else {
        ++file->open_count;
        opened.push_back(file);
      }
    }
    files[p] = file;
  }
  for (size_t i = 0; i < entries.size() && status == Status::kOk; ++i) {
    const LogEntry& e = entries[i];
    if (!e.linked) continue;
    std::vector<PartnerLog> seen(e.parts.size());
    for (size_t k = 0; k < e.parts.size(); ++k) {
      auto it = logs.find(e.parts[k].path);
      if (it != logs.end()) seen[k] = it->second;
    }
    const bool whole = LinkedDecided(e, seen, [&](size_t k) {
      auto it = files.find(e.parts[k].path);
      return it != files.end() && it->second && Noted(it->second, self->abs_path(), e.id);
    });
    if (!whole) {
      *decided = i;
      break;
    }
  }
  for (FileEnv* f : opened) Partners().release(f);
  Chain().pop_back();
  return status;
}

}  // namespace mkde
