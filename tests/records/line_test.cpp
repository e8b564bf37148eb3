// The line's database on a real PostgreSQL server: stations' files pushed to
// it with `trnctl records push` and read back with `trnctl records --db URL`
// (yield over two stations, every record as the station keeps it, a lost
// acknowledgement), and stations pushing at once into a database whose
// schema is not made yet.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <thread>

#include "known_runs.h"
#include "pg_server.h"
#include "store.h"
#include "support.h"

namespace {

class Line : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new PgServer;
    server_->start();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (server_->missing()) GTEST_SKIP() << "no PostgreSQL server programs (package postgresql)";
    ASSERT_TRUE(server_->running()) << "the test server did not start";
    ASSERT_TRUE(dir_.ok());
  }
  // An empty database on the server, for this test alone.
  static std::string fresh_database(const std::string &name) {
    EXPECT_EQ("", server_->exec("CREATE DATABASE " + name));
    return server_->url(name);
  }
  // Each line of trnctl's standard output as JSON, by its "id".
  static std::map<std::string, Json> by_id(const Result &r) {
    std::map<std::string, Json> runs;
    for (const std::string &line : r.lines) {
      const Json j = Json::parse(line);
      runs[j["id"]] = j;
    }
    return runs;
  }

  static PgServer *server_;
  WorkDir dir_;
};
PgServer *Line::server_ = nullptr;

