// The ordered, owning list of key segments that a table holds as its Keys.
//
// A key is a run of consecutive segments: each segment whose Segment() is true is followed
// by another segment of the same key; the last segment of a key has Segment() false. Keys
// are numbered from 0 in list order, segments within a key from 1.
//
// Segments are owned by the list and keep their address until they are removed or the
// list is emptied (a Count write that shrinks the list empties it first). Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "keys/btrkey.h"
#include "platform/export.h"

namespace vastrel::keys {

// The most segments that a Count write leaves in the list.
inline constexpr int kMaxSegments = 119;

// Where a segment sits: its key number (from 0) and its segment number in that key (from 1).
struct SegmentPlace {
  int key_number = 0;
  int segment_number = 1;
  friend bool operator==(const SegmentPlace&, const SegmentPlace&) = default;
};

class VASTREL_API tkeylist {
 public:
  tkeylist() = default;
  tkeylist(const tkeylist& other);
  tkeylist& operator=(const tkeylist& other);
  tkeylist(tkeylist&&) noexcept = default;
  tkeylist& operator=(tkeylist&&) noexcept = default;

  int Count() const { return static_cast<int>(items_.size()); }
  // Resizes the list. The same count changes nothing. A smaller count empties the whole
  // list first, so every segment's contents are lost, not only those beyond n. The list
  // is then filled with all-zero segments up to min(n, 119); a negative n counts as 0.
  void SetCount(int n);

  // The segment at a 0-based index. Throws vastrel::Exception
  // "List index out of bounds (<index>)" for an index outside 0..Count()-1.
  TKey& Items(int index);
  const TKey& Items(int index) const;
  TKey& operator[](int index) { return Items(index); }
  const TKey& operator[](int index) const { return Items(index); }

  // Adds an all-zero segment at the end and returns it. Not bounded by 119.
  TKey& Add();
  // Inserts a segment at `at` (0..Count()). Segments before `at` are unchanged, the old
  // segments from `at` on move one place on, and the segment at `at` starts as a copy of
  // the one that stood there; at == Count() appends an all-zero segment. Not bounded by
  // 119. Out of range: the index error, list unchanged.
  void Insert(int at);
  // Removes the segment at `at`; later segments move one place back. Out of range: the
  // index error, list unchanged.
  void Delete(int at);
  // Removes every segment.
  void Clear() { items_.clear(); }

  // The number of keys the list describes. Changes the list: the last segment's Segment
  // is set false first, since the last key ends with the list. An empty list gives 0.
  int CountKeys();
  // The key number and segment number of segment j. A j outside 0..Count()-1 gives the
  // place after the last segment.
  SegmentPlace LocateSegment(int j) const;

  friend bool operator==(const tkeylist& a, const tkeylist& b);

 private:
  void CheckIndex(int index, int last) const;

  std::vector<std::unique_ptr<TKey>> items_;
};

}  // namespace vastrel::keys
