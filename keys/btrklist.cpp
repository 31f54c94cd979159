#include "keys/btrklist.h"

#include <string>

#include "platform/error.h"

namespace vastrel::keys {

tkeylist::tkeylist(const tkeylist& other) { *this = other; }

tkeylist& tkeylist::operator=(const tkeylist& other) {
  if (this == &other) return *this;
  std::vector<std::unique_ptr<TKey>> copy;
  copy.reserve(other.items_.size());
  for (const auto& k : other.items_) copy.push_back(std::make_unique<TKey>(*k));
  items_ = std::move(copy);
  return *this;
}

void tkeylist::CheckIndex(int index, int last) const {
  if (index < 0 || index > last) {
    throw Exception("List index out of bounds (" + std::to_string(index) + ")");
  }
}

void tkeylist::SetCount(int n) {
  if (n < 0) n = 0;
  if (n == Count()) return;
  if (n < Count()) items_.clear();
  if (n > kMaxSegments) n = kMaxSegments;
  while (Count() < n) items_.push_back(std::make_unique<TKey>());
}

TKey& tkeylist::Items(int index) {
  CheckIndex(index, Count() - 1);
  return *items_[static_cast<size_t>(index)];
}

const TKey& tkeylist::Items(int index) const {
  CheckIndex(index, Count() - 1);
  return *items_[static_cast<size_t>(index)];
}

TKey& tkeylist::Add() {
  items_.push_back(std::make_unique<TKey>());
  return *items_.back();
}

void tkeylist::Insert(int at) {
  CheckIndex(at, Count());
  // The segment at `at` keeps its contents and a copy of it goes in after it, so that the
  // later segments move one place on.
  auto fresh = std::make_unique<TKey>();
  if (at < Count()) *fresh = *items_[static_cast<size_t>(at)];
  items_.insert(items_.begin() + at + (at < Count() ? 1 : 0), std::move(fresh));
}

void tkeylist::Delete(int at) {
  CheckIndex(at, Count() - 1);
  items_.erase(items_.begin() + at);
}

int tkeylist::CountKeys() {
  if (items_.empty()) return 0;
  items_.back()->SetSegment(false);
  int keys = Count();
  for (int i = 0; i + 1 < Count(); ++i) {
    if (items_[static_cast<size_t>(i)]->Segment()) --keys;
  }
  return keys;
}

SegmentPlace tkeylist::LocateSegment(int j) const {
  SegmentPlace place;
  for (int i = 0; i < Count() && i != j; ++i) {
    if (items_[static_cast<size_t>(i)]->Segment()) {
      ++place.segment_number;
    } else {
      ++place.key_number;
      place.segment_number = 1;
    }
  }
  return place;
}

bool operator==(const tkeylist& a, const tkeylist& b) {
  if (a.Count() != b.Count()) return false;
  for (int i = 0; i < a.Count(); ++i) {
    if (!(*a.items_[static_cast<size_t>(i)] == *b.items_[static_cast<size_t>(i)])) return false;
  }
  return true;
}

}  // namespace vastrel::keys
