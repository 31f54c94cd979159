// The commit log's linked entries: their stored form, and a recovery that replays one only
// when every other participant holds its part, whichever file is opened first.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

#include "mkde/change_log.h"
#include "mkde/linked_log.h"
#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

using mkde::LogEntry;
using mkde::LogHeader;

constexpr uint16_t kLen = 64;
std::string Rec(int32_t id) { return Record(kLen, id, "record " + std::to_string(id)); }
const std::string kKey(16, 'k');
const std::string kId(16, 'T');

TEST(LinkedLogFormat, RoundTripsAndRefusesDamage) {
  LogHeader h;
  h.checkpoint = 41;
  h.page_size = 512;
  h.metas = std::string(1024, 'm');
  h.key = kKey;
  h.partners = {"/data/b.dat", "/data/c.dat"};
  std::string bytes = mkde::EncodeLogHeader(h);
  const size_t header_size = bytes.size();
  LogEntry plain, linked;
  plain.id = 42;
  plain.changes = "pc";
  linked.id = 43;
  linked.linked = true;
  linked.identity = kId;
  linked.parts = {{"/data/a.dat", 43}, {"/data/b.dat", 7}};
  linked.changes = "lc";
  bytes += mkde::EncodeLogEntry(plain, 3, kKey) + mkde::EncodeLogEntry(linked, 3, kKey);

  LogHeader back;
  ASSERT_EQ(mkde::DecodeLogHeader(bytes, &back), header_size);
  EXPECT_EQ(back.version, 3);
  EXPECT_EQ(back.checkpoint, 41u);
  EXPECT_EQ(back.metas, h.metas);
  EXPECT_EQ(back.partners, h.partners);
  LogEntry e;
  ASSERT_TRUE(mkde::DecodeLogEntry(bytes, header_size, 3, kKey, &e));
  EXPECT_FALSE(e.linked);
  EXPECT_EQ(e.changes, "pc");
  ASSERT_TRUE(mkde::DecodeLogEntry(bytes, e.end, 3, kKey, &e));
  EXPECT_TRUE(e.linked);
  EXPECT_EQ(e.identity, kId);
  EXPECT_EQ(e.parts[1].path, "/data/b.dat");
  EXPECT_EQ(e.parts[1].after, 7u);
  EXPECT_EQ(e.changes, "lc");
  EXPECT_EQ(e.end, bytes.size());
  EXPECT_FALSE(mkde::DecodeLogEntry(bytes, e.end, 3, kKey, &e)) << "the end of the entries";
  EXPECT_FALSE(mkde::DecodeLogEntry(bytes, header_size, 3, std::string(16, 'x'), &e))
      << "an entry of a log with another key";

  // Any byte changed, or the bytes cut short, and nothing checks.
  for (size_t at : {size_t{3}, size_t{30}, header_size - 20, header_size - 1}) {
    std::string bad = bytes;
    bad[at] ^= 1;
    EXPECT_EQ(mkde::DecodeLogHeader(bad, &back), 0u) << at;
  }
  EXPECT_EQ(mkde::DecodeLogHeader(bytes.substr(0, header_size - 1), &back), 0u);
  for (size_t cut = header_size; cut < bytes.size(); cut += 7) {
    std::string_view part(bytes.data(), cut);
    size_t at = header_size, whole = 0;
    while (mkde::DecodeLogEntry(part, at, 3, kKey, &e)) at = e.end, ++whole;
    EXPECT_LE(at, cut);
    EXPECT_LT(whole, 2u) << cut;
  }
  // A linked entry whose own part makes another transaction than the entry says, or names
  // itself past the participants, is refused though its hash checks.
  LogEntry odd = linked;
  odd.parts[0].after = 99;
  std::string one = mkde::EncodeLogEntry(odd, 3, kKey);
  EXPECT_FALSE(mkde::DecodeLogEntry(one, 0, 3, kKey, &e));
  odd = linked;
  odd.index = 2;
  one = mkde::EncodeLogEntry(odd, 3, kKey);
  EXPECT_FALSE(mkde::DecodeLogEntry(one, 0, 3, kKey, &e));
}

