// Where an open handle stands in its file, for either engine: its place along a key path,
// its place in position order, and the record it reached last. Each engine's Handle is one,
// with `Position` the width it keeps positions and change counters in.
#pragma once

#include <string>

namespace mkde::core {

template <class Position>
struct Currency {
  // Logical currency: the key path of the Get that set it and the index entry where it
  // stands, in the engine's own form. Next and Previous go on from that entry, so they hold
  // while others change the file.
  int key = -1;
  std::string entry;
  // Physical currency: a place in position order.
  bool physical = false;
  Position physical_position = 0;
  // The current record: set by every read that reached a record, cleared by Delete.
  Position position = 0;
  bool current = false;
  bool key_only = false;  // reached by a Get Key form: Update and Delete answer 8
  Position change = 0;    // the record's change counter when it was read

  // Forgets where the handle stands (the path, the place and the current record).
  void ClearCurrency() {
    key = -1;
    entry.clear();
    physical = false;
    current = false;
    key_only = false;
  }

  // Makes the record at `at` (change counter `changed`) current after a read or a write
  // that reached it, its place along key path `k` too (-1: in position order only, and the
  // entry is emptied). REQUIRES for k >= 0: the caller sets `entry` to the record's entry.
  void Place(int k, Position at, Position changed, bool by_key_only) {
    key = k;
    if (k < 0) entry.clear();
    physical = true;
    physical_position = at;
    position = at;
    current = true;
    key_only = by_key_only;
    change = changed;
  }
};

}  // namespace mkde::core
