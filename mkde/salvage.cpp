#include "mkde/salvage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "enginecore/coding.h"
#include "enginecore/crypto/owner.h"
#include "mkde/crc32c.h"

namespace mkde {

namespace {

// LMDB's pages of a 64-bit build (its data format 1), as lmdb's mdb.c lays them out. A page
// begins with u64 page number, u16 pad, u16 flags, then u16 lower and u16 upper (an overflow
// page: u32 number of pages); a branch or leaf page follows with u16 node offsets from the
// page's start, (lower - 16) / 2 of them. A node: u16 lo, u16 hi, u16 flags, u16 key size,
// the key, then (leaf) the data of lo | hi << 16 bytes, or with F_BIGDATA the u64 number of
// the overflow page that holds it after its header; (branch) the child page is lo | hi << 16
// | flags << 32.
constexpr size_t kHeader = 16;
constexpr size_t kNodeHeader = 8;
// Page flags; a leaf of fixed-size keys or a page inside a node carry more flags than kLeaf,
// and hold no records.
constexpr uint16_t kBranch = 0x01, kLeaf = 0x02, kOverflow = 0x04, kMeta = 0x08;
constexpr uint16_t kBigData = 0x01, kSubData = 0x02, kDupData = 0x04;
// The meta page after its page header: u32 magic, u32 version, u64 address, u64 map size,
// two trees (free, main) of 48 bytes each (u32 pad, in the first the page size; u16 flags,
// u16 depth; u64 branch, leaf, overflow pages and entries; u64 root), u64 last page, u64
// transaction id.
constexpr uint32_t kMagic = 0xBEEFC0DE;
constexpr uint32_t kDataVersion = 1;
constexpr size_t kMetaBytes = 152;
constexpr size_t kFreeRoot = 40 + 40;
constexpr uint64_t kNoPage = ~uint64_t{0};
constexpr unsigned kMaxDepth = 32;

constexpr std::string_view kFormatKey = "format";
constexpr std::string_view kOwnerKey = "owner";
constexpr std::string_view kFormatText = "vastrel record file ";

struct Meta {
  bool whole = false;
  uint32_t psize = 0;
  uint64_t free_root = kNoPage, last = 0, txnid = 0;
};

Meta ReadMeta(const uint8_t* p, uint64_t pgno, uint64_t file_pages) {
  Meta m;
  const uint16_t flags = DecodeFixed16(p + 10);
  m.psize = DecodeFixed32(p + 40);
  m.free_root = DecodeFixed64(p + kFreeRoot);
  m.last = DecodeFixed64(p + 136);
  m.txnid = DecodeFixed64(p + 144);
  m.whole = DecodeFixed64(p) == pgno && (flags & kMeta) && DecodeFixed32(p + 16) == kMagic &&
            DecodeFixed32(p + 20) == kDataVersion && m.last >= 1 && m.last < file_pages &&
            (m.free_root == kNoPage || (m.free_root >= 2 && m.free_root <= m.last));
  return m;
}

uint32_t RecordChecksum(uint32_t position, uint32_t change, const uint8_t* body, size_t size) {
  const uint64_t head = uint64_t{__builtin_bswap32(position)} | (uint64_t{change} << 32);
  return Crc32cAfterWord(head, body, size);
}

// One pass over a file's pages.
class Salvager {
 public:
  Salvager(const PageReader& read, uint64_t file_size, SalvageReport* report)
      : read_(read), file_size_(file_size), report_(report) {}