// File f's entry of transaction `t` over `files` (each file's commit making `after[k]`).
LogEntry Part(const std::string& t, std::vector<std::string> files, std::vector<uint64_t> after,
              uint32_t f) {
  LogEntry e;
  e.linked = true;
  e.identity = std::string(16, t[0]);
  for (size_t k = 0; k < files.size(); ++k) e.parts.push_back({files[k], after[k]});
  e.index = f;
  e.id = after[f];
  return e;
}

TEST(LinkedLogFormat, ATransactionIsReplayedInAllItsFilesOrInNone) {
  std::map<std::string, std::string> noted;  // file -> the identity its state notes
  auto decide = [&](std::map<std::string, mkde::PartnerLog> logs) {
    for (auto& [path, log] : logs) log.found = true;
    mkde::LinkedDecision d(std::move(logs), [&](const std::string& file, const std::string&) {
      return noted.count(file) ? noted[file] : std::string();
    });
    return std::vector<size_t>{d.Replayable("/a"), d.Replayable("/b"), d.Replayable("/c")};
  };
  // T1 over a and c, then T2 over a and b; c's entry of T1 never reached its disk.
  const LogEntry t1a = Part("1", {"/a", "/c"}, {5, 9}, 0), t1c = Part("1", {"/a", "/c"}, {5, 9}, 1);
  const LogEntry t2a = Part("2", {"/a", "/b"}, {6, 3}, 0), t2b = Part("2", {"/a", "/b"}, {6, 3}, 1);
  std::map<std::string, mkde::PartnerLog> logs;
  logs["/a"].entries = {t1a, t2a};
  logs["/b"].entries = {t2b};
  logs["/c"].entries = {};
  EXPECT_EQ(decide(logs), (std::vector<size_t>{0, 0, 0}))
      << "a stops at T1, so b must not replay T2 although a's log holds it whole";
  logs["/c"].entries = {t1c};
  EXPECT_EQ(decide(logs), (std::vector<size_t>{2, 1, 1}));
  // c's log ended by a checkpoint, its state noting T1, or T3 after it in a's log.
  logs["/c"].entries = {};
  noted["/c"] = t1a.identity;
  EXPECT_EQ(decide(logs), (std::vector<size_t>{2, 1, 0}));
  logs["/a"].entries.push_back(Part("3", {"/a", "/c"}, {7, 10}, 0));
  noted["/c"] = std::string(16, '3');
  EXPECT_EQ(decide(logs), (std::vector<size_t>{3, 1, 0}));
  // A note of one that a's log does not hold after T1: an earlier transaction, or one of the
  // file a copy replaced at a's path, whose transaction ids there ran higher than the copy's.
  logs["/a"].entries.pop_back();
  EXPECT_EQ(decide(logs), (std::vector<size_t>{0, 0, 0}));
  // Logs that claim two transactions in opposite orders decide nothing rather than loop.
  logs["/b"].entries = {Part("2", {"/a", "/b"}, {6, 3}, 1), Part("1", {"/a", "/b"}, {5, 4}, 1)};
  logs["/a"].entries = {Part("1", {"/a", "/b"}, {5, 4}, 0), Part("2", {"/a", "/b"}, {6, 3}, 0)};
  EXPECT_EQ(decide(logs), (std::vector<size_t>{0, 0, 0}));

  EXPECT_EQ(mkde::NoteIdentity(mkde::EncodeLinkedNote(10, kId)), kId);
  EXPECT_EQ(mkde::NoteIdentity(mkde::EncodeLinkedNote(10, kId).substr(1)), "");
  EXPECT_NE(mkde::LinkedNoteKey("/a"), mkde::LinkedNoteKey("/b"));
}

