// Stat's storage form: see file_space.h.
#include "mkde/file_space.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "mkde/fs.h"
#include "mkde/lmdb_util.h"

namespace mkde {

namespace {

uint64_t TreePages(const MDB_stat& st) {
  return st.ms_branch_pages + st.ms_leaf_pages + st.ms_overflow_pages;
}

// The oldest transaction id a reader of LMDB's reader table holds, from its listing (a line a
// reader: process, thread, transaction id or "-" when idle).
int NoteReader(const char* line, void* ctx) {
  int pid = 0;
  unsigned long long thread = 0, txn = 0;
  if (std::sscanf(line, "%d %llx %llu", &pid, &thread, &txn) == 3) {
    auto* oldest = static_cast<uint64_t*>(ctx);
    *oldest = std::min<uint64_t>(*oldest, txn);
  }
  return 0;
}

// The newest transaction id either meta page in the file names, or 0 when they cannot be read.
uint64_t NewestMetaTxn(MDB_env* env) {
  mdb_filehandle_t fd;
  MDB_stat st;
  if (mdb_env_get_fd(env, &fd) != 0 || mdb_env_stat(env, &st) != 0) return 0;
  uint64_t newest = 0;
  for (off_t page = 0; page < 2; ++page) {
    uint64_t txn = 0;
    const off_t at = page * static_cast<off_t>(st.ms_psize) + kMetaTxnOffset;
    if (Fs().Pread(fd, &txn, sizeof txn, at) != static_cast<ssize_t>(sizeof txn)) return 0;
    newest = std::max(newest, txn);
  }
  return newest;
}

}  // namespace

std::vector<uint64_t> PagesToGiveBack(FileEnv* file) {
  MDB_env* env = file->env();
  std::vector<uint64_t> pages;
  LmdbTxn reader;
  if (reader.Begin(env, MDB_RDONLY) != 0) return pages;
  const uint64_t last = mdb_txn_id(reader.get());
  // A writer killed between its meta page and the lock file's count of commits leaves a
  // newer state in the file than readers are shown while the lock file lives on: its pages
  // look free here, and the next fresh open takes that state. Nothing is given back then.
  if (NewestMetaTxn(env) != last) return pages;
  uint64_t oldest = last;
  if (mdb_reader_list(env, NoteReader, &oldest) < 0) return pages;
  // A commit t frees pages that the snapshots before t read: those of commits up to `limit`
  // are read by none. The older meta page names the pages the last commit freed, but it is
  // never taken while the newer one is whole (LMDB takes the newer; an open refuses a file
  // whose newer one is damaged), and both are on disk.
  const uint64_t limit = std::min(oldest, last);
  MDB_cursor* cursor = nullptr;
  if (mdb_cursor_open(reader.get(), 0, &cursor) != 0) return pages;
  MDB_val key, value;
  for (int rc = mdb_cursor_get(cursor, &key, &value, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(cursor, &key, &value, MDB_NEXT)) {
    size_t txn = 0, count = 0;
    if (key.mv_size != sizeof txn || value.mv_size < sizeof count) break;
    std::memcpy(&txn, key.mv_data, sizeof txn);
    if (txn > limit) break;  // in the order of the commits that freed them
    std::memcpy(&count, value.mv_data, sizeof count);
    if (count > value.mv_size / sizeof count - 1) break;
    for (size_t i = 1; i <= count; ++i) {
      size_t page = 0;
      std::memcpy(&page, static_cast<const char*>(value.mv_data) + i * sizeof page, sizeof page);
      pages.push_back(page);
    }
  }
  mdb_cursor_close(cursor);
  std::sort(pages.begin(), pages.end());
  return pages;
}

void GiveBack(FileEnv* file, const std::vector<uint64_t>& pages) {
  int fd = -1;
  MDB_stat st;
  if (mdb_env_get_fd(file->env(), &fd) != 0 || mdb_env_stat(file->env(), &st) != 0) return;
  const off_t size = st.ms_psize;
  for (size_t i = 0; i < pages.size();) {
    size_t j = i + 1;
    while (j < pages.size() && pages[j] == pages[j - 1] + 1) ++j;
    // Pages 0 and 1 are the meta pages, never free; a failure (a file system without holes)
    // ends the work with the pages as they were.
    if (pages[i] < 2 || Fs().PunchHole(fd, static_cast<off_t>(pages[i]) * size,
                                       static_cast<off_t>(j - i) * size) != 0) {
      return;
    }
    i = j;
  }
}

Status ReadFileSpace(FileEnv* file, FileSpace* out) {
  MDB_env* env = file->env();
  struct stat fst;
  if (Fs().Stat(file->path().c_str(), &fst) != 0) return Status::kIoError;
  out->file_bytes = static_cast<uint64_t>(fst.st_size);
  LmdbTxn reader;
  int rc = reader.Begin(env, MDB_RDONLY);
  if (rc != 0) return LmdbStatus(rc);
  MDB_txn* txn = reader.get();
  MDB_envinfo info;
  mdb_env_info(env, &info);
  MDB_stat st;
  mdb_env_stat(env, &st);
  out->page_size = st.ms_psize;
  out->used_pages = static_cast<uint64_t>(info.me_last_pgno) + 1;
  out->map_bytes = info.me_mapsize;
  // The main tree (the named trees' records) and the free list's own pages.
  out->other_pages = 2 + TreePages(st);
  MDB_stat tree;
  if ((rc = mdb_stat(txn, 0, &tree)) != 0) return LmdbStatus(rc);
  out->other_pages += TreePages(tree);
  if ((rc = mdb_stat(txn, file->meta_db(), &tree)) != 0) return LmdbStatus(rc);
  out->other_pages += TreePages(tree);
  if ((rc = mdb_stat(txn, file->records_db(), &tree)) != 0) return LmdbStatus(rc);
  out->record_pages = TreePages(tree);
  out->key_pages = 0;
  for (size_t k = 0; k < file->key_count(); ++k) {
    if ((rc = mdb_stat(txn, file->key_db(k), &tree)) != 0) return LmdbStatus(rc);
    out->key_pages += TreePages(tree);
  }
  // Each record of the free list: a commit's freed pages, their count first.
  MDB_cursor* cursor = nullptr;
  if ((rc = mdb_cursor_open(txn, 0, &cursor)) != 0) return LmdbStatus(rc);
  out->free_pages = 0;
  MDB_val key, value;
  for (rc = mdb_cursor_get(cursor, &key, &value, MDB_FIRST); rc == 0;
       rc = mdb_cursor_get(cursor, &key, &value, MDB_NEXT)) {
    size_t count = 0;
    if (value.mv_size < sizeof count) {
      rc = MDB_CORRUPTED;
      break;
    }
    std::memcpy(&count, value.mv_data, sizeof count);
    out->free_pages += count;
  }
  mdb_cursor_close(cursor);
  return rc == MDB_NOTFOUND ? Status::kOk : LmdbStatus(rc);
}

void PutFileSpace(const FileSpace& space, uint8_t* room) {
  const uint64_t figures[] = {space.file_bytes,  space.page_size,    space.used_pages,
                              space.map_bytes,   space.record_pages, space.key_pages,
                              space.other_pages, space.free_pages};
  static_assert(sizeof figures == kFileSpaceReply);
  for (size_t i = 0; i < 8; ++i) {
    for (int b = 0; b < 8; ++b) room[i * 8 + b] = static_cast<uint8_t>(figures[i] >> (8 * b));
  }
}

}  // namespace mkde
