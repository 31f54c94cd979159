#include "mkde/file_check.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "enginecore/coding.h"
#include "enginecore/include/wbtrv32.h"
#include "mkde/fs.h"
#include "mkde/lmdb_util.h"

namespace mkde {

namespace {

// LMDB's meta page of a 64-bit build (its data format 1), as lmdb's mdb.c lays it out: the
// page header (u64 page number, u16 pad, u16 flags, u32), then MDB_meta: u32 magic, u32
// version, u64 address, u64 map size, two MDB_db (u32 pad, which in the first is the page
// size; u16 flags; u16 depth; u64 branch, leaf and overflow pages; u64 entries; u64 root),
// u64 last page, u64 transaction id.
constexpr size_t kMetaBytes = 152;
constexpr uint16_t kPageMeta = 0x08;
constexpr uint32_t kMagic = 0xBEEFC0DE;
constexpr uint32_t kDataVersion = 1;
constexpr size_t kDbOffset[2] = {40, 88};
constexpr uint64_t kNoRoot = ~uint64_t{0};
// The deepest tree a cursor of LMDB can walk.
constexpr unsigned kMaxDepth = 32;

struct Meta {
  uint64_t pgno = 0;
  uint16_t flags = 0;
  uint32_t magic = 0, version = 0, psize = 0;
  struct Db {
    uint16_t depth = 0;
    uint64_t pages = 0, root = 0;
  } db[2];
  uint64_t last_pg = 0, txnid = 0;
};

Meta Decode(const uint8_t* p) {
  Meta m;
  m.pgno = DecodeFixed64(p);
  m.flags = static_cast<uint16_t>(p[10] | (p[11] << 8));
  m.magic = DecodeFixed32(p + 16);
  m.version = DecodeFixed32(p + 20);
  m.psize = DecodeFixed32(p + kDbOffset[0]);
  for (int i = 0; i < 2; ++i) {
    const uint8_t* d = p + kDbOffset[i];
    m.db[i].depth = static_cast<uint16_t>(d[6] | (d[7] << 8));
    m.db[i].pages = DecodeFixed64(d + 8) + DecodeFixed64(d + 16) + DecodeFixed64(d + 24);
    m.db[i].root = DecodeFixed64(d + 40);
  }
  m.last_pg = DecodeFixed64(p + 136);
  m.txnid = DecodeFixed64(p + kMetaTxnOffset);
  return m;
}

// One look at the file. Returns a status, and the reason for a 2.
Status CheckOnce(const std::string& path, std::string* reason) {
  int fd = Fs().Open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::kIoError;
  struct stat st;
  uint8_t page[2][kMetaBytes];
  bool read = Fs().Fstat(fd, &st) == 0 &&
              Fs().Pread(fd, page[0], kMetaBytes, 0) == static_cast<ssize_t>(kMetaBytes);
  Meta m[2];
  if (read) {
    m[0] = Decode(page[0]);
    read = m[0].magic != kMagic || m[0].psize < 512 || m[0].psize > 65536 ||
           Fs().Pread(fd, page[1], kMetaBytes, m[0].psize) == static_cast<ssize_t>(kMetaBytes);
  }
  Fs().Close(fd);
  if (!read) {
    *reason = "the meta pages cannot be read";
    return Status::kIoError;
  }
  if (m[0].magic != kMagic || m[0].version != kDataVersion) return Status::kNotAFile;
  const uint64_t psize = m[0].psize;
  if ((psize & (psize - 1)) != 0) {
    *reason = "meta page 0 names a page size that is no power of two";
    return Status::kIoError;
  }
  const uint64_t pages = static_cast<uint64_t>(st.st_size) / psize;
  m[1] = Decode(page[1]);
  for (int i = 0; i < 2; ++i) {
    const Meta& x = m[i];
    const std::string which = "meta page " + std::to_string(i);
    if (x.pgno != static_cast<uint64_t>(i) || !(x.flags & kPageMeta) || x.magic != kMagic ||
        x.version != kDataVersion || x.psize != psize) {
      *reason = which + " is damaged";
      return Status::kIoError;
    }
    // LMDB writes the meta of transaction t to page t mod 2.
    if (x.txnid != 0 && x.txnid % 2 != static_cast<uint64_t>(i)) {
      *reason = which + " holds a transaction of the other meta page";
      return Status::kIoError;
    }
    if (x.last_pg < 1 || x.last_pg >= pages) {
      *reason = "the file is shorter than " + which + " says (truncated)";
      return Status::kIoError;
    }
    for (const Meta::Db& db : x.db) {
      bool empty = db.root == kNoRoot;
      if ((!empty && (db.root < 2 || db.root > x.last_pg)) || db.depth > kMaxDepth ||
          db.pages > x.last_pg + 1 || (empty && db.depth != 0)) {
        *reason = which + " names a tree outside the file";
        return Status::kIoError;
      }
    }
  }
  // Each commit writes the next transaction's meta page over the older one (an environment
  // never committed to holds transaction 0 in both).
  if (m[0].txnid + 1 != m[1].txnid && m[1].txnid + 1 != m[0].txnid &&
      (m[0].txnid != 0 || m[1].txnid != 0)) {
    *reason = "the meta pages are not of consecutive transactions";
    return Status::kIoError;
  }
  return Status::kOk;
}

}  // namespace

Status CheckMetaPages(const std::string& path, std::string* reason) {
  std::string why;
  Status status = CheckOnce(path, &why);
  if (status == Status::kIoError) {
    // A commit of another process may have been writing a meta page at that moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    why.clear();
    status = CheckOnce(path, &why);
  }
  if (reason && status == Status::kIoError) *reason = why;
  return status;
}

}  // namespace mkde