// The known runs, each recorded at its own station and pushed from there:
// the line's yield is that of one file holding them all (B failed on s1 and
// passed on s2: a retest), and every record reads back as its station keeps
// it, the try its station's own count.
TEST_F(Line, TwoStationsYieldAndRecordsReadBack) {
  const std::string url = fresh_database("line_yield");
  {
    auto s1 = rec::open_store("s1.db", rec::OpenMode::Create);
    auto s2 = rec::open_store("s2.db", rec::OpenMode::Create);
    for (const KnownRun &k : kKnownRuns)
      record(std::string(k.station) == "s1" ? *s1 : *s2,
             make_run(k.dut, k.station, k.started, k.outcome, k.failed));
  }
  // A reader that may only read makes no schema.
  EXPECT_THROW(rec::open_reader(url, rec::OpenMode::ReadOnly), rec::StoreError);
  EXPECT_EQ(server_->column("SELECT COUNT(*) FROM pg_tables WHERE schemaname = 'public'",
                            "line_yield"),
            std::vector<std::string>{"0"});
  Result r = trnctl({"records", "--db", "s1.db", "push", "--push", url});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "4 pushed, 0 waiting\n");
  auto reader = rec::open_reader(url, rec::OpenMode::ReadOnly);
  const std::string stamp = reader->change_stamp();
  r = trnctl({"records", "--db", "s2.db", "push", "--push", url, "--json"});
  EXPECT_EQ(r.out, "{\"pushed\":6,\"waiting\":0}\n") << r.err;

  for (const YieldCase &c : kKnownYield) {
    std::vector<std::string> args = {"records", "--db", url, "yield", "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    r = trnctl(args);
    SCOPED_TRACE(c.args.empty() ? "(all)" : c.args.back());
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), c.groups.size()) << r.out;
    for (size_t i = 0; i < c.groups.size(); ++i)
      EXPECT_EQ(Json::parse(r.lines[i]), Json::parse(c.groups[i])) << r.lines[i];
  }

  const auto line = by_id(trnctl({"records", "--db", url, "--json"}));
  EXPECT_EQ(line.size(), kKnownRuns.size());
  for (const char *db : {"s1.db", "s2.db"})
    for (const auto &local : by_id(trnctl({"records", "--db", db, "--json"}))) {
      ASSERT_EQ(line.count(local.first), 1u) << local.second;
      EXPECT_EQ(line.at(local.first), local.second);
      EXPECT_EQ(local.second["steps"].size(), 3u);
    }
  EXPECT_NE(reader->change_stamp(), stamp);
  EXPECT_EQ(reader->list({}, false).size(), kKnownRuns.size());
  r = trnctl({"records", "--db", url, "--dut", "B", "--station", "s2", "--csv"});
  ASSERT_EQ(r.lines.size(), 2u) << r.err;
  EXPECT_TRUE(contains(r.lines[1], ",B,s2,ann,2026-12-01T10:00:00.000Z,2026-12-01T10:00:00.000Z,"
                                   "pass,1,"))
      << r.lines[1];

  // The acknowledgement of s1's push lost: its runs go again, and the
  // server keeps the one copy of each it has.
  sqlite3 *db = nullptr;
  sqlite3_open("s1.db", &db);
  EXPECT_EQ(sqlite3_exec(db, "UPDATE runs SET pushed = NULL", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  r = trnctl({"records", "--db", "s1.db", "push", "--push", url});
  EXPECT_EQ(r.out, "4 pushed, 0 waiting\n") << r.err;
  EXPECT_EQ(server_->column("SELECT COUNT(*) || ' ' || (SELECT COUNT(*) FROM steps) FROM runs",
                            "line_yield"),
            std::vector<std::string>{"10 30"});

  // An id that is not UTF-8 (a scanner's stray byte) goes, its byte
  // replaced, rather than stop every later run of the station.
  record(*rec::open_store("s1.db", rec::OpenMode::Existing),
         make_run("SN\xff" "1", "s1", rec::utc_now(), rec::kPass));
  r = trnctl({"records", "--db", "s1.db", "push", "--push", url});
  EXPECT_EQ(r.out, "1 pushed, 0 waiting\n") << r.err;
  EXPECT_EQ(server_->column("SELECT COUNT(*) FROM runs WHERE dut = 'SN\uFFFD1'", "line_yield"),
            std::vector<std::string>{"1"});
}

// Three pushes at once into a new database: two stations' files, one of
// them pushed twice (two stations sharing a file).  The schema is made
// once, every run arrives once with its steps, and a station's runs arrive
// in the order it recorded them.
TEST_F(Line, StationsPushAtOnce) {
  const std::string url = fresh_database("line_together");
  constexpr int kRuns = 150;
  std::vector<std::string> b_order;
  for (const char *station : {"a", "b"}) {
    auto store = rec::open_store(std::string(station) + ".db", rec::OpenMode::Create);
    for (int i = 0; i < kRuns; ++i) {
      const std::string dut = std::string(station) + std::to_string(i % 40);
      record(*store, make_run(dut, station, rec::utc_now(), i % 4 ? rec::kPass : rec::kFail,
                              {"ring"}));
      if (*station == 'b') b_order.push_back(dut);
    }
  }
  Result pushes[3];
  const char *files[3] = {"a.db", "b.db", "a.db"};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i)
    threads.emplace_back(
        [&, i] { pushes[i] = trnctl({"records", "--db", files[i], "push", "--push", url}); });
  for (auto &t : threads) t.join();
  for (const Result &p : pushes) {
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_TRUE(contains(p.out, " pushed, 0 waiting\n")) << p.out;
  }
  EXPECT_EQ(pushes[1].out, "150 pushed, 0 waiting\n");
  EXPECT_GE(std::stoi(pushes[0].out) + std::stoi(pushes[2].out), kRuns);
  EXPECT_EQ(server_->column("SELECT COUNT(DISTINCT id) || ' ' || COUNT(*) || ' ' || "
                            "(SELECT COUNT(*) FROM steps) FROM runs", "line_together"),
            std::vector<std::string>{"300 300 900"});
  EXPECT_EQ(server_->column("SELECT dut FROM runs WHERE station = 'b' ORDER BY seq",
                            "line_together"),
            b_order);
  EXPECT_EQ(server_->column("SELECT version FROM records_schema_version", "line_together"),
            std::vector<std::string>{"3"});
}

}  // namespace
