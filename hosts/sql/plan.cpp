// The planner's side of the module: which constraints and orderings a key serves, and at
// what cost. A plan names a key, how many of its leading segments are fixed by equality,
// whether the next segment is bounded from below or above, and the direction of the walk.
// No constraint is marked omitted: SQLite checks every row it is given again, so a key only
// narrows the records read and never decides alone what a row's value is.
#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT3

#include <cmath>
#include <string>
#include <vector>

#include "hosts/sql/vtab.h"

namespace vastrel::sql {
namespace {

constexpr int kDescending = 1 << 8;
constexpr int kEqualityShift = 9;
constexpr int kLower = 1 << 16;
constexpr int kUpper = 1 << 17;
constexpr int kDirect = 1 << 18;
constexpr int kOrderedShift = 19;

bool Usable(const sqlite3_index_info::sqlite3_index_constraint& c, int column, int op) {
  return c.usable && c.iColumn == column && c.op == op;
}

bool Named(const char* collation, const char* name) {
  return collation && sqlite3_stricmp(collation, name) == 0;
}

// A usable constraint of one of the operators on the column whose comparison the key's order
// serves: BINARY for a case-sensitive segment (RTRIM too for equality, since the key pads
// with blanks), and for equality on a segment without regard to case NOCASE too.
int Find(sqlite3_index_info* info, int column, std::initializer_list<int> ops,
         const Segment* segment = nullptr) {
  for (int i = 0; i < info->nConstraint; ++i) {
    for (const int op : ops) {
      if (!Usable(info->aConstraint[i], column, op)) continue;
      if (segment) {
        const char* c = sqlite3_vtab_collation(info, i);
        const bool eq = op == SQLITE_INDEX_CONSTRAINT_EQ;
        if (!(Named(c, "BINARY") || (eq && Named(c, "RTRIM")) ||
              (eq && segment->case_insensitive && Named(c, "NOCASE"))))
          continue;
      }
      return i;
    }
  }
  return -1;
}

struct Candidate {
  double cost = 0;
  double rows = 0;
  int idx_num = 0;
  bool consumed = false;
  bool unique = false;
  std::vector<int> args;                 // constraint index of argv[0], argv[1], ...
  std::string shown = "physical order";  // what EXPLAIN QUERY PLAN shows
};

const char* OpText(int op) {
  switch (op) {
    case SQLITE_INDEX_CONSTRAINT_EQ:
      return "=";
    case SQLITE_INDEX_CONSTRAINT_GT:
      return ">";
    case SQLITE_INDEX_CONSTRAINT_GE:
      return ">=";
    case SQLITE_INDEX_CONSTRAINT_LT:
      return "<";
    default:
      return "<=";
  }
}

}  // namespace

Plan DecodePlan(int idx_num) {
  Plan p;
  p.key = (idx_num & 0xff) - 1;
  p.descending = (idx_num & kDescending) != 0;
  p.equalities = (idx_num >> kEqualityShift) & 0x7f;
  p.lower = (idx_num & kLower) != 0;
  p.upper = (idx_num & kUpper) != 0;
  p.direct = (idx_num & kDirect) != 0;
  p.ordered = (idx_num >> kOrderedShift) & 0x7f;
  return p;
}

int BestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info) {
  const Table& t = *static_cast<Table*>(vtab);
  const double n = std::max(t.record_count, 1.0);
  const double log_n = std::log2(n + 1);
  const int position_column = static_cast<int>(t.fields.size());
  // A sort SQLite must add when the walk does not give the order, for comparing plans.
  auto sort_cost = [&](double rows) {
    return info->nOrderBy > 0 ? rows * std::log2(rows + 1) * 0.2 : 0.0;
  };

  Candidate best;
  best.rows = n;
  best.cost = 10 + n + sort_cost(n);

  // The record at a position: one read.
  int direct = Find(info, position_column, {SQLITE_INDEX_CONSTRAINT_EQ});
  if (direct < 0) direct = Find(info, -1, {SQLITE_INDEX_CONSTRAINT_EQ});
  if (direct >= 0) {
    best = Candidate{1, 1, kDirect, false, true, {direct}, "the record at a position"};
    best.cost += sort_cost(1);
  }

  for (size_t k = 0; k < t.keys.size(); ++k) {
    const Key& key = t.keys[k];
    if (key.number < 0) continue;
    Candidate c;
    int eq = 0;
    for (const Segment& s : key.segments) {
      if (!s.equality) break;
      const int i = Find(info, s.column, {SQLITE_INDEX_CONSTRAINT_EQ}, &s);
      if (i < 0) break;
      c.args.push_back(i);
      ++eq;
    }
    int lower = -1, upper = -1;
    const size_t next = static_cast<size_t>(eq);
    if (next < key.segments.size() && key.segments[next].ordered) {
      const Segment& s = key.segments[next];
      lower = Find(info, s.column, {SQLITE_INDEX_CONSTRAINT_GE, SQLITE_INDEX_CONSTRAINT_GT}, &s);
      upper = Find(info, s.column, {SQLITE_INDEX_CONSTRAINT_LE, SQLITE_INDEX_CONSTRAINT_LT}, &s);
    }
    // ORDER BY along the segments after the fixed ones, all one way.
    bool consumed =
        info->nOrderBy > 0 && next + static_cast<size_t>(info->nOrderBy) <= key.segments.size();
    bool descending = consumed && info->aOrderBy[0].desc;
    for (int j = 0; consumed && j < info->nOrderBy; ++j) {
      const Segment& s = key.segments[next + static_cast<size_t>(j)];
      consumed = s.ordered && info->aOrderBy[j].iColumn == s.column &&
                 (info->aOrderBy[j].desc != 0) == descending;
    }
    if (!consumed) descending = false;
    if (eq == 0 && lower < 0 && upper < 0 && !consumed) continue;

    const bool unique = key.unique && next == key.segments.size();
    double rows = unique ? 1 : n * std::pow(0.1, eq);
    if (lower >= 0) rows *= 0.3;
    if (upper >= 0) rows *= 0.3;
    rows = std::max(rows, 1.0);
    c.rows = rows;
    // A read along a key costs a little more than a step in physical order.
    c.cost = (eq || lower >= 0 || upper >= 0 ? log_n : 0) + rows * 1.1 +
             (consumed ? 0 : sort_cost(rows));
    c.idx_num = static_cast<int>(k + 1) | (eq << kEqualityShift) | (descending ? kDescending : 0) |
                (lower >= 0 ? kLower : 0) | (upper >= 0 ? kUpper : 0) |
                (consumed ? info->nOrderBy << kOrderedShift : 0);
    if (lower >= 0) c.args.push_back(lower);
    if (upper >= 0) c.args.push_back(upper);
    c.consumed = consumed;
    c.unique = unique;
    c.shown = "key " + std::to_string(key.number) + " (";
    for (size_t a = 0; a < c.args.size(); ++a) {
      const auto& con = info->aConstraint[c.args[a]];
      c.shown +=
          (a ? ", " : "") + t.fields[static_cast<size_t>(con.iColumn)].name + " " + OpText(con.op);
    }
    c.shown += std::string(c.args.empty() ? "" : ", ") + (consumed ? "ordered" : "unordered") +
               (descending ? " backward)" : ")");
    if (c.cost < best.cost) best = std::move(c);
  }

  for (size_t a = 0; a < best.args.size(); ++a) {
    info->aConstraintUsage[best.args[a]].argvIndex = static_cast<int>(a + 1);
    info->aConstraintUsage[best.args[a]].omit = 0;
  }
  info->idxNum = best.idx_num;
  info->idxStr = sqlite3_mprintf("%s", best.shown.c_str());
  info->needToFreeIdxStr = 1;
  info->orderByConsumed = best.consumed ? 1 : 0;
  info->estimatedCost = best.cost;
  info->estimatedRows = static_cast<sqlite3_int64>(best.rows);
  if (best.unique) info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
  return SQLITE_OK;
}

}  // namespace vastrel::sql
