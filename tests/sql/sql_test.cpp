// The SQLite module through the real sqlite3 library, as a program loads it: files made by
// the vastrel tool, read and written with SQL, checked with SQL and the tool.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

namespace {

namespace fs = std::filesystem;

// Orders of 64 bytes: the last 9 bytes belong to no field of the ORDERS dictionary, to the
// field Note of FULL. Key 0: OrderNo; key 1: Customer then OrderNo; key 2: Customer
// without regard to case.
constexpr const char* kDescription = R"({"record_length": 64,
 "keys": [{"segments": [{"position": 1, "length": 8, "type": "ktString"}]},
          {"segments": [{"position": 9, "length": 20, "type": "ktString", "flags": ["AllowDuplicates", "Modifiable"]},
                        {"position": 1, "length": 8, "type": "ktString", "flags": ["AllowDuplicates", "Modifiable"]}]},
          {"segments": [{"position": 9, "length": 20, "type": "ktString",
                         "flags": ["AllowDuplicates", "Modifiable", "CaseInsensitive"]}]}],
 "dictionary": {
   "fields": [{"name": "OrderNo", "type": "ft_INTEGER", "offset": 0, "size": 8},
              {"name": "Customer", "type": "ft_STRING", "offset": 8, "size": 20},
              {"name": "Qty", "type": "ft_INTEGER", "offset": 28, "size": 6},
              {"name": "Price", "type": "ft_FLOAT", "offset": 34, "size": 12},
              {"name": "Day", "type": "ft_DATE", "offset": 46, "size": 8},
              {"name": "Paid", "type": "ft_BOOLEAN", "offset": 54, "size": 1}]}})";

constexpr const char* kOrders = R"(OrderNo,Customer,Qty,Price,Day,Paid
1001,Smith,5,12.5,2026-03-01,true
1002,Baker,12,3.75,2026-03-02,false
1003,Adams,1,199,2026-03-02,true
1004,Baker,,,,
1005,Clark,7,0.5,2026-03-04,false
1006,smith,3,2,2026-03-05,true
)";

class Sql : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vastrel-sql-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (db_) sqlite3_close(db_);
    fs::remove_all(dir_);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::binary) << text;
  }
  int Tool(const std::string& args) const {
    return std::system((std::string(VASTREL_TOOL) + " " + args + " >/dev/null 2>&1").c_str());
  }

  // orders.dat with the orders above, its dictionary under ORDERS and, with Note, FULL.
  void MakeOrders(const std::string& owner_args = "") {
    Write("orders.json", kDescription);
    std::string full = kDescription;
    full.insert(full.rfind("]}}"),
                R"(, {"name": "Note", "type": "ft_STRING", "offset": 55, "size": 9})");
    Write("full.json", full);
    Write("orders.csv", kOrders);
    ASSERT_EQ(Tool("create " + Path("orders.dat") + " " + Path("orders.json") + owner_args), 0);
    ASSERT_EQ(Tool("dict create " + Path("orders.ddf") + " --id ORDERS " + Path("orders.json")), 0);
    ASSERT_EQ(Tool("dict create " + Path("orders.ddf") + " --id FULL " + Path("full.json")), 0);
    ASSERT_EQ(Tool("import " + Path("orders.dat") + " " + Path("orders.csv") + " --dict " +
                   Path("orders.ddf") + " --id ORDERS" + owner_args),
              0);
  }

  void Connect() {
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    sqlite3_enable_load_extension(db_, 1);
    char* error = nullptr;
    ASSERT_EQ(sqlite3_load_extension(db_, VASTREL_SQLITE_EXTENSION, nullptr, &error), SQLITE_OK)
        << (error ? error : "");
  }
  void Attach(const std::string& name, const std::string& id, const std::string& more = "") {
    ASSERT_EQ(Exec("CREATE VIRTUAL TABLE " + name + " USING vastrel(file='" + Path("orders.dat") +
                   "', dictionary='" + Path("orders.ddf") + "', id='" + id + "'" + more + ")"),
              "");
  }
  void SetUpOrders() {
    ASSERT_NO_FATAL_FAILURE(MakeOrders());
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_NO_FATAL_FAILURE(Attach("orders", "ORDERS"));
  }

  // The statement's error message; empty when it ran.
  std::string Exec(const std::string& sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
    std::string message = rc == SQLITE_OK ? "" : error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    return message;
  }
  // The rows, values separated by '|', rows by ';'; NULL as "-".
  std::string Query(const std::string& sql) {
    std::string out;
    char* error = nullptr;
    auto row = [](void* p, int n, char** values, char**) {
      auto& s = *static_cast<std::string*>(p);
      if (!s.empty()) s += ';';
      for (int i = 0; i < n; ++i) s += (i ? "|" : "") + std::string(values[i] ? values[i] : "-");
      return 0;
    };
    if (sqlite3_exec(db_, sql.c_str(), row, &out, &error) != SQLITE_OK) {
      out = std::string("error: ") + (error ? error : "");
      sqlite3_free(error);
    }
    return out;
  }
  std::string Plan(const std::string& sql) { return Query("EXPLAIN QUERY PLAN " + sql); }

  fs::path dir_;
  sqlite3* db_ = nullptr;
};

