// Inserts in batches of transactions, for import and copy.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/error.h"
#include "table/btr.h"

namespace vastrel::cli {

// Copy commits, unless told a number of records, once a transaction holds this
// much record data: each commit waits for the disk, so fewer are faster, while one
// transaction must fit the room the file's map keeps free.
inline constexpr uint64_t kBatchBytes = uint64_t{4} << 20;

// Inserts records in batches, each one transaction; a failure undoes the batch in work and
// says how many records the file kept. A batch of -1 is one transaction for the whole run,
// undone whole on a failure.
class BatchWriter {
 public:
  // The table searches meanwhile, so that its statistics are read once at the end rather
  // than after every insert.
  BatchWriter(table::TBtr& t, int batch, const char* verb) : t_(t), batch_(batch), verb_(verb) {
    t_.SetTranType(table::ttConcurrent);
    t_.SetSearching(true);
  }
  // A run that ends before Finish() failed: the file keeps the batches committed so far,
  // which the message counts, whether or not a batch was in work.
  ~BatchWriter() {
    if (finished_) return;
    if (open_) {
      try {
        t_.aborttransaction();
      } catch (const Exception&) {
        // The failure that ends the run is the one to report.
      }
    }
    if (batch_ < 0) {
      std::fprintf(stderr,
                   "%s nothing: the run was one transaction and is undone, the file is as "
                   "it was\n",
                   verb_);
      return;
    }
    std::fprintf(stderr, "%s %llu records%s\n", verb_, static_cast<unsigned long long>(committed_),
                 open_ ? "; the batch in work was undone" : " before the failure");
  }
  // Inserts the data buffer as it stands, a record of `length` bytes. batch > 0 commits
  // every batch records, batch 0 every kBatchBytes of record data, batch -1 only at Finish.
  void Insert(uint64_t length) {
    if (!open_) {
      t_.begintransaction();
      open_ = true;
    }
    t_.Insert();
    ++written_;
    bytes_ += length;
    if (batch_ < 0) return;
    if (batch_ > 0 ? written_ % static_cast<uint64_t>(batch_) == 0 : bytes_ >= kBatchBytes) {
      Commit();
    }
  }
  void Commit() {
    if (!open_) return;
    t_.committransaction();  // a failed commit leaves the batch in work, to be undone
    open_ = false;
    committed_ = written_;
    bytes_ = 0;
  }
  // Commits the last batch and reads the statistics.
  void Finish() {
    Commit();
    t_.SetSearching(false);
    finished_ = true;
  }
  uint64_t Written() const { return written_; }

 private:
  table::TBtr& t_;
  int batch_;
  const char* verb_;
  bool open_ = false;
  bool finished_ = false;
  uint64_t written_ = 0;
  uint64_t committed_ = 0;
  uint64_t bytes_ = 0;  // record data in the open transaction
};

}  // namespace vastrel::cli
