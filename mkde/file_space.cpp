// Stat's storage form: see file_space.h.
#include "mkde/file_space.h"

#include <sys/stat.h>

#include <cstring>

#include "mkde/lmdb_util.h"

namespace mkde {

namespace {

uint64_t TreePages(const MDB_stat& st) {
  return st.ms_branch_pages + st.ms_leaf_pages + st.ms_overflow_pages;
}

}  // namespace

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