TEST_F(Sql, ColumnsAreTypedAsSqlExpectsAndThePositionIsHidden) {
  SetUpOrders();
  EXPECT_EQ(Query("SELECT OrderNo, typeof(OrderNo), Customer, length(Customer), Price, "
                  "typeof(Price), Day, Paid, typeof(Paid) FROM orders WHERE OrderNo = 1001"),
            "1001|integer|Smith|5|12.5|real|2026-03-01|1|integer");
  // Blank numbers and dates are NULL; a blank text is the empty text.
  EXPECT_EQ(Query("SELECT Qty, Price, Day, Paid FROM orders WHERE OrderNo = 1004"), "-|-|-|-");
  EXPECT_EQ(Query("SELECT count(*) FROM pragma_table_info('orders')"), "6");
  EXPECT_EQ(Query("SELECT count(*) FROM orders WHERE _position = rowid"), "6");
  const std::string third = Query("SELECT _position FROM orders WHERE OrderNo = 1003");
  EXPECT_EQ(Query("SELECT Customer FROM orders WHERE _position = " + third), "Adams");
  EXPECT_EQ(Query("SELECT Customer FROM orders WHERE rowid = " + third + ".0"), "Adams");
  EXPECT_EQ(Query("SELECT Customer FROM orders WHERE rowid = '" + third + "'"), "Adams");
  EXPECT_EQ(Query("SELECT count(*) FROM orders WHERE rowid IN (0, 99999, 4294967296)"), "0");
  EXPECT_EQ(Query("SELECT sum(Qty), round(sum(Price), 2) FROM orders"), "28|217.75");
}