  bool Begin(std::string* reason) {
    // The page size comes from a meta page; the second sits one page in.
    uint8_t head[kMetaBytes];
    if (file_size_ < kMetaBytes || !read_(0, kMetaBytes, head)) {
      *reason = "the file is too short to hold a meta page";
      return false;
    }
    const uint32_t psize = DecodeFixed32(head + 40);
    if (psize >= 512 && psize <= 65536 && (psize & (psize - 1)) == 0) psize_ = psize;
    if (psize_ == 0) {
      // Meta page 0 is damaged: look for meta page 1 at each page size LMDB allows.
      for (uint32_t size = 512; size <= 65536 && psize_ == 0; size *= 2) {
        uint8_t other[kMetaBytes];
        if (file_size_ >= uint64_t{size} + kMetaBytes && read_(size, kMetaBytes, other) &&
            DecodeFixed32(other + 40) == size && ReadMeta(other, 1, file_size_ / size).whole) {
          psize_ = size;
        }
      }
    }
    if (psize_ == 0) {
      *reason = "no meta page names a page size";
      return false;
    }
    const uint64_t file_pages = file_size_ / psize_;
    Meta metas[2];
    for (uint64_t i = 0; i < 2; ++i) {
      uint8_t p[kMetaBytes];
      if (i * psize_ + kMetaBytes <= file_size_ && read_(i * psize_, kMetaBytes, p)) {
        metas[i] = ReadMeta(p, i, file_pages);
        metas[i].whole = metas[i].whole && metas[i].psize == psize_;
      }
    }
    const Meta* newest = nullptr;
    for (const Meta& m : metas) {
      if (m.whole && (!newest || m.txnid > newest->txnid)) newest = &m;
    }
    if (!newest) {
      *reason = "neither meta page is whole";
      return false;
    }
    meta_ = *newest;
    pages_ = meta_.last + 1;
    report_->page_size = psize_;
    report_->pages = pages_;
    page_.resize(psize_);
    return true;
  }

  // Marks every page the free database lists. Damage met on the way is noted, and what was
  // read before it still counts.
  void ReadFreeList() {
    free_.assign(pages_, false);
    report_->free_list_whole = true;
    if (meta_.free_root == kNoPage) return;
    std::vector<bool> visited(pages_, false);
    std::vector<std::pair<uint64_t, unsigned>> stack = {{meta_.free_root, 0}};
    std::vector<uint8_t> data;
    while (!stack.empty()) {
      const auto [pgno, depth] = stack.back();
      stack.pop_back();
      if (pgno < 2 || pgno >= pages_ || visited[pgno] || depth > kMaxDepth ||
          !ReadPage(pgno, page_.data())) {
        report_->free_list_whole = false;
        continue;
      }
      visited[pgno] = true;
      const uint16_t flags = DecodeFixed16(&page_[10]);
      size_t nodes = 0;
      if (DecodeFixed64(&page_[0]) != pgno || !Nodes(&nodes) ||
          (flags & ~uint16_t{kBranch | kLeaf}) != 0 || (flags & (kBranch | kLeaf)) == 0 ||
          (flags & (kBranch | kLeaf)) == (kBranch | kLeaf)) {
        report_->free_list_whole = false;
        continue;
      }
      for (size_t i = 0; i < nodes; ++i) {
        Node node;
        if (!NodeAt(i, nodes, &node)) {
          report_->free_list_whole = false;
          continue;
        }
        if (flags & kBranch) {
          stack.push_back({node.child, depth + 1});
          continue;
        }
        // A leaf: the key is a transaction id; the data a list of page numbers, its count
        // first.
        if (!NodeData(node, &data) || data.size() < 8) {
          report_->free_list_whole = false;
          continue;
        }
        // LMDB keeps the list in descending order: a list out of order, or naming a page
        // outside the file, is damaged, and none of it is trusted.
        const uint64_t count = DecodeFixed64(data.data());
        bool sound = count <= (data.size() - 8) / 8;
        for (uint64_t k = 0; sound && k < count; ++k) {
          const uint64_t freed = DecodeFixed64(&data[8 + 8 * k]);
          sound = freed >= 2 && freed < pages_ && (k == 0 || freed < DecodeFixed64(&data[8 * k]));
        }
        if (!sound) {
          report_->free_list_whole = false;
          continue;
        }
        for (uint64_t k = 0; k < count; ++k) {
          const uint64_t freed = DecodeFixed64(&data[8 + 8 * k]);
          if (!free_[freed]) ++report_->free_pages;
          free_[freed] = true;
        }
      }
    }
  }

