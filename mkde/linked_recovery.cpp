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

// A recovery follows linked entries through at most this many files.
constexpr size_t kMaxLinkedFiles = 64;

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

// The identity of the last transaction `file`'s state notes it shared with the file at
// `partner`, or "".
std::string Noted(FileEnv* file, const std::string& partner) {
  if (!file->env()) return "";
  LmdbTxn txn;
  if (txn.Begin(file->env(), MDB_RDONLY) != 0) return "";
  const std::string key = LinkedNoteKey(partner);
  MDB_val k = Val(key), v;
  if (mdb_get(txn.get(), file->meta_db(), &k, &v) != 0) return "";
  return NoteIdentity(std::string_view(static_cast<const char*>(v.mv_data), v.mv_size));
}

}  // namespace

Result SettleLinked(FileEnv* self, const LogHeader& header, const std::vector<LogEntry>& entries,
                    size_t* decided) {
  *decided = entries.size();
  const bool linked =
      std::any_of(entries.begin(), entries.end(), [](const LogEntry& e) { return e.linked; });
  if (!linked && header.partners.empty()) return Status::kOk;
  // Every file reached through linked entries, from this log on, its log read as it stands
  // before any of them is recovered: a transaction after an undecided one in another file
  // depends on that file's log too. A log that is there but cannot be read may hold a decided
  // transaction's part: this log then stays for the next open.
  std::map<std::string, PartnerLog> logs;
  PartnerLog& own = logs[self->abs_path()];
  own.found = true;
  own.entries = entries;
  std::vector<std::string> paths, queue = header.partners;
  auto reach = [&](const std::vector<LogEntry>& from) {
    for (const LogEntry& e : from) {
      for (const LinkedPart& p : e.parts) queue.push_back(p.path);
    }
  };
  reach(entries);
  while (!queue.empty()) {
    const std::string p = std::move(queue.back());
    queue.pop_back();
    struct stat st;
    if (logs.count(p) || (Fs().Stat(p.c_str(), &st) == 0 && self->Is(st.st_dev, st.st_ino))) {
      continue;
    }
    if (logs.size() > kMaxLinkedFiles) return Status::kIoError;
    Status status = ReadPartnerLog(p, &logs[p]);
    if (status != Status::kOk) return status;
    paths.push_back(p);
    reach(logs[p].entries);
  }
  // Each of them opened: its own recovery runs now, while this log still stands.
  Chain().push_back(self);
  std::map<std::string, FileEnv*> files;
  files[self->abs_path()] = self;
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
  if (status == Status::kOk) {
    LinkedDecision decision(
        std::move(logs), [&](const std::string& file, const std::string& partner) {
          auto it = files.find(file);
          return it != files.end() && it->second ? Noted(it->second, partner) : std::string();
        });
    *decided = decision.Replayable(self->abs_path());
  }
  for (FileEnv* f : opened) Partners().release(f);
  Chain().pop_back();
  return status;
}

Result LinkedWritten(FileEnv* self, const LogEntry& entry, bool may_open, bool* written) {
  *written = entry.index + 1 == entry.parts.size();
  if (*written) return Status::kOk;
  const std::string& last = entry.parts.back().path;
  PartnerLog log;
  Status status = ReadPartnerLog(last, &log);
  if (status != Status::kOk) return status;
  *written = log.Find(entry.identity) >= 0;
  if (*written) return Status::kOk;
  if (!may_open || !Partners().open) return Status::kIoError;
  FileEnv* file = nullptr;
  Result r = Partners().open(last, &file);
  if (r == Status::kFileNotFound) return Status::kOk;  // gone: it holds nothing
  if (r != Status::kOk) return r;
  ++file->open_count;
  *written = Noted(file, self->abs_path()) == entry.identity;
  Partners().release(file);
  return Status::kOk;
}

}  // namespace mkde
