// The segment list: resizing, insertion and deletion, and how segments group into keys.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "keys/btrklist.h"
#include "platform/error.h"

namespace vastrel::keys {
namespace {

// A list of segments told apart by their Position; `segment` gives each one's Segment.
tkeylist Segments(std::vector<int> positions, std::vector<bool> segment = {}) {
  tkeylist list;
  for (size_t i = 0; i < positions.size(); ++i) {
    TKey& k = list.Add();
    k.SetPosition(positions[i]);
    if (i < segment.size()) k.SetSegment(segment[i]);
  }
  return list;
}

std::vector<int> Positions(const tkeylist& list) {
  std::vector<int> out;
  for (int i = 0; i < list.Count(); ++i) out.push_back(list[i].Position());
  return out;
}

void ExpectIndexError(const std::function<void()>& f, int index) {
  try {
    f();
    ADD_FAILURE() << "no index error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (" + std::to_string(index) + ")");
  }
}

TEST(KeyListCount, ShrinkingEmptiesEverySegment) {
  tkeylist list = Segments({1, 2, 3, 4, 5});
  list.SetCount(2);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list[0].Block(), KeySpecBlock{});
  EXPECT_EQ(list[1].Block(), KeySpecBlock{});
}

TEST(KeyListCount, SameCountKeepsContents) {
  tkeylist list = Segments({1, 2});
  list.SetCount(2);
  EXPECT_EQ(Positions(list), (std::vector<int>{1, 2}));
}

TEST(KeyListCount, GrowingKeepsContentsAndStopsAt119) {
  tkeylist list = Segments({7});
  list.SetCount(3);
  EXPECT_EQ(Positions(list), (std::vector<int>{7, 0, 0}));
  tkeylist empty;
  empty.SetCount(500);
  EXPECT_EQ(empty.Count(), 119);
  empty.SetCount(-3);
  EXPECT_EQ(empty.Count(), 0) << "a negative count empties the list";
}

TEST(KeyListAccess, OutOfRangeIndexRaisesListError) {
  tkeylist list = Segments({1, 2});
  ExpectIndexError([&] { list.Items(2); }, 2);
  ExpectIndexError([&] { list.Items(-1); }, -1);
}

TEST(KeyListInsert, MiddleDuplicatesTheSegmentThatStoodThere) {
  tkeylist list = Segments({10, 11, 12});
  list.Insert(1);
  EXPECT_EQ(Positions(list), (std::vector<int>{10, 11, 11, 12}));
}

TEST(KeyListInsert, AtEndAppendsZeroSegment) {
  tkeylist list = Segments({10, 11, 12});
  list[2].SetKeyType(ktInteger);
  list.Insert(3);
  EXPECT_EQ(Positions(list), (std::vector<int>{10, 11, 12, 0}));
  EXPECT_EQ(list[3].Block(), KeySpecBlock{});
  EXPECT_EQ(list[2].KeyType(), ktInteger);
}

TEST(KeyListInsert, OutOfRangeLeavesListUnchanged) {
  tkeylist list = Segments({10, 11});
  ExpectIndexError([&] { list.Insert(3); }, 3);
  ExpectIndexError([&] { list.Insert(-1); }, -1);
  EXPECT_EQ(Positions(list), (std::vector<int>{10, 11}));
}

// Inserting and deleting are not bounded by the 119 of a Count write: a list that grew
// past it by appends must not lose or corrupt segments.
TEST(KeyListInsert, WorksBeyond119Segments) {
  tkeylist list;
  for (int i = 0; i < 130; ++i) list.Add().SetPosition(i);
  list.Insert(129);
  ASSERT_EQ(list.Count(), 131);
  EXPECT_EQ(list[130].Position(), 129);
  list.Delete(0);
  list.Delete(0);
  ASSERT_EQ(list.Count(), 129);
  EXPECT_EQ(list[0].Position(), 2);
  EXPECT_EQ(list[128].Position(), 129);
}

TEST(KeyListDelete, LaterSegmentsMoveBack) {
  tkeylist list = Segments({10, 11, 12});
  list.Delete(1);
  EXPECT_EQ(Positions(list), (std::vector<int>{10, 12}));
  list.Delete(1);
  list.Delete(0);
  EXPECT_EQ(list.Count(), 0);
}

TEST(KeyListDelete, OutOfRangeLeavesListUnchanged) {
  tkeylist list = Segments({10, 11});
  ExpectIndexError([&] { list.Delete(2); }, 2);
  EXPECT_EQ(Positions(list), (std::vector<int>{10, 11}));
  tkeylist empty;
  ExpectIndexError([&] { empty.Delete(0); }, 0);
}

TEST(KeyListCountKeys, CountsRunsAndClosesTheLastKey) {
  tkeylist three = Segments({1, 2, 3}, {true, true, true});
  EXPECT_EQ(three.CountKeys(), 1);
  EXPECT_FALSE(three[2].Segment());
  EXPECT_TRUE(three[1].Segment());

  tkeylist mixed = Segments({1, 2, 3, 4}, {true, false, true, false});
  EXPECT_EQ(mixed.CountKeys(), 2);

  tkeylist single = Segments({1, 2, 3}, {false, false, false});
  EXPECT_EQ(single.CountKeys(), 3);

  tkeylist empty;
  EXPECT_EQ(empty.CountKeys(), 0);
}

TEST(KeyListLocateSegment, KeyAndSegmentNumbers) {
  const tkeylist list = Segments({1, 2, 3}, {true, false, false});
  EXPECT_EQ(list.LocateSegment(0), (SegmentPlace{0, 1}));
  EXPECT_EQ(list.LocateSegment(1), (SegmentPlace{0, 2}));
  EXPECT_EQ(list.LocateSegment(2), (SegmentPlace{1, 1}));
  // Beyond the end, or negative: the place after the last segment.
  EXPECT_EQ(list.LocateSegment(3), (SegmentPlace{2, 1}));
  EXPECT_EQ(list.LocateSegment(99), (SegmentPlace{2, 1}));
  EXPECT_EQ(list.LocateSegment(-1), (SegmentPlace{2, 1}));
}

TEST(KeyListCopy, IsDeep) {
  tkeylist a = Segments({1, 2});
  tkeylist b = a;
  b[0].SetPosition(9);
  EXPECT_EQ(a[0].Position(), 1);
  EXPECT_FALSE(a == b);
}

}  // namespace
}  // namespace vastrel::keys