  // Reads every leaf page in use and gathers what its nodes hold.
  void ReadLeaves(const SalvageProgress& progress) {
    std::vector<uint8_t> data;
    for (uint64_t pgno = 2; pgno < pages_; ++pgno) {
      if (progress && pgno % 256 == 0) progress(pgno, pages_);
      if (free_[pgno] || !ReadPage(pgno, page_.data())) continue;
      // A page stands where LMDB wrote it, or was moved from another page in use.
      const uint64_t named = DecodeFixed64(&page_[0]);
      if (named < 2 || named >= pages_ || free_[named]) continue;
      size_t nodes = 0;
      if (DecodeFixed16(&page_[10]) != kLeaf || !Nodes(&nodes)) continue;
      ++report_->leaf_pages;
      for (size_t i = 0; i < nodes; ++i) {
        Node node;
        if (!NodeAt(i, nodes, &node) || (node.flags & (kSubData | kDupData)) != 0) continue;
        const std::string_view key(reinterpret_cast<const char*>(&page_[node.key]), node.key_size);
        if (node.key_size == 4) {
          if (node.size < 8 || !NodeData(node, &data)) continue;
          const uint32_t position = static_cast<uint32_t>(page_[node.key]) << 24 |
                                    static_cast<uint32_t>(page_[node.key + 1]) << 16 |
                                    static_cast<uint32_t>(page_[node.key + 2]) << 8 |
                                    page_[node.key + 3];
          const uint32_t change = DecodeFixed32(data.data());
          if (position == 0 || DecodeFixed32(&data[4]) !=
                                   RecordChecksum(position, change, &data[8], data.size() - 8)) {
            ++report_->rejected;
            continue;
          }
          auto [it, added] = found_.try_emplace(position);
          if (added || change > it->second.change) {
            it->second.position = position;
            it->second.change = change;
            it->second.bytes.assign(data.begin() + 8, data.end());
          }
        } else if (key == kFormatKey && NodeData(node, &data)) {
          const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
          if (text == std::string(kFormatText) + "1") report_->format = 1;
          if (text == std::string(kFormatText) + "2" && report_->format == 0) report_->format = 2;
        } else if (key == kOwnerKey && NodeData(node, &data)) {
          owners_.emplace_back(data.begin(), data.end());
        }
      }
    }
    if (progress) progress(pages_, pages_);
  }

  // Opens the records of an encrypted file; the others are taken as stored.
  SalvageResult Finish(std::string_view owner, std::string* reason) {
    SecretKey key;
    bool encrypted = false;
    for (const std::string& stored : owners_) {
      OwnerRecord record;
      std::string why;
      if (!DecodeOwner(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(), &record,
                       &why)) {
        continue;
      }
      report_->owner_level = record.level;
      encrypted = OwnerLevelEncrypts(record.level);
      if (!encrypted) break;
      if (CheckOwner(record, owner, &key) == CryptoStatus::kOk ||
          ReadKeyWithoutName(record, &key) == CryptoStatus::kOk) {
        break;
      }
    }
    if (report_->format == 1) {
      *reason = "the file is of format 1, whose records carry no checksum";
      return SalvageResult::kUnchecked;
    }
    if (encrypted && key.empty()) {
      *reason = "the file's records are encrypted, and the owner name is missing or wrong";
      return SalvageResult::kNoKey;
    }
    report_->records.reserve(found_.size());
    std::string plain;
    for (auto& [position, record] : found_) {
      if (encrypted) {
        if (OpenRecord(key, position, reinterpret_cast<const uint8_t*>(record.bytes.data()),
                       record.bytes.size(), &plain) != CryptoStatus::kOk) {
          ++report_->rejected;
          continue;
        }
        record.bytes.swap(plain);
      }
      report_->records.push_back(std::move(record));
    }
    return SalvageResult::kOk;
  }

 private:
  struct Node {
    uint16_t flags = 0;
    size_t key = 0, key_size = 0;  // the key's offset in the page, and its size
    size_t data = 0;               // the data's offset in the page
    uint64_t size = 0;             // a leaf's data size
    uint64_t child = 0;            // a branch's child page
  };

