// The server engine on its own. When the server goes away or stops answering, the call that
// meets it answers 96, never hangs; the next call connects again and, when a transaction was
// open, answers 95 once (the server rolled it back); then the client goes on, unless locks it
// held could not be taken back. What the server holds of a file with an owner: never the
// name, never a sealed record in the clear, in its rows or in its files. And a file or the
// catalog that has used up its positions or ids says so.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "tests/mkde/engine_fixture.h"
#include "tests/pgde/server_admin.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 16;

std::string Rec(int32_t id) {
  std::string r(kLen, '\0');
  std::memcpy(r.data(), &id, 4);
  return r;
}

// The engine's sessions of this process, and no other test's: named before the first call.
const bool kNamed = NameEngineSessions();
const std::string kEngineSessions = EngineSessions();

class ServerEngine : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(kNamed);
    ASSERT_TRUE(admin_.ok());
    path_ = Path("faults.dat");
    ASSERT_EQ(CreateFile(path_, CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
  }
  // A client ID no earlier call of this process used: its first call connects afresh, whatever
  // an earlier test (or run of a repeated test) did to the sessions.
  static const uint8_t* FreshClient() {
    static uint8_t ids[64][16] = {};
    static size_t used = 0;
    uint8_t* id = ids[used++ % 64];
    id[12] = 'F';
    id[13] = static_cast<uint8_t>(used);
    id[14] = static_cast<uint8_t>(used >> 8);
    return id;
  }
  // Ends every server session of the engine in this process, as a server restart would.
  void Terminate() {
    admin_.Value(("SELECT count(pg_terminate_backend(pid, 5000)) FROM pg_stat_activity WHERE " +
                  kEngineSessions)
                     .c_str());
  }
  Admin admin_;
  std::string path_;
};

TEST_F(ServerEngine, ALostConnectionAnswersThenTheNextCallReportsTheLostTransaction) {
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  ASSERT_EQ(t.Insert(Rec(1)), 0);
  ASSERT_EQ(t.Do(19, nullptr, nullptr, 0), 0);
  ASSERT_EQ(t.Insert(Rec(2)), 0);
  admin_.Value(
      (std::string("SELECT count(pg_terminate_backend(pid, 5000)) FROM pg_stat_activity WHERE ") +
       kEngineSessions)
          .c_str());
  EXPECT_EQ(t.Insert(Rec(3)), BTR_COMMUNICATIONS) << "the call that meets the loss";
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(1)), BTR_SESSION_LOST) << "reported once";
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0) << "the block still works";
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(2)), BTR_KEY_NOT_FOUND) << "rolled back";
  EXPECT_EQ(t.Do(BTR_END_TRANSACTION, nullptr, nullptr, 0), BTR_TRANSACTION_ERROR);
  // Without a transaction the next call simply goes on.
  admin_.Value(
      (std::string("SELECT count(pg_terminate_backend(pid, 5000)) FROM pg_stat_activity WHERE ") +
       kEngineSessions)
          .c_str());
  EXPECT_EQ(t.Insert(Rec(3)), BTR_COMMUNICATIONS);
  EXPECT_EQ(t.Insert(Rec(3)), 0);
}

TEST_F(ServerEngine, AServerThatStopsAnsweringEndsTheCallWithAStatus) {
  // A client of its own, so that its connection is made with the short deadline.
  setenv("VASTREL_PG_TIMEOUT", "300", 1);
  Table t(kClientA);
  ASSERT_EQ(t.Open(path_), 0);
  unsetenv("VASTREL_PG_TIMEOUT");
  ASSERT_EQ(t.Insert(Rec(1)), 0);
  std::string pid = admin_.Value((std::string("SELECT pid FROM pg_stat_activity WHERE ") +
                                  kEngineSessions + " ORDER BY backend_start DESC LIMIT 1")
                                     .c_str());
  ASSERT_FALSE(pid.empty());
  ASSERT_EQ(kill(std::stoi(pid), SIGSTOP), 0);
  int16_t stalled = t.Get(BTR_GET_EQUAL, 0, IdKey(1));
  kill(std::stoi(pid), SIGCONT);
  EXPECT_EQ(stalled, BTR_COMMUNICATIONS);
  EXPECT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0) << "connected again";
  uint8_t pos[128] = {};
  BTRCALLID(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0, const_cast<uint8_t*>(kClientA));
}

