// The server engine on its own. When the server goes away or stops answering, the call that
// meets it answers 96, never hangs; the next call connects again and, when a transaction was
// open, answers 95 once (the server rolled it back); then the client goes on. And what the
// server holds of a file with an owner: never the name, never a sealed record in the clear.
#include <libpq-fe.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

#include "tests/mkde/engine_fixture.h"

namespace mkde_test {
namespace {

constexpr uint16_t kLen = 16;

std::string Rec(int32_t id) {
  std::string r(kLen, '\0');
  std::memcpy(r.data(), &id, 4);
  return r;
}

// A connection of the test's own, beside the engine's, to act on the engine's sessions.
class Admin {
 public:
  Admin() : conn_(PQconnectdb(getenv("VASTREL_PG") ? getenv("VASTREL_PG") : "")) {}
  ~Admin() { PQfinish(conn_); }
  bool ok() const { return PQstatus(conn_) == CONNECTION_OK; }
  // Runs `sql` with text parameters; the first column of the first row, or "" when there is
  // none.
  std::string Value(const char* sql, std::vector<std::string> params = {}) {
    std::vector<const char*> values;
    for (const std::string& p : params) values.push_back(p.c_str());
    PGresult* r = PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr, values.data(),
                               nullptr, nullptr, 0);
    std::string v = PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    return v;
  }

 private:
  PGconn* conn_;
};

// The engine's sessions of this process, and no other test's: they carry a name of their own,
// given before the first call connects (the connection string's overrides the engine's).
const std::string kAppName = "vastrel-test-" + std::to_string(getpid());
const bool kNamed = [] {
  std::string conninfo = getenv("VASTREL_PG") ? getenv("VASTREL_PG") : "";
  return setenv("VASTREL_PG", (conninfo + " application_name=" + kAppName).c_str(), 1) == 0;
}();
const std::string kEngineSessions =
    "application_name = '" + kAppName + "' AND pid <> pg_backend_pid()";

class ServerEngine : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(kNamed);
    ASSERT_TRUE(admin_.ok());
    path_ = Path("faults.dat");
    ASSERT_EQ(CreateFile(path_, CreationBuffer(kLen, {{{1, 4, 0, 1}}})), 0);
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

}  // namespace
}  // namespace mkde_test