  bool ReadPage(uint64_t pgno, uint8_t* out) {
    return (pgno + 1) * psize_ <= file_size_ && read_(pgno * psize_, psize_, out);
  }

  // The number of nodes of the page in page_, when its lower and upper bounds hold.
  bool Nodes(size_t* nodes) const {
    const size_t lower = DecodeFixed16(&page_[12]), upper = DecodeFixed16(&page_[14]);
    if (lower < kHeader || lower > upper || upper > psize_ || (lower - kHeader) % 2 != 0) {
      return false;
    }
    *nodes = (lower - kHeader) / 2;
    return true;
  }

  // Node i of `nodes` of the page in page_, when it lies whole inside the page.
  bool NodeAt(size_t i, size_t nodes, Node* node) const {
    const size_t at = DecodeFixed16(&page_[kHeader + 2 * i]);
    if (at < kHeader + 2 * nodes || at + kNodeHeader > psize_) return false;
    const uint16_t lo = DecodeFixed16(&page_[at]), hi = DecodeFixed16(&page_[at + 2]);
    node->flags = DecodeFixed16(&page_[at + 4]);
    node->key_size = DecodeFixed16(&page_[at + 6]);
    node->key = at + kNodeHeader;
    node->data = node->key + node->key_size;
    node->size = lo | uint64_t{hi} << 16;
    node->child = node->size | uint64_t{node->flags} << 32;
    if (node->data > psize_) return false;
    const uint64_t stored = (node->flags & kBigData) ? 8 : node->size;
    return DecodeFixed16(&page_[10]) == kBranch || node->data + stored <= psize_;
  }

  // A leaf node's data, from the page or from its overflow pages.
  bool NodeData(const Node& node, std::vector<uint8_t>* out) {
    if (!(node.flags & kBigData)) {
      out->assign(page_.begin() + static_cast<ptrdiff_t>(node.data),
                  page_.begin() + static_cast<ptrdiff_t>(node.data + node.size));
      return true;
    }
    const uint64_t first = DecodeFixed64(&page_[node.data]);
    uint8_t head[kHeader];
    if (first < 2 || first >= pages_ || free_[first] || !read_(first * psize_, kHeader, head) ||
        DecodeFixed64(head) != first || DecodeFixed16(head + 10) != kOverflow) {
      return false;
    }
    const uint64_t count = DecodeFixed32(head + 12);
    if (count == 0 || count > pages_ - first || node.size > count * psize_ - kHeader) return false;
    out->resize(node.size);
    return read_(first * psize_ + kHeader, node.size, out->data());
  }

  const PageReader& read_;
  uint64_t file_size_;
  SalvageReport* report_;
  uint32_t psize_ = 0;
  Meta meta_;
  uint64_t pages_ = 0;
  std::vector<uint8_t> page_;
  std::vector<bool> free_;
  std::map<uint32_t, SalvagedRecord> found_;
  std::vector<std::string> owners_;
};

}  // namespace

SalvageResult SalvageRecords(const PageReader& read, uint64_t file_size, std::string_view owner,
                             SalvageReport* report, std::string* reason,
                             const SalvageProgress& progress) {
  *report = SalvageReport();
  Salvager salvager(read, file_size, report);
  if (!salvager.Begin(reason)) return SalvageResult::kUnreadable;
  salvager.ReadFreeList();
  salvager.ReadLeaves(progress);
  return salvager.Finish(owner, reason);
}

SalvageResult SalvageFile(const std::string& path, std::string_view owner, SalvageReport* report,
                          std::string* reason, const SalvageProgress& progress) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    *reason = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return SalvageResult::kUnreadable;
  }
  const PageReader read = [fd](uint64_t offset, size_t size, uint8_t* out) {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  };
  const SalvageResult result =
      SalvageRecords(read, static_cast<uint64_t>(st.st_size), owner, report, reason, progress);
  ::close(fd);
  return result;
}

}  // namespace mkde