TEST_F(Sql, KeysServeEqualityRangesAndOrderAlongThemBothWays) {
  SetUpOrders();
  struct Case {
    const char* where;
    const char* rows;
    const char* plan;
  };
  const Case cases[] = {
      {"WHERE OrderNo = 1003", "1003", "key 0 (OrderNo =, unordered)"},
      {"WHERE OrderNo IN (1005, 1001)", "1001;1005", "key 0 (OrderNo ="},
      {"WHERE Customer = 'Baker'", "1002;1004", "key 1 (Customer ="},
      {"WHERE Customer > 'Baker' ORDER BY Customer", "1005;1001;1006", "key 1 (Customer >"},
      {"WHERE Customer >= 'Baker' AND Customer < 'Smith' ORDER BY Customer", "1002;1004;1005",
       "key 1 (Customer >=, Customer <"},
      {"WHERE Customer <= 'Baker' ORDER BY Customer DESC", "1004;1002;1003", "backward"},
      {"WHERE Customer BETWEEN 'B' AND 'Bz' ORDER BY Customer", "1002;1004", "key 1"},
      // Longer than the field, yet equal under RTRIM: the whole key is walked.
      {"WHERE Customer = 'Baker' || printf('%30s', '') COLLATE RTRIM", "1002;1004",
       "key 1 (Customer ="},
      {"ORDER BY Customer DESC", "1006;1001;1005;1004;1002;1003", "key 1 (ordered backward)"},
      // Another collation than the key's order: SQLite's own walk and sort.
      {"WHERE Customer = 'Smith' COLLATE NOCASE ORDER BY OrderNo", "1001;1006", "TEMP B-TREE"},
      {"WHERE Customer >= 'b' COLLATE NOCASE ORDER BY Customer COLLATE NOCASE",
       "1002;1004;1005;1001;1006", "TEMP B-TREE"},
      // Left to SQLite: no key covers Qty, and a key over an integer field is not ordered by
      // number.
      {"WHERE Qty > 4 ORDER BY OrderNo", "1001;1002;1005", "physical order"},
      {"WHERE OrderNo > 1004 ORDER BY OrderNo", "1005;1006", "physical order"},
  };
  for (const Case& c : cases) {
    const std::string sql = std::string("SELECT OrderNo FROM orders ") + c.where;
    std::string rows = Query(sql);
    if (!strstr(c.where, "ORDER BY")) {  // unordered: compare as a set
      std::vector<std::string> v;
      for (size_t at = 0; at <= rows.size();) {
        const size_t end = std::min(rows.find(';', at), rows.size());
        v.push_back(rows.substr(at, end - at));
        at = end + 1;
      }
      std::sort(v.begin(), v.end());
      rows.clear();
      for (const auto& r : v) rows += (rows.empty() ? "" : ";") + r;
    }
    EXPECT_EQ(rows, c.rows) << sql;
    EXPECT_NE(Plan(sql).find(c.plan), std::string::npos) << sql << "\n" << Plan(sql);
  }
  // Bytes that sort otherwise than their characters: a bound beyond ASCII is left to SQLite,
  // and an ordered walk that meets such a key stops with an error rather than misorder.
  ASSERT_EQ(Exec("INSERT INTO orders (OrderNo, Customer) VALUES (1007, 'Šimek')"), "");
  EXPECT_EQ(Query("SELECT group_concat(OrderNo) FROM orders WHERE Customer >= 'Á'"), "1007");
  EXPECT_EQ(Query("SELECT group_concat(OrderNo) FROM orders WHERE Customer > 'smith'"), "1007");
  EXPECT_NE(Query("SELECT OrderNo FROM orders ORDER BY Customer").find("ORDER BY +Customer"),
            std::string::npos);
  EXPECT_EQ(Query("SELECT group_concat(OrderNo) FROM (SELECT OrderNo FROM orders "
                  "WHERE Customer > 'Smith' ORDER BY +Customer)"),
            "1006,1007");
  ASSERT_EQ(Exec("DELETE FROM orders WHERE OrderNo = 1007"), "");
  // A key walked for ORDER BY needs no sort of SQLite's.
  EXPECT_EQ(Plan("SELECT * FROM orders ORDER BY Customer").find("TEMP B-TREE"), std::string::npos);
  // A value that no field could hold is still answered, by a walk SQLite filters.
  EXPECT_EQ(Query("SELECT count(*) FROM orders WHERE OrderNo = 'x' OR Customer = 'Adams'"), "1");
}

TEST_F(Sql, JoinsUseTheKeyOfTheInnerTable) {
  SetUpOrders();
  Attach("again", "ORDERS");
  const std::string sql =
      "SELECT count(*) FROM orders o JOIN again a ON a.OrderNo = o.OrderNo WHERE o.Qty > 2";
  EXPECT_EQ(Query(sql), "4");
  EXPECT_NE(Plan(sql).find("key 0 (OrderNo =, unordered)"), std::string::npos) << Plan(sql);
}