TEST_F(ServerEngine, TheServerNeverSeesTheOwnerNameOrSealedRecordsInTheClear) {
  const std::string marker = "MARK";  // fits the record after its 4-byte key
  Table t;
  ASSERT_EQ(t.Open(path_), 0);
  std::string before = Rec(1);
  std::memcpy(before.data() + 4, marker.data(), marker.size());
  ASSERT_EQ(t.Insert(before), 0);
  std::string name = std::string("secretnm") + '\0';
  std::string data = name;
  ASSERT_EQ(t.Do(BTR_SET_OWNER, &data, &name, 2), 0);
  std::string after = Rec(2);
  std::memcpy(after.data() + 4, marker.data(), marker.size());
  ASSERT_EQ(t.Insert(after), 0);
  std::string id =
      admin_.Value("SELECT id FROM vastrel_files WHERE name = convert_to($1, 'UTF8')", {path_});
  ASSERT_FALSE(id.empty());
  std::string rows = "vastrel_r" + id;
  EXPECT_EQ(admin_.Value(("SELECT count(*) FROM " + rows).c_str()), "2");
  EXPECT_EQ(admin_.Value(("SELECT count(*) FROM " + rows +
                          " WHERE position(convert_to($1, 'UTF8') in rec) > 0")
                             .c_str(),
                         {marker}),
            "0")
      << "records sealed, those from before the owner too";
  EXPECT_EQ(admin_.Value("SELECT count(*) FROM vastrel_files WHERE id = $1::bigint AND "
                         "position(convert_to('secretnm', 'UTF8') in owner) > 0",
                         {id}),
            "0")
      << "the name is never stored";
  ASSERT_EQ(t.Close(), 0);
  EXPECT_EQ(t.Open(path_), BTR_INVALID_OWNER);
  ASSERT_EQ(t.Open(path_, 0, "secretnm"), 0);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(2)), 0);
  EXPECT_EQ(t.data.substr(4, 4), marker) << "opened again in the library";
}

// How many of the files under the server's data directory `data_dir` that hold the relations
// at `relations` (paths relative to it, one a line: every fork and segment of each) contain
// `marker`.
int FilesWith(const std::string& data_dir, const std::string& relations,
              const std::string& marker) {
  namespace fs = std::filesystem;
  int found = 0;
  std::istringstream lines(relations);
  for (std::string rel; std::getline(lines, rel);) {
    fs::path main = fs::path(data_dir) / rel;
    std::string base = main.filename().string();
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(main.parent_path(), ec)) {
      std::string name = e.path().filename().string();
      if (name != base && name.rfind(base + "_", 0) != 0 && name.rfind(base + ".", 0) != 0) {
        continue;
      }
      std::ifstream in(e.path(), std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (bytes.find(marker) != std::string::npos) ++found;
    }
  }
  return found;
}