// Two files whose logs a killed writer left, each log's last entry made a linked entry of one
// transaction over both (as a transaction over several files writes them).
class LinkedRecovery : public EngineTest {
 protected:
  // New files for each case (`round`), left as described above.
  void Prepare(int round) {
    // An idle checkpoint between the writer's commits (a slow machine) may end a log early:
    // the case is made again until both logs hold record 2's entry.
    for (int attempt = 0; attempt < 5; ++attempt) {
      ASSERT_NO_FATAL_FAILURE(Write(round * 10 + attempt));
      LogHeader h;
      if (!Entries(0, &h).empty() && !Entries(1, &h).empty()) return;
    }
    FAIL() << "no log kept the writer's last commit";
  }
  void Write(int round) {
    for (int f = 0; f < 2; ++f) {
      path_[f] = Path((f ? "b" : "a") + std::to_string(round) + ".dat");
      ASSERT_EQ(CreateFile(path_[f], CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
      abs_[f] = std::filesystem::canonical(path_[f]).string();
    }
    // The writer commits records 1 and 2 into each file through its log, then holds both
    // gates in a transaction (no idle checkpoint ends the logs) until it is killed.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t writer = Spawn([&] {
      Table t[2];
      for (int f = 0; f < 2; ++f) {
        if (t[f].Open(path_[f]) != 0) return 1;
      }
      for (int id = 1; id <= 2; ++id) {
        for (Table& x : t) {
          if (x.Insert(Rec(id)) != 0) return 2;
        }
      }
      uint8_t pos[128] = {};
      if (Call(BTR_BEGIN_TRANSACTION, pos, nullptr, nullptr, 0) != 0) return 3;
      for (Table& x : t) {
        if (x.Insert(Rec(3)) != 0) return 4;
      }
      char c = 1;
      if (write(ready[1], &c, 1) != 1) return 5;
      pause();
      return 0;
    });
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    kill(writer, SIGKILL);
    ASSERT_EQ(Wait(writer), 100 + SIGKILL);
    close(ready[0]);
    close(ready[1]);
  }