TEST_F(Sql, WritesGoThroughTheDictionaryAndRefuseWhatDoesNotFit) {
  SetUpOrders();
  ASSERT_EQ(Exec("INSERT INTO orders VALUES (1007, 'Dunn', 4, 1.25, '2026-04-01', 1)"), "");
  EXPECT_EQ(Query("SELECT * FROM orders WHERE OrderNo = 1007"), "1007|Dunn|4|1.25|2026-04-01|1");
  EXPECT_EQ(Query("SELECT last_insert_rowid() = _position FROM orders WHERE OrderNo = 1007"), "1");
  ASSERT_EQ(Exec("UPDATE orders SET Qty = Qty + 1, Day = NULL WHERE Customer = 'Baker'"), "");
  EXPECT_EQ(Query("SELECT OrderNo, Qty, Day FROM orders WHERE Customer = 'Baker'"),
            "1002|13|-;1004|-|-");
  ASSERT_EQ(Exec("DELETE FROM orders WHERE OrderNo IN (1003, 1005)"), "");
  EXPECT_EQ(Query("SELECT group_concat(OrderNo) FROM orders"), "1001,1002,1004,1006,1007");

  const std::string before = Query("SELECT * FROM orders");
  const struct {
    const char* sql;
    const char* message;
  } refused[] = {
      {"INSERT INTO orders VALUES (123456789, 'X', 1, 1, NULL, 0)",
       "field \"OrderNo\" can't take 123456789: it needs 9 characters and the field holds 8"},
      {"INSERT INTO orders VALUES (1008, 'a name longer than twenty', 1, 1, NULL, 0)",
       "field \"Customer\""},
      {"UPDATE orders SET Qty = 1.5 WHERE OrderNo = 1001", "field \"Qty\""},
      {"UPDATE orders SET Day = '1 March' WHERE OrderNo = 1001", "date YYYY-MM-DD"},
      {"UPDATE orders SET Paid = 2 WHERE OrderNo = 1001", "0 or 1"},
      {"UPDATE orders SET Qty = '12 boxes' WHERE OrderNo = 1001", "not a number"},
      {"UPDATE orders SET Customer = x'00' WHERE OrderNo = 1001", "BLOB"},
      {"INSERT INTO orders VALUES (1001, 'Again', 1, 1, NULL, 0)", "Duplicate Key Value (5)"},
      {"INSERT INTO orders (_position, OrderNo) VALUES (99, 1009)", "position"},
      {"UPDATE orders SET _position = 99 WHERE OrderNo = 1001", "position"},
  };
  for (const auto& r : refused) {
    const std::string message = Exec(r.sql);
    EXPECT_NE(message.find(r.message), std::string::npos) << r.sql << ": " << message;
  }
  // A statement refused on its third row leaves none of its rows behind.
  EXPECT_NE(Exec("UPDATE orders SET Qty = CASE OrderNo WHEN 1006 THEN 1234567 ELSE 9 END"), "");
  EXPECT_EQ(Query("SELECT * FROM orders"), before);
}

TEST_F(Sql, UpdatesKeepTheBytesNoFieldCovers) {
  SetUpOrders();
  Attach("full", "FULL");
  ASSERT_EQ(Exec("UPDATE full SET Note = 'kept' WHERE OrderNo = 1002"), "");
  ASSERT_EQ(Exec("UPDATE orders SET Qty = 99, Customer = 'Baker & Son' WHERE OrderNo = 1002"), "");
  EXPECT_EQ(Query("SELECT Customer, Qty, Note FROM full WHERE OrderNo = 1002"),
            "Baker & Son|99|kept");
}

