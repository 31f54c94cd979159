// Random inserts, updates and deletes with many duplicates, checked after every few steps
// against an in-memory model: every navigation operation on every key path must agree.
#include <algorithm>
#include <map>
#include <random>

#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 16;

// key 0: integer a (duplicates, modifiable); key 1: 8-byte name, descending and
// case-insensitive (duplicates, modifiable); key 2: unsigned id (unique); key 3: the id's
// low 16 bits ascending, then a descending (duplicates, modifiable).
std::string Schema() {
  return CreationBuffer(kLen, {{{1, 4, 0x0003, 1}},
                               {{5, 8, 0x0003 | 0x0040 | 0x0400, 0}},
                               {{13, 4, 0, 14}},
                               {{13, 2, 0x0003, 14}, {1, 4, 0x0003 | 0x0040, 1}}});
}

struct Row {
  uint32_t position;
  int32_t a;
  std::string name;  // 8 bytes
  uint32_t id;

  std::string Bytes() const {
    std::string r(kLen, '\0');
    std::memcpy(r.data(), &a, 4);
    std::memcpy(r.data() + 4, name.data(), 8);
    std::memcpy(r.data() + 12, &id, 4);
    return r;
  }
};

std::string Fold(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The parts of a key value, as a tuple-like comparison in the key's order.
struct Probe {
  int32_t a = 0;
  std::string name = std::string(8, '\0');
  uint32_t id = 0;
};

int Cmp(int key, const Probe& x, const Probe& y) {
  auto three = [](auto l, auto r) { return l < r ? -1 : (r < l ? 1 : 0); };
  switch (key) {
    case 0:
      return three(x.a, y.a);
    case 1: {
      int c = std::memcmp(Fold(x.name).data(), Fold(y.name).data(), 8);
      return c < 0 ? 1 : (c > 0 ? -1 : 0);  // descending
    }
    case 2:
      return three(x.id, y.id);
    default: {
      int c = three(x.id & 0xFFFF, y.id & 0xFFFF);
      return c != 0 ? c : -three(x.a, y.a);
    }
  }
}

std::string KeyBytes(int key, const Probe& p) {
  std::string a(reinterpret_cast<const char*>(&p.a), 4);
  std::string id(reinterpret_cast<const char*>(&p.id), 4);
  switch (key) {
    case 0:
      return a;
    case 1:
      return p.name;
    case 2:
      return id;
    default:
      return id.substr(0, 2) + a;
  }
}

Probe ProbeOf(const Row& r) { return Probe{r.a, r.name, r.id}; }

class Model {
 public:
  std::map<uint32_t, Row> rows;  // by position: physical order

  std::vector<const Row*> Order(int key) const {
    std::vector<const Row*> out;
    for (auto& [p, r] : rows) out.push_back(&r);
    std::stable_sort(out.begin(), out.end(), [key](const Row* l, const Row* r) {
      return Cmp(key, ProbeOf(*l), ProbeOf(*r)) < 0;  // ties keep position order
    });
    return out;
  }

  // The record a Get with `op` and probe p reaches on `key`, or nullptr.
  const Row* Find(int key, int op, const Probe& p) const {
    std::vector<const Row*> order = Order(key);
    const Row* hit = nullptr;
    for (const Row* r : order) {
      int c = Cmp(key, ProbeOf(*r), p);
      bool take = (op == BTR_GET_EQUAL && c == 0) || (op == BTR_GET_GREATER_OR_EQUAL && c >= 0) ||
                  (op == BTR_GET_GREATER && c > 0);
      if (take) return r;
      if ((op == BTR_GET_LESS && c < 0) || (op == BTR_GET_LESS_OR_EQUAL && c <= 0)) hit = r;
    }
    return hit;
  }

  uint32_t Unique(int key) const {
    std::vector<const Row*> order = Order(key);
    uint32_t n = 0;
    for (size_t i = 0; i < order.size(); ++i) {
      if (i == 0 || Cmp(key, ProbeOf(*order[i - 1]), ProbeOf(*order[i])) != 0) ++n;
    }
    return n;
  }
};

class ModelTest : public EngineTest {
 protected:
  std::mt19937 rng{20261208};
  int Rand(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
  std::string Name() {
    static const char* kNames[] = {"alpha", "ALPHA", "Beta", "beta", "gamma", "delta", "", "zz"};
    std::string n = kNames[Rand(0, 7)];
    n.resize(8, '\0');
    return n;
  }

  void CheckAll(Table& t, const Model& m) {
    // Whole paths both ways, on every key.
    for (int key = 0; key < 4; ++key) {
      std::vector<const Row*> order = m.Order(key);
      std::vector<uint32_t> want, got, back;
      for (const Row* r : order) want.push_back(r->id);
      for (int16_t s = t.Get(BTR_GET_FIRST, key); s == 0; s = t.Get(BTR_GET_NEXT, key)) {
        got.push_back(GetU32(t.data, 12));
        ASSERT_EQ(t.key_buf.substr(0, KeyBytes(key, {}).size()),
                  KeyBytes(key, ProbeOf(m.rows.at(Pos(t)))))
            << "the key buffer holds the record's own key value";
      }
      for (int16_t s = t.Get(BTR_GET_LAST, key); s == 0; s = t.Get(BTR_GET_PREVIOUS, key)) {
        back.push_back(GetU32(t.data, 12));
      }
      std::reverse(back.begin(), back.end());
      ASSERT_EQ(got, want) << "key " << key << " forwards";
      ASSERT_EQ(back, want) << "key " << key << " backwards";
    }
    // Probes for the five searching Gets, with and without the record.
    for (int round = 0; round < 12; ++round) {
      int key = Rand(0, 3);
      Probe p{Rand(-6, 6), Name(), static_cast<uint32_t>(Rand(0, 60))};
      if (!m.rows.empty() && Rand(0, 1)) {  // an existing value, duplicates and all
        auto it = m.rows.begin();
        std::advance(it, Rand(0, static_cast<int>(m.rows.size()) - 1));
        p = ProbeOf(it->second);
      }
      for (int op : {BTR_GET_EQUAL, BTR_GET_GREATER, BTR_GET_GREATER_OR_EQUAL, BTR_GET_LESS,
                     BTR_GET_LESS_OR_EQUAL}) {
        const Row* want = m.Find(key, op, p);
        bool key_only = Rand(0, 3) == 0;
        int16_t s = t.Get(static_cast<uint16_t>(op + (key_only ? BTR_GET_KEY_BIAS : 0)), key,
                          KeyBytes(key, p));
        if (!want) {
          ASSERT_EQ(s, op == BTR_GET_EQUAL ? BTR_KEY_NOT_FOUND : BTR_END_OF_FILE)
              << "key " << key << " op " << op;
          continue;
        }
        ASSERT_EQ(s, 0) << "key " << key << " op " << op;
        uint32_t at = Pos(t);
        ASSERT_EQ(at, want->position) << "key " << key << " op " << op;
        if (!key_only) {
          ASSERT_EQ(t.data, want->Bytes());
        }
        // Next and Previous go on from the record reached, whichever Get reached it.
        std::vector<const Row*> order = m.Order(key);
        size_t i = std::find(order.begin(), order.end(), want) - order.begin();
        int16_t n = t.Get(BTR_GET_NEXT, key);
        if (i + 1 < order.size()) {
          ASSERT_EQ(n, 0);
          ASSERT_EQ(Pos(t), order[i + 1]->position) << "key " << key << " op " << op;
        } else {
          ASSERT_EQ(n, BTR_END_OF_FILE);
        }
      }
    }
    // Physical order, and the counts Stat reports.
    std::vector<uint32_t> want, got;
    for (auto& [p, r] : m.rows) want.push_back(p);
    for (int16_t s = t.Step(BTR_STEP_FIRST); s == 0; s = t.Step(BTR_STEP_NEXT))
      got.push_back(Pos(t));
    ASSERT_EQ(got, want);
    got.clear();
    for (int16_t s = t.Step(BTR_STEP_LAST); s == 0; s = t.Step(BTR_STEP_PREVIOUS)) {
      got.insert(got.begin(), Pos(t));
    }
    ASSERT_EQ(got, want);
    std::string stat;
    ASSERT_EQ(t.Stat(&stat), 0);
    ASSERT_EQ(GetU32(stat, 6), m.rows.size());
    const size_t seg_of_key[4] = {0, 1, 2, 3};
    for (int key = 0; key < 4; ++key) {
      ASSERT_EQ(GetU32(stat, 16 + 16 * seg_of_key[key] + 6), m.Unique(key)) << "key " << key;
    }
  }

  uint32_t Pos(Table& t) {
    uint32_t p = 0;
    EXPECT_EQ(t.Position(&p), 0);
    return p;
  }
};

TEST_F(ModelTest, RandomChangesAgreeWithModel) {
  std::string path = Path("model.dat");
  ASSERT_EQ(CreateFile(path, Schema()), 0);
  Table t;
  ASSERT_EQ(t.Open(path, -1), 0);  // accelerated: the model checks order, not durability
  Model m;
  std::vector<uint32_t> free_ids;
  for (uint32_t i = 1; i <= 60; ++i) free_ids.push_back(i);
  std::shuffle(free_ids.begin(), free_ids.end(), rng);
  for (int step = 0; step < 1500; ++step) {
    int what = Rand(0, 9);
    if (m.rows.empty() || (what < 5 && !free_ids.empty())) {
      Row r{0, Rand(-5, 5), Name(), free_ids.back()};
      int key = Rand(0, 3);
      ASSERT_EQ(t.Insert(r.Bytes(), static_cast<int8_t>(key)), 0);
      free_ids.pop_back();
      r.position = Pos(t);
      ASSERT_EQ(m.rows.count(r.position), 0u) << "positions are never reused";
      m.rows[r.position] = r;
      ASSERT_EQ(t.key_buf.substr(0, KeyBytes(key, {}).size()), KeyBytes(key, ProbeOf(r)));
      continue;
    }
    auto it = m.rows.begin();
    std::advance(it, Rand(0, static_cast<int>(m.rows.size()) - 1));
    int key = Rand(0, 3);
    ASSERT_EQ(t.Direct(it->first, static_cast<int8_t>(key)), 0);
    ASSERT_EQ(t.data, it->second.Bytes());
    if (what < 8) {
      Row r = it->second;
      r.a = Rand(-5, 5);
      r.name = Name();
      ASSERT_EQ(t.Update(r.Bytes(), static_cast<int8_t>(key)), 0);
      it->second = r;
    } else {
      ASSERT_EQ(t.Delete(static_cast<int8_t>(key)), 0);
      free_ids.insert(free_ids.begin(), it->second.id);
      m.rows.erase(it);
    }
    if (step % 50 == 49) {
      ASSERT_NO_FATAL_FAILURE(CheckAll(t, m)) << "after step " << step;
    }
  }
  // The same after a reopen: nothing lived only in this process.
  t.Close();
  ASSERT_EQ(t.Open(path), 0);
  ASSERT_NO_FATAL_FAILURE(CheckAll(t, m));
}

}  // namespace
}  // namespace mkde_test