TEST_F(ServerEngine, SealingAFileLeavesNoPlainRecordInTheServersFiles) {
  const std::string marker = "PLAIN-RECORD-MARKER-7f3a";  // past the key: keys stay plain
  std::string path = Path("sealed.dat");
  ASSERT_EQ(CreateFile(path, CreationBuffer(64, {{{1, 4, 0, 1}}})), 0);
  Table t;
  ASSERT_EQ(t.Open(path), 0);
  std::string record(64, '\0');
  record[0] = 1;
  std::memcpy(record.data() + 8, marker.data(), marker.size());
  ASSERT_EQ(t.Insert(record), 0);
  std::string table = "vastrel_r" + admin_.Value(
                                        "SELECT id FROM vastrel_files WHERE name = "
                                        "convert_to($1, 'UTF8')",
                                        {path});
  // The table's files, its TOAST table's and those of the indexes of both.
  auto relations = [&] {
    return admin_.Value(
        "WITH t AS (SELECT $1::regclass::oid AS oid UNION ALL SELECT reltoastrelid FROM pg_class "
        "WHERE oid = $1::regclass AND reltoastrelid <> 0) "
        "SELECT string_agg(pg_relation_filepath(r), E'\\n') FROM (SELECT oid AS r FROM t UNION "
        "ALL SELECT indexrelid FROM pg_index WHERE indrelid IN (SELECT oid FROM t)) x",
        {table});
  };
  std::string data_dir = admin_.Value("SHOW data_directory");
  std::string before = relations();
  ASSERT_FALSE(before.empty());
  admin_.Value("CHECKPOINT");
  ASSERT_GT(FilesWith(data_dir, before, marker), 0) << "the test reads the server's files";

  std::string name = std::string("secretnm") + '\0';
  std::string data = name;
  ASSERT_EQ(t.Do(BTR_SET_OWNER, &data, &name, 2), 0);
  admin_.Value("CHECKPOINT");
  EXPECT_EQ(FilesWith(data_dir, relations(), marker), 0) << "the live table's files";
  EXPECT_EQ(FilesWith(data_dir, before, marker), 0) << "the files of the table before";
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0);
  EXPECT_EQ(t.data.substr(8, marker.size()), marker);
  ASSERT_EQ(t.Do(BTR_CLEAR_OWNER, nullptr, nullptr, 0), 0);
  ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(1)), 0);
  EXPECT_EQ(t.data.substr(8, marker.size()), marker) << "cleared again";
}

TEST_F(ServerEngine, ABlockWhoseLocksWereNotTakenBackAfterALossIsToldAndWritesNothing) {
  const uint8_t* client_a = FreshClient();
  // Clients that connect after the loss.
  const uint8_t* later = FreshClient();
  const uint8_t* later_still = FreshClient();
  std::string rows =
      "SELECT count(*) FROM vastrel_r" +
      admin_.Value("SELECT id FROM vastrel_files WHERE name = convert_to($1, 'UTF8')", {path_});
  Table a(client_a);
  ASSERT_EQ(a.Open(path_), 0);
  ASSERT_EQ(a.Insert(Rec(1)), 0);
  ASSERT_EQ(a.Get(BTR_GET_EQUAL + 300, 0, IdKey(1)), 0) << "a record lock";
  Terminate();
  {
    Table b(later);
    ASSERT_EQ(b.Open(path_, -4), 0);
    EXPECT_EQ(a.Insert(Rec(2)), BTR_COMMUNICATIONS) << "the call that meets the loss";
    EXPECT_EQ(a.Insert(Rec(2)), BTR_INCOMPATIBLE_MODE) << "its open could not be taken back";
    EXPECT_EQ(a.Get(BTR_GET_EQUAL, 0, IdKey(1)), BTR_INCOMPATIBLE_MODE);
    EXPECT_EQ(admin_.Value(rows.c_str()), "1") << "nothing written past the exclusive open";
  }
  EXPECT_EQ(a.Insert(Rec(2)), BTR_SESSION_LOST) << "its record lock went with the connection";
  EXPECT_EQ(a.Insert(Rec(2)), 0) << "then the block goes on";

  // An exclusive open, the other way round: an open made since stands in its way.
  ASSERT_EQ(a.Close(), 0);
  ASSERT_EQ(a.Open(path_, -4), 0);
  Terminate();
  {
    Table b(later_still);
    ASSERT_EQ(b.Open(path_), 0);
    EXPECT_EQ(a.Insert(Rec(3)), BTR_COMMUNICATIONS);
    EXPECT_EQ(a.Insert(Rec(3)), BTR_INCOMPATIBLE_MODE);
  }
  EXPECT_EQ(a.Insert(Rec(3)), 0) << "taken back once the other open ended; no record lock lost";
  EXPECT_EQ(admin_.Value(rows.c_str()), "3");
  EXPECT_EQ(a.Close(), 0);
  uint8_t pos[128] = {};
  for (const uint8_t* client : {client_a, later, later_still}) {
    BTRCALLID(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0, const_cast<uint8_t*>(client));
  }
}