TEST_F(Sql, RollbackLeavesTheFileAsItWas) {
  SetUpOrders();
  const std::string before = Query("SELECT *, _position FROM orders");
  ASSERT_EQ(Exec("BEGIN; INSERT INTO orders VALUES (1010, 'Eve', 1, 1, NULL, 0);"
                 "UPDATE orders SET Qty = 0; DELETE FROM orders WHERE Customer = 'Baker'"),
            "");
  EXPECT_EQ(Query("SELECT count(*), sum(Qty) FROM orders"), "5|0");
  ASSERT_EQ(Exec("ROLLBACK"), "");
  EXPECT_EQ(Query("SELECT *, _position FROM orders"), before);

  // Back to the savepoint that began the transaction: the writes are undone, the
  // transaction goes on.
  ASSERT_EQ(Exec("SAVEPOINT a; UPDATE orders SET Qty = 0; ROLLBACK TO a;"
                 "UPDATE orders SET Qty = 50 WHERE OrderNo = 1001; RELEASE a"),
            "");
  EXPECT_EQ(Query("SELECT sum(Qty) FROM orders"), "73");
  // A later savepoint undoes what was written since, also to a table that joined after it,
  // and keeps what came before.
  Attach("again", "ORDERS");
  const std::string rows = Query("SELECT OrderNo, Customer, Qty FROM orders");
  ASSERT_EQ(Exec("BEGIN; UPDATE orders SET Qty = 1 WHERE OrderNo = 1001; SAVEPOINT b;"
                 "UPDATE orders SET Qty = 2; DELETE FROM orders WHERE Customer = 'Baker';"
                 "INSERT INTO orders VALUES (1011, 'F', 1, 1, NULL, 0);"
                 "UPDATE again SET Customer = 'Zed' WHERE OrderNo = 1003; ROLLBACK TO b; COMMIT"),
            "");
  EXPECT_EQ(Query("SELECT OrderNo, Customer, Qty FROM orders ORDER BY OrderNo"),
            std::regex_replace(rows, std::regex("1001\\|Smith\\|50"), "1001|Smith|1"));
}

TEST_F(Sql, AnOwnedFileOpensOnlyWithItsOwnerName) {
  MakeOrders(" --owner Secret1");
  Connect();
  const std::string base = "CREATE VIRTUAL TABLE o USING vastrel(file='" + Path("orders.dat") +
                           "', dictionary='" + Path("orders.ddf") + "', id='ORDERS'";
  unsetenv("VASTREL_OWNER");
  EXPECT_NE(Exec(base + ")").find("(51)"), std::string::npos) << Exec(base + ")");
  Write("owner", "Secret1\n");
  chmod(Path("owner").c_str(), 0644);
  EXPECT_NE(Exec(base + ", owner_file='" + Path("owner") + "')").find("other users may read it"),
            std::string::npos);
  chmod(Path("owner").c_str(), 0600);
  ASSERT_EQ(Exec(base + ", owner_file='" + Path("owner") + "')"), "");
  EXPECT_EQ(Query("SELECT count(*) FROM o"), "6");
  EXPECT_NE(Exec("CREATE VIRTUAL TABLE p USING vastrel(file='x', dictionary='y', id='Z', "
                 "colour='red')")
                .find("unknown argument \"colour\""),
            std::string::npos);
}

TEST_F(Sql, TheToolRunsStatementsOverTheFilesItIsGiven) {
  ASSERT_NO_FATAL_FAILURE(MakeOrders());
  const std::string run = std::string(VASTREL_TOOL) + " sql " + Path("orders.dat") + " " +
                          Path("orders.dat") + " --dict " + Path("orders.ddf") +
                          " --id ORDERS --id FULL --as o --as f ";
  auto output = [](const std::string& command) {
    std::string out;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    char chunk[256];
    while (size_t n = fread(chunk, 1, sizeof chunk, p)) out.append(chunk, n);
    out += "exit " + std::to_string(WEXITSTATUS(pclose(p)));
    return out;
  };
  EXPECT_EQ(output(run + "--mode csv -c \"SELECT o.OrderNo, f.Customer FROM o JOIN f USING "
                         "(OrderNo) WHERE o.Qty > 6 ORDER BY 1\""),
            "\"OrderNo\",\"Customer\"\n1002,\"Baker\"\n1005,\"Clark\"\nexit 0");
  EXPECT_EQ(output("echo \"SELECT Customer, Price\n FROM o WHERE OrderNo = 1003;\" | " + run +
                   "--mode json"),
            "{\"Customer\": \"Adams\", \"Price\": 199.0}\nexit 0");
  EXPECT_EQ(output(run + "-c \"UPDATE o SET Qty = 'many'\""),
            "vastrel: sql: table o: field \"Qty\" can't take many: an integer field takes no text "
            "that is not a number\nexit 1");
}

}  // namespace
