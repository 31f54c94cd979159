// vastrel check: physical order and every key walked and counted against the statistics.
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "automation/json.h"
#include "binding/btrexception.h"
#include "hosts/cli/description.h"
#include "hosts/cli/progress.h"
#include "hosts/cli/record_reader.h"
#include "hosts/cli/verbs.h"

namespace vastrel::cli {

using table::TBtr;

int Check(const Options& o) {
  TBtr t;
  OpenForReading(t, o);
  uint32_t expected = 0;
  std::vector<std::string> problems;
  // The problems found by each walk, physical order first, for the text report.
  std::vector<size_t> found_after;
  const keys::tkeylist list = t.Keys();
  const std::vector<int> starts = KeyStarts(list);
  struct KeyCount {
    uint64_t count;
    bool nulls;
  };
  std::vector<KeyCount> key_counts;
  uint64_t steps = 0;

  // One walk along every path, each record's position set against the others and the counts
  // against the statistics. A read the engine answers with a status (a damaged record, a key
  // entry without its record) ends that walk with a problem that names the place.
  auto check_all = [&] {
    problems.clear();
    found_after.clear();
    key_counts.clear();
    t.Stat();  // the count as it stands now
    expected = t.RecordCount();
    Progress progress("check", static_cast<uint64_t>(expected) * (starts.size() + 1));
    uint64_t walked = 0;
    auto damaged = [&](const std::string& path, int32_t after, const Btrexception& e) {
      problems.push_back(
          "damaged: " + path + ", after " +
          (after < 0 ? std::string("its start") : "position " + std::to_string(after)) +
          ": status " + std::to_string(e.Status()));
    };
    std::unordered_set<int32_t> physical;
    steps = 0;
    {
      RecordWalk walk(t, kPhysicalOrder);
      int32_t last = -1;
      try {
        while (walk.Next()) {
          ++steps;
          progress.Update(++walked);
          last = walk.Position();
          if (!physical.insert(last).second) {
            problems.push_back("physical order reaches position " + std::to_string(last) +
                               " twice");
            break;  // a loop in physical order would never end
          }
        }
      } catch (const Btrexception& e) {
        damaged("physical order", last, e);
      }
    }
    if (steps != expected) problems.push_back("physical order and statistics disagree");
    found_after.push_back(problems.size());

    for (size_t k = 0; k < starts.size(); ++k) {
      std::unordered_set<int32_t> seen;
      uint64_t count = 0;
      RecordWalk walk(t, static_cast<int>(k));
      int32_t last = -1;
      try {
        while (walk.Next()) {
          ++count;
          progress.Update(++walked);
          const int32_t position = last = walk.Position();
          if (!physical.count(position)) {
            problems.push_back("key " + std::to_string(k) + " reaches position " +
                               std::to_string(position) + ", which physical order does not");
          }
          if (!seen.insert(position).second) {
            problems.push_back("key " + std::to_string(k) + " reaches position " +
                               std::to_string(position) + " twice");
            break;
          }
        }
      } catch (const Btrexception& e) {
        damaged("key " + std::to_string(k), last, e);
      }
      const bool nulls = KeyLeavesOutNulls(list, starts[k]);
      key_counts.push_back({count, nulls});
      if (nulls ? count > expected : count != expected) {
        problems.push_back("key " + std::to_string(k) + " and statistics disagree");
      }
      found_after.push_back(problems.size());
    }
    progress.Clear();
  };
  check_all();
  if (!problems.empty()) {
    // Walks of a file that others write meanwhile see different moments of it: a problem
    // counts only when it is there again in one committed state, read inside a transaction
    // that holds the file against writes (only for as long as this second look lasts).
    t.SetTranType(table::ttExclusive);
    t.begintransaction();
    try {
      check_all();
    } catch (...) {
      try {
        t.aborttransaction();
      } catch (const Exception&) {
        // The failure that got here is the one to report.
      }
      throw;
    }
    t.aborttransaction();
  }
  t.Close();
  if (o.json) {
    json::Object out;
    out.Set("file", t.FileName());
    out.Set("statistics", expected);
    out.Set("physical_order", static_cast<int64_t>(steps));
    json::Array keys_out;
    for (const KeyCount& c : key_counts) {
      json::Object k;
      k.Set("records", static_cast<int64_t>(c.count));
      k.Set("null_values_left_out", c.nulls);
      keys_out.push_back(std::move(k));
    }
    out.Set("keys", std::move(keys_out));
    json::Array list_out;
    for (const std::string& p : problems) list_out.emplace_back(p);
    out.Set("problems", std::move(list_out));
    out.Set("ok", problems.empty());
    std::printf("%s\n", json::Write(out).c_str());
  } else {
    std::printf("statistics: %u records\n", expected);
    std::printf("physical order: %llu records\n", static_cast<unsigned long long>(steps));
    size_t shown = 0;
    auto show_problems = [&](size_t until) {
      for (; shown < until; ++shown) std::printf("  problem: %s\n", problems[shown].c_str());
    };
    show_problems(found_after[0]);
    for (size_t k = 0; k < key_counts.size(); ++k) {
      std::printf("key %zu: %llu records%s\n", k,
                  static_cast<unsigned long long>(key_counts[k].count),
                  key_counts[k].nulls ? " (null values left out)" : "");
      show_problems(found_after[k + 1]);
    }
    if (problems.empty())
      std::printf("ok\n");
    else
      std::printf("%zu problems\n", problems.size());
  }
  return problems.empty() ? 0 : 1;
}

}  // namespace vastrel::cli