  std::string ReadLog(int f) {
    std::string bytes(std::filesystem::file_size(path_[f] + "-log"), '\0');
    int fd = ::open((path_[f] + "-log").c_str(), O_RDONLY);
    EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
    return bytes;
  }
  std::vector<LogEntry> Entries(int f, LogHeader* h) {
    const std::string bytes = ReadLog(f);
    size_t at = mkde::DecodeLogHeader(bytes, h);
    std::vector<LogEntry> entries;
    LogEntry e;
    while (at != 0 && mkde::DecodeLogEntry(bytes, at, h->version, h->key, &e)) {
      at = e.end;
      entries.push_back(e);
    }
    return entries;  // records 1 and 2, or 2 alone after an idle checkpoint
  }
  // The transaction id file f's last entry makes.
  uint64_t LastId(int f) {
    LogHeader h;
    return Entries(f, &h).back().id;
  }
  // Rewrites file f's log in the new form: every entry plain but the last, which becomes f's
  // part of the linked transaction (`linked`, the other file's commit making `other_after`),
  // or stays plain with `extra` changes added.
  void Rewrite(int f, bool linked, const std::string& extra = "", uint64_t other_after = 0) {
    LogHeader h;
    std::vector<LogEntry> entries = Entries(f, &h);
    h.version = 3;
    std::string out = mkde::EncodeLogHeader(h);
    for (size_t i = 0; i < entries.size(); ++i) {
      LogEntry& x = entries[i];
      if (i + 1 == entries.size()) {
        x.changes += extra;
        if (linked) {
          x.linked = true;
          x.identity = kId;
          x.index = static_cast<uint32_t>(f);
          x.parts = {{abs_[0], 0}, {abs_[1], 0}};
          x.parts[f].after = x.id;
          x.parts[1 - f].after = other_after;
        }
      }
      out += mkde::EncodeLogEntry(x, 3, h.key);
    }
    int fd = ::open((path_[f] + "-log").c_str(), O_WRONLY);
    EXPECT_EQ(::pwrite(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    // Zeros past the new entries: nothing of the old ones checks there anyway.
    const std::string zeros(4096, '\0');
    EXPECT_EQ(::pwrite(fd, zeros.data(), zeros.size(), static_cast<off_t>(out.size())), 4096);
    ::close(fd);
  }
  // The last entry of file f's log torn: its last byte (of the hash) changed.
  void Tear(int f) {
    const std::string bytes = ReadLog(f);
    LogHeader h;
    size_t at = mkde::DecodeLogHeader(bytes, &h);
    LogEntry e;
    size_t end = at;
    while (mkde::DecodeLogEntry(bytes, at, 3, h.key, &e)) end = at = e.end;
    int fd = ::open((path_[f] + "-log").c_str(), O_WRONLY);
    const char c = static_cast<char>(bytes[end - 1] ^ 1);
    EXPECT_EQ(::pwrite(fd, &c, 1, static_cast<off_t>(end - 1)), 1);
    ::close(fd);
  }
  // The records file f holds, opened (and so recovered) here.
  std::set<int32_t> Records(int f) {
    Table t;
    EXPECT_EQ(t.Open(path_[f]), 0);
    std::set<int32_t> ids;
    for (int16_t s = t.Get(BTR_GET_FIRST, 0); s == 0; s = t.Get(BTR_GET_NEXT, 0)) {
      ids.insert(GetU32(t.data, 0));
    }
    return ids;
  }
  // File f's last entry made linked with the other file's, both logs rewritten.
  void LinkBoth() {
    const uint64_t a = LastId(0), b = LastId(1);
    Rewrite(0, true, "", b);
    Rewrite(1, true, "", a);
  }

  std::string path_[2], abs_[2];
};

TEST_F(LinkedRecovery, WholeInEveryLogIsReplayedEverywhere) {
  for (int first = 0; first < 2; ++first) {
    ASSERT_NO_FATAL_FAILURE(Prepare(first));
    LinkBoth();
    const std::set<int32_t> both = {1, 2};
    EXPECT_EQ(Records(first), both) << "opened first: " << first;
    EXPECT_EQ(Records(1 - first), both);
  }
}

TEST_F(LinkedRecovery, MissingFromOneLogIsUndoneEverywhere) {
  for (int torn = 0; torn < 2; ++torn) {
    for (int first = 0; first < 2; ++first) {
      ASSERT_NO_FATAL_FAILURE(Prepare(torn * 2 + first));
      LinkBoth();
      Tear(torn);
      const std::set<int32_t> before = {1};
      EXPECT_EQ(Records(first), before) << "torn " << torn << " opened first " << first;
      EXPECT_EQ(Records(1 - first), before) << "torn " << torn << " opened first " << first;
    }
  }
}

// A participant whose log a checkpoint ended keeps a note of the transaction in its state:
// enough, without its entry, to decide the other file's.
TEST_F(LinkedRecovery, ANoteInTheOtherFileDecidesIt) {
  for (int noted = 0; noted < 2; ++noted) {
    ASSERT_NO_FATAL_FAILURE(Prepare(noted));
    const uint64_t a = LastId(0);
    mkde::ChangeLog note;
    const std::string key = mkde::LinkedNoteKey(abs_[0]);
    const std::string value = mkde::EncodeLinkedNote(a, noted ? kId : std::string(16, 'E'));
    note.Put(mkde::ChangeLog::kMetaDb, MDB_val{key.size(), const_cast<char*>(key.data())},
             MDB_val{value.size(), const_cast<char*>(value.data())});
    const uint64_t b = LastId(1);
    Rewrite(1, false, note.bytes());
    Rewrite(0, true, "", b);
    // The other file recovered, its log ended, its state noting the transaction (or only
    // another one, which the log does not hold).
    EXPECT_EQ(Records(1), (std::set<int32_t>{1, 2}));
    EXPECT_EQ(Records(0), (noted ? std::set<int32_t>{1, 2} : std::set<int32_t>{1}));
  }
}

}  // namespace
}  // namespace mkde_test