TEST_F(ServerEngine, AFileIsFullAtItsLastPositionAndTheCatalogAtItsLastId) {
  // A database of its own: the catalog's ids are the whole database's.
  const std::string db = "vastrel_limits_" + std::to_string(getpid());
  admin_.Value(("DROP DATABASE IF EXISTS " + db + " WITH (FORCE)").c_str());
  admin_.Value(("CREATE DATABASE " + db).c_str());
  const std::string conninfo = getenv("VASTREL_PG");
  const uint8_t* limits_client = FreshClient();
  auto create = [&](const std::string& name) {
    std::string data = CreationBuffer(kLen, {{{1, 4, 0, 1}}});
    std::string key = Path(name) + '\0';
    uint8_t pos[128] = {};
    return Call(BTR_CREATE, pos, &data, &key, 0, limits_client);
  };
  setenv("VASTREL_PG", (conninfo + " dbname=" + db).c_str(), 1);
  int16_t first = create("a.dat");  // the client's connection, to that database
  setenv("VASTREL_PG", conninfo.c_str(), 1);
  ASSERT_EQ(first, 0);
  {
    Admin limits(conninfo + " dbname=" + db);
    ASSERT_TRUE(limits.ok());
    limits.Value("SELECT setval('vastrel_files_id_seq', 2147483646)");
    ASSERT_EQ(create("b.dat"), 0) << "the last id";
    EXPECT_EQ(create("c.dat"), BTR_DISK_FULL) << "no id left";
    EXPECT_EQ(limits.Value("SELECT count(*) FROM vastrel_files"), "2");

    Table t(limits_client);
    ASSERT_EQ(t.Open(Path("b.dat")), 0);
    limits.Value("SELECT setval('vastrel_s2147483647', 4294967292)");
    ASSERT_EQ(t.Insert(Rec(1)), 0);
    ASSERT_EQ(t.Insert(Rec(2)), 0);
    EXPECT_EQ(t.Insert(Rec(3)), BTR_DISK_FULL) << "the positions are used up";
    uint32_t at = 0;
    ASSERT_EQ(t.Get(BTR_GET_EQUAL, 0, IdKey(2)), 0);
    ASSERT_EQ(t.Position(&at), 0);
    EXPECT_EQ(at, 0xFFFFFFFEu);
    ASSERT_EQ(t.Direct(0xFFFFFFFDu), 0);
    EXPECT_EQ(t.data.substr(0, kLen), Rec(1));
    std::string name = std::string("secretnm") + '\0';
    std::string data = name;
    ASSERT_EQ(t.Do(BTR_SET_OWNER, &data, &name, 2), 0);
    EXPECT_EQ(t.Insert(Rec(3)), BTR_DISK_FULL) << "a sealed record's position too";
    EXPECT_EQ(limits.Value("SELECT count(*) FROM vastrel_r2147483647"), "2");

    // The record lock's key: the file id above the position, taken and let go as one.
    const char* held =
        "SELECT string_agg((classid::bigint << 32 | objid::bigint)::text, ',') FROM pg_locks "
        "WHERE locktype = 'advisory' AND objsubid = 1 AND database = (SELECT oid FROM "
        "pg_database WHERE datname = current_database())";
    ASSERT_EQ(t.Get(BTR_GET_EQUAL + 400, 0, IdKey(2)), 0);
    EXPECT_EQ(limits.Value(held), "9223372036854775806");
    std::string unlock = U32(0xFFFFFFFEu);
    ASSERT_EQ(t.Do(BTR_UNLOCK, &unlock, nullptr, -1), 0);
    EXPECT_EQ(limits.Value(held), "");
  }
  uint8_t pos[128] = {};
  BTRCALLID(BTR_STOP, pos, nullptr, nullptr, nullptr, 0, 0, const_cast<uint8_t*>(limits_client));
  admin_.Value(("DROP DATABASE " + db + " WITH (FORCE)").c_str());
}

}  // namespace
}  // namespace mkde_test
