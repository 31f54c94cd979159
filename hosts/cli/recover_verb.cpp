// vastrel recover: every record that can still be read, along the keys and physical order and
// then from the file's raw pages, copied into a new file of the same description.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "binding/btrexception.h"
#include "enginecore/include/wbtrv32.h"
#include "hosts/cli/child.h"
#include "hosts/cli/description.h"
#include "hosts/cli/errors.h"
#include "hosts/cli/progress.h"
#include "hosts/cli/record_reader.h"
#include "hosts/cli/verbs.h"
#include "mkde/salvage.h"
#include "platform/locale.h"

namespace vastrel::cli {

using table::TBtr;

namespace {

// What a recovering child tells its parent: the index of the record it is about to read, the
// last index it committed to the new file, or an index it could not save.
constexpr uint32_t kReading = 0u << 30;
constexpr uint32_t kCommitted = 1u << 30;
constexpr uint32_t kLost = 2u << 30;
constexpr uint32_t kIndexMask = (1u << 30) - 1;
constexpr uint32_t kRecoverBatch = 1000;

// Reads the record at `position` whole (growing the buffer for a long one). False, with
// the reason and, when asked, the status, when the engine answers a status.
bool ReadAt(TBtr& t, int32_t position, std::string* why, int16_t* status = nullptr) {
  t.SetKeyNum(-1);  // by position only: no key path taken up
  for (;;) {
    t.SetPosition(position);
    try {
      t.GetDirect();
    } catch (const Btrexception& e) {
      *why = EngineText(e.what());
      why->resize(std::min(why->find('\n'), why->size()));
      if (status) *status = e.Status();
      return false;
    }
    if (!t.LastReadCut()) return true;
    const int32_t now = t.DataBufferLength();
    if (now >= kMaxRecordBuffer) {
      *why = "longer than " + std::to_string(kMaxRecordBuffer) + " bytes";
      if (status) *status = BTR_DATA_LENGTH;
      return false;
    }
    t.SetDataBufferLength(now > kMaxRecordBuffer / 2 ? kMaxRecordBuffer : now * 2);
  }
}

// Sends the parent every position of physical order that answers a read, and the position of
// every record that answers a status. A walk stops at a record it cannot read; from there the
// positions after the last one read are tried one by one, up to the next record that reads,
// and the walk goes on from it. Tried up to `highest` (the highest position known, here or
// from a key), and beyond it while fewer records were met than the statistics count.
void FindInPhysicalOrder(TBtr& src, const std::string& src_name, int32_t highest,
                         uint32_t counted) {
  // Beyond every known position, a run of this many free positions ends the search: the
  // statistics may be damaged too.
  constexpr int32_t kFreeRun = 1 << 16;
  RecordWalk walk(src, kPhysicalOrder);
  try {
    src.Last();  // the highest position, as a bound for the search past damage
    src.GetPosition();
    highest = std::max(highest, src.Position());
  } catch (const Btrexception&) {
    // The last record is damaged: the keys' positions and the count bound the search.
  }
  std::unordered_set<int32_t> seen;
  uint32_t met = 0;  // records met: read, or answering a status
  int32_t last = 0;  // the last position read
  for (;;) {
    try {
      while (walk.Next()) {
        const int32_t position = walk.Position();
        if (!seen.insert(position).second) return;  // a loop
        last = position;
        ++met;
        if (position > 0) Send(static_cast<uint32_t>(position));
      }
      return;
    } catch (const Btrexception& e) {
      std::fprintf(stderr, "vastrel: %s: physical order meets damage after position %d: %s\n",
                   src_name.c_str(), last, EngineText(e.what()).c_str());
    }
    const int16_t key_num = src.KeyNum();
    bool resumed = false;
    int32_t free_run = 0;
    for (int64_t at = int64_t{last} + 1; at <= INT32_MAX && !resumed; ++at) {
      const int32_t p = static_cast<int32_t>(at);
      if (p > highest && (met >= counted || free_run >= kFreeRun)) break;
      std::string why;
      int16_t status = BTR_OK;
      if (ReadAt(src, p, &why, &status)) {
        resumed = true;  // the walk goes on from this record
        last = p;
        if (seen.insert(p).second) ++met;
        Send(static_cast<uint32_t>(p));
      } else if (status == BTR_INVALID_ADDRESS) {
        ++free_run;
      } else {
        free_run = 0;
        ++met;
        Send(static_cast<uint32_t>(p));  // there, but not readable: reported as lost
      }
    }
    src.SetKeyNum(key_num);
    if (!resumed) return;
  }
}

// What the salvaging child tells its parent: the share of pages read, the number of records
// not reached by any path that it committed so far, or the index of a position found but
// not read that it committed.
constexpr uint32_t kSalvageRead = 0u << 30;
constexpr uint32_t kSalvageNew = 1u << 30;
constexpr uint32_t kSalvageKnown = 2u << 30;
// Salvaged records checked against what the engine reads, before any is trusted.
constexpr int kSalvageSamples = 16;

// Adds to NEW the records that the file's raw pages still hold and no path reached, or that
// a path reached but could not read: a damaged branch page hides every record below it from
// the engine, though the leaf pages are whole (mkde/salvage.h). Runs in a child process like
// every reading of SRC. *found_new receives the number of records no path reached that were
// saved; the indexes of `positions` saved this way leave `lost`.
void SalvagePages(const Options& o, const std::vector<int32_t>& positions, std::set<uint32_t>* lost,
                  uint64_t* found_new) {
  const std::string& src_name = o.operands[0];
  const std::string& dst_name = o.operands[1];
  Progress progress("salvage", 100);
  std::vector<uint32_t> known;
  uint64_t added = 0;
  const int code = InChild(
      [&] {
        mkde::SalvageReport report;
        std::string why;
        const std::string owner = platform::Utf8ToSingleByte(o.owner).substr(0, 8);
        const mkde::SalvageResult result =
            mkde::SalvageFile(src_name, owner, &report, &why, [](uint64_t done, uint64_t total) {
              Send(kSalvageRead | static_cast<uint32_t>(done * 100 / std::max<uint64_t>(total, 1)));
            });
        if (result != mkde::SalvageResult::kOk) {
          std::fprintf(stderr, "vastrel: %s: the file's pages are not searched for records: %s\n",
                       src_name.c_str(), why.c_str());
          return 0;
        }
        // Where an index of positions has it: a position found by a path, saved or lost.
        auto index_of = [&](uint32_t position) -> int64_t {
          auto it =
              std::lower_bound(positions.begin(), positions.end(), static_cast<int32_t>(position));
          if (it == positions.end() || *it != static_cast<int32_t>(position)) return -1;
          return it - positions.begin();
        };
        // A few records the engine read too must come out the same, or the pages are read
        // wrongly (an encrypted file whose owner record the pages did not show, say).
        TBtr src;
        OpenForReading(src, o);
        int sampled = 0;
        for (const mkde::SalvagedRecord& r : report.records) {
          const int64_t i = index_of(r.position);
          if (i < 0 || lost->count(static_cast<uint32_t>(i)) || sampled == kSalvageSamples) {
            continue;
          }
          ++sampled;
          std::string ignored;
          if (!ReadAt(src, static_cast<int32_t>(r.position), &ignored)) continue;
          if (src.LastReadLength() != r.bytes.size() ||
              std::memcmp(src.DataBuffer(), r.bytes.data(), r.bytes.size()) != 0) {
            std::fprintf(stderr,
                         "vastrel: %s: the file's pages are not searched for records: the record "
                         "at position %u reads otherwise from them\n",
                         src_name.c_str(), r.position);
            return 0;
          }
        }
        src.Close();
        TBtr dst;
        dst.SetFileName(platform::FileNameFromPath(dst_name));
        dst.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
        dst.Open();
        dst.SetTranType(table::ttConcurrent);
        uint32_t in_batch = 0;
        uint32_t batch_new = 0;
        std::vector<uint32_t> batch_known;
        uint64_t committed_new = 0;
        auto commit = [&] {
          dst.committransaction();
          in_batch = 0;
          committed_new += batch_new;
          batch_new = 0;
          Send(kSalvageNew | static_cast<uint32_t>(std::min<uint64_t>(committed_new, kIndexMask)));
          for (uint32_t k : batch_known) Send(kSalvageKnown | k);
          batch_known.clear();
        };
        for (const mkde::SalvagedRecord& r : report.records) {
          const int64_t i = index_of(r.position);
          if (i >= 0 && !lost->count(static_cast<uint32_t>(i))) continue;  // saved already
          if (in_batch == 0) dst.begintransaction();
          dst.SetDataBufferLength(static_cast<int32_t>(r.bytes.size()));
          std::memcpy(dst.DataBuffer(), r.bytes.data(), r.bytes.size());
          try {
            dst.Insert();
            if (i >= 0) {
              batch_known.push_back(static_cast<uint32_t>(i));
            } else {
              ++batch_new;
            }
          } catch (const Btrexception& e) {
            std::fprintf(stderr,
                         "vastrel: %s: the record salvaged from position %u could not be saved: "
                         "%s\n",
                         src_name.c_str(), r.position, EngineText(e.what()).c_str());
          }
          if (++in_batch == kRecoverBatch) commit();
        }
        if (in_batch > 0) commit();
        dst.Close();
        if (!report.free_list_whole) {
          std::fprintf(stderr,
                       "vastrel: %s: the list of free pages is damaged: older versions of records, "
                       "and records deleted shortly before the damage, cannot be told from records "
                       "in use; where one position was found several times, the newest version "
                       "was kept\n",
                       src_name.c_str());
        }
        return 0;
      },
      [&](uint32_t word) {
        const uint32_t value = word & kIndexMask;
        if ((word & ~kIndexMask) == kSalvageRead) {
          progress.Update(value);
        } else if ((word & ~kIndexMask) == kSalvageNew) {
          added = value;
        } else {
          known.push_back(value);
        }
      });
  progress.Clear();
  if (code < 0) {
    std::fprintf(stderr, "vastrel: %s: searching the file's pages for records died of %s\n",
                 src_name.c_str(), strsignal(-code));
  }
  for (uint32_t i : known) lost->erase(i);
  *found_new = added;
  if (added + known.size() > 0) {
    std::fprintf(stderr,
                 "vastrel: %s: %zu records were salvaged from pages no path leads to any more; "
                 "a record deleted shortly before the damage can come back this way when the "
                 "file's list of free pages is damaged too\n",
                 src_name.c_str(), static_cast<size_t>(added + known.size()));
  }
}

}  // namespace

// recover SRC NEW: every record of SRC that can still be read goes into NEW, a file of SRC's
// description (with the owner name of --owner at --level). Positions come from every key and
// from physical order, so that a damaged path does not hide what another still reaches, and
// physical order goes on past a damaged record (FindInPhysicalOrder); each record is then
// read by its position. The reading runs in child processes: a record whose read ends one is
// reported and skipped, and the next child goes on after it. Last, the file's raw pages give
// the records below damaged branch pages (SalvagePages). Exit code 0 when every record found
// was saved, 1 otherwise.
int Recover(const Options& o) {
  const std::string& src_name = o.operands[0];
  const std::string& dst_name = o.operands[1];
  if (std::filesystem::exists(dst_name)) throw DataError(dst_name + " already exists");

  // First child: the new file, and every position any path reaches.
  std::vector<int32_t> positions;
  uint32_t expected = 0;
  const int found = InChild(
      [&] {
        TBtr src;
        OpenForReading(src, o);
        Send(src.RecordCount());
        TBtr dst;
        dst.SetFileName(platform::FileNameFromPath(dst_name));
        ApplyDescription(dst, DescriptionOf(src), src_name);
        dst.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
        dst.SetOwnerProtection(static_cast<table::TOwnerProtection>(o.level));
        dst.CreateFile();
        dst.Close();
        const uint32_t counted = src.RecordCount();
        int32_t highest = 0;
        const int keys = static_cast<int>(KeyStarts(src.Keys()).size());
        for (int path = 0; path < keys; ++path) {
          try {
            RecordWalk walk(src, path);
            while (walk.Next()) {
              const int32_t position = walk.Position();
              highest = std::max(highest, position);
              if (position > 0) Send(static_cast<uint32_t>(position));
            }
          } catch (const Btrexception& e) {
            std::fprintf(stderr, "vastrel: %s: key %d stops early: %s\n", src_name.c_str(), path,
                         EngineText(e.what()).c_str());
          }
        }
        FindInPhysicalOrder(src, src_name, highest, counted);
        return 0;
      },
      [&, first = true](uint32_t word) mutable {
        if (first) {
          expected = word;
          first = false;
        } else {
          positions.push_back(static_cast<int32_t>(word));
        }
      });
  if (found < 0) {
    std::fprintf(stderr,
                 "vastrel: %s: looking for records died of %s; going on with the %zu found\n",
                 src_name.c_str(), strsignal(-found), positions.size());
  } else if (found != 0 && !std::filesystem::exists(dst_name)) {
    return found;  // the file could not be opened or the new one not made: said already
  }
  if (!std::filesystem::exists(dst_name))
    throw DataError("the new file " + dst_name + " was not made");
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  if (positions.size() > kIndexMask) throw DataError("too many records to recover at once");

  // Then children that copy, each going on after the record whose read ended the last one.
  std::set<uint32_t> skipped, lost;
  uint32_t start = 0;
  Progress progress("recover", positions.size());
  while (start < positions.size()) {
    int64_t committed = static_cast<int64_t>(start) - 1;
    uint32_t reading = start;
    const int code = InChild(
        [&] {
          TBtr src;
          OpenForReading(src, o);
          TBtr dst;
          dst.SetFileName(platform::FileNameFromPath(dst_name));
          dst.SetDbOwner(platform::Utf8ToSingleByte(o.owner));
          dst.Open();
          dst.SetTranType(table::ttConcurrent);
          dst.SetSearching(true);
          std::string why;
          uint32_t in_batch = 0;
          for (uint32_t i = start; i < positions.size(); ++i) {
            if (skipped.count(i)) continue;
            Send(kReading | i);
            if (!ReadAt(src, positions[i], &why)) {
              std::fprintf(stderr, "vastrel: %s: the record at position %d could not be read: %s\n",
                           src_name.c_str(), positions[i], why.c_str());
              Send(kLost | i);
              continue;
            }
            const uint32_t length = src.LastReadLength();
            if (in_batch == 0) dst.begintransaction();
            dst.SetDataBufferLength(static_cast<int32_t>(length));
            std::memcpy(dst.DataBuffer(), src.DataBuffer(), length);
            try {
              dst.Insert();
            } catch (const Btrexception& e) {
              std::fprintf(stderr,
                           "vastrel: %s: the record at position %d could not be saved: %s\n",
                           src_name.c_str(), positions[i], EngineText(e.what()).c_str());
              Send(kLost | i);
            }
            if (++in_batch == kRecoverBatch) {
              dst.committransaction();
              in_batch = 0;
              Send(kCommitted | i);
            }
          }
          if (in_batch > 0) dst.committransaction();
          Send(kCommitted | static_cast<uint32_t>(positions.size() - 1));
          dst.SetSearching(false);
          dst.Close();
          return 0;
        },
        [&](uint32_t word) {
          const uint32_t i = word & kIndexMask;
          if ((word & ~kIndexMask) == kCommitted) {
            committed = i;
            progress.Update(i + 1);
          } else if ((word & ~kIndexMask) == kLost) {
            lost.insert(i);
          } else {
            reading = i;
          }
        });
    if (code == 0) break;
    if (code > 0) return code;  // an error the child reported (the new file, say)
    std::fprintf(stderr,
                 "vastrel: %s: reading the record at position %d died of %s; it is skipped\n",
                 src_name.c_str(), positions[reading], strsignal(-code));
    skipped.insert(reading);
    lost.insert(reading);
    // The records read after the last commit went with the child: read them again.
    start = static_cast<uint32_t>(committed + 1);
    for (auto it = lost.lower_bound(start); it != lost.end();) {
      it = skipped.count(*it) ? std::next(it) : lost.erase(it);
    }
  }
  progress.Clear();
  uint64_t salvaged = 0;
  SalvagePages(o, positions, &lost, &salvaged);
  const size_t saved = positions.size() - lost.size() + salvaged;
  const size_t found_all = positions.size() + salvaged;
  std::fprintf(stderr,
               "recovered %zu of %zu records found (the statistics counted %u), %llu of them "
               "found only in the file's pages\n",
               saved, found_all, expected, static_cast<unsigned long long>(salvaged));
  return lost.empty() && found_all >= expected ? 0 : 1;
}

}  // namespace vastrel::cli
