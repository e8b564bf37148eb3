// The local store: one SQLite file that several stations on one machine
// share.  WAL lets readers go on while a station writes, the busy timeout
// makes a writer wait its turn instead of failing, and synchronous=FULL makes
// a committed run survive a power loss.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pwd.h>
#include <sstream>

#include "conninfo.h"
#include "rows.h"
#include "sql.h"
#include "store.h"

namespace trn::records {

namespace {

constexpr int kBusyTimeoutMs = 10000;

// One prepared statement; parameters are bound by their names $1, $2 ...
class Stmt {
 public:
  Stmt(sqlite3 *db, const std::string &text) : db_(db) {
    if (sqlite3_prepare_v2(db, text.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
      throw StoreError(std::string("cannot prepare a statement: ") + sqlite3_errmsg(db));
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt &) = delete;
  Stmt &operator=(const Stmt &) = delete;

  // Empty text binds NULL when null_if_empty.
  Stmt &text(int n, const std::string &value, bool null_if_empty = false) {
    int i = index(n);
    check(null_if_empty && value.empty()
              ? sqlite3_bind_null(stmt_, i)
              : sqlite3_bind_text(stmt_, i, value.data(), static_cast<int>(value.size()),
                                  SQLITE_TRANSIENT));
    return *this;
  }
  Stmt &number(int n, long long value) {
    check(sqlite3_bind_int64(stmt_, index(n), value));
    return *this;
  }
  Stmt &null(int n) {
    check(sqlite3_bind_null(stmt_, index(n)));
    return *this;
  }
  // A JSON value as text; null binds NULL.
  Stmt &json(int n, const Json &value) {
    return value.is_null() ? null(n)
                           : text(n, value.dump(-1, ' ', false, Json::error_handler_t::replace));
  }

  // True while there is a row.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError(sqlite3_errmsg(db_));
  }
  void run() {
    while (step()) {
    }
  }
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  std::string column_text(int c) const {
    const unsigned char *t = sqlite3_column_text(stmt_, c);
    return t ? std::string(reinterpret_cast<const char *>(t),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, c)))
             : std::string();
  }
  long long column_number(int c) const { return sqlite3_column_int64(stmt_, c); }
  bool column_null(int c) const { return sqlite3_column_type(stmt_, c) == SQLITE_NULL; }
  Json column_json(int c) const { return json_of_text(column_text(c), column_null(c)); }

 private:
  int index(int n) const {
    const std::string name = "$" + std::to_string(n);
    int i = sqlite3_bind_parameter_index(stmt_, name.c_str());
    if (i == 0) throw StoreError("statement has no parameter " + name);
    return i;
  }
  void check(int rc) const {
    if (rc != SQLITE_OK) throw StoreError(std::string("cannot bind: ") + sqlite3_errmsg(db_));
  }
  sqlite3 *db_;
  sqlite3_stmt *stmt_ = nullptr;
};

// The process that opens a run: "host pid start-time".  The start time (in
// clock ticks since boot) tells a live process from a later one that got the
// same pid.
std::string process_start_time(long pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%ld/stat", pid);
  std::ifstream f(path);
  std::string line;
  if (!std::getline(f, line)) return "";
  // Field 22; the command name (field 2) may hold spaces, so count from its ')'.
  size_t close = line.rfind(')');
  if (close == std::string::npos) return "";
  std::istringstream rest(line.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22 && rest >> field; ++i) {
  }
  return field;
}

std::string host_name() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return host;
}

std::string own_tag() {
  return host_name() + " " + std::to_string(getpid()) + " " + process_start_time(getpid());
}

// Whether the process named by an owner tag may still be running.  A process
// on another machine cannot be looked at: its runs are left alone.
bool owner_alive(const std::string &tag) {
  std::istringstream in(tag);
  std::string host, start;
  long pid = 0;
  if (!(in >> host >> pid >> start)) return false;
  if (host != host_name()) return true;
  return process_start_time(pid) == start;
}

// A run's steps kept while it was open (keep_step), replaced when it ends.
const char *const kForgetKeptSteps = "DELETE FROM steps WHERE run_id = $1";
// A unit's latest run but one.
const char *const kLatestRun =
    "SELECT id FROM runs WHERE dut = $1 AND id <> $2 ORDER BY started DESC, seq DESC LIMIT 1";

class SqliteStore : public LocalStore {
 public:
  SqliteStore(const std::string &path, OpenMode mode) : path_(path) {
    const bool read_only = mode == OpenMode::ReadOnly;
    int flags = read_only ? SQLITE_OPEN_READONLY
                          : SQLITE_OPEN_READWRITE | (mode == OpenMode::Create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      if (mode != OpenMode::Create && access(path.c_str(), F_OK) != 0)
        throw StoreError(path + ": no such database");
      throw StoreError(path + ": " + why);
    }
    try {
      sqlite3_extended_result_codes(db_, 1);
      sqlite3_busy_timeout(db_, kBusyTimeoutMs);
      if (read_only) {
        exec("PRAGMA query_only = ON");
        require_current();
      } else {
        use_wal();
        exec("PRAGMA synchronous = FULL");
        exec("PRAGMA foreign_keys = ON");
        migrate();
      }
    } catch (const StoreError &e) {
      sqlite3_close(db_);
      throw StoreError(path + ": " + e.what());
    }
  }
  ~SqliteStore() override { sqlite3_close(db_); }

  void begin(Run &run) override {
    Stmt s(db_, sql::kBeginRun);
    s.text(1, run.id).text(2, run.dut).text(3, run.station).text(4, run.operator_name);
    s.text(5, own_tag()).text(6, run.tool).text(7, run.version).number(8, run.plan);
    s.text(9, run.started).json(10, run.options.is_null() ? Json::object() : run.options);
    s.text(11, run.device, true);
    guarded([&] {
      if (!s.step()) throw StoreError("the run was not inserted");
      run.try_number = static_cast<int>(s.column_number(0));
      s.run();
    });
  }

  void finish(const Run &run) override {
    guarded([&] {
      Transaction t(*this);
      Stmt u(db_, sql::kFinishRun);
      u.text(1, run.id).text(2, run.ended, true).text(3, run.outcome);
      if (run.duration_ms < 0)
        u.null(4);
      else
        u.number(4, run.duration_ms);
      u.json(5, run.options.is_null() ? Json::object() : run.options);
      u.text(6, run.device, true).text(7, run.board, true).text(8, run.model, true);
      u.text(9, run.firmware, true).number(10, run.passed).number(11, run.planned);
      u.text(12, run.reason, true);
      u.run();
      if (sqlite3_changes(db_) != 1) throw StoreError("no open run " + run.id);
      // The steps kept while the run was open give way to the whole list.
      Stmt kept(db_, kForgetKeptSteps);
      kept.text(1, run.id).run();
      Stmt st(db_, sql::kInsertStep);
      int pos = 0;
      for (const Step &step : run.steps) {
        st.text(1, run.id).number(2, ++pos).text(3, step.name).text(4, step.outcome);
        st.number(5, step.start_ms).number(6, step.ms).json(7, step.written).json(8, step.read);
        st.number(9, step.tries).text(10, step.why, true);
        st.run();
        st.reset();
      }
      t.commit();
    });
  }

  int close_abandoned(const std::string &station) override {
    int closed = 0;
    guarded([&] {
      Transaction t(*this);
      std::vector<std::string> gone;
      Stmt open(db_, sql::kOpenRuns);
      open.text(1, station);
      while (open.step())
        if (!owner_alive(open.column_text(1))) gone.push_back(open.column_text(0));
      Stmt abort(db_, sql::kAbortRun);
      for (const std::string &id : gone) {
        abort.text(1, id).run();
        closed += sqlite3_changes(db_);
        abort.reset();
      }
      t.commit();
    });
    return closed;
  }

  void keep_step(const std::string &run_id, int pos, const Step &step) override {
    guarded([&] {
      Transaction t(*this);
      Stmt st(db_, sql::kInsertStep);
      st.text(1, run_id).number(2, pos).text(3, step.name).text(4, step.outcome);
      st.number(5, step.start_ms).number(6, step.ms).json(7, step.written).json(8, step.read);
      st.number(9, step.tries).text(10, step.why, true);
      st.run();
      t.commit();
    });
  }

  std::string latest_run(const std::string &dut, const std::string &except) override {
    std::string id;
    guarded([&] {
      Stmt s(db_, kLatestRun);
      s.text(1, dut).text(2, except);
      if (s.step()) id = s.column_text(0);
    });
    return id;
  }

  std::vector<Run> list(const Filter &f, bool with_steps) override {
    std::vector<Run> runs;
    guarded([&] {
      Transaction t(*this, false);  // the runs and their steps from one snapshot
      const sql::ListQuery q = sql::list_where(!f.dut.empty(), !f.station.empty(),
                                               !f.since.empty(), !f.outcome.empty(),
                                               !f.until.empty());
      auto bind = [&f](Stmt &s) {
        int n = 0;
        for (const std::string *v : {&f.dut, &f.station, &f.since, &f.outcome, &f.until})
          if (!v->empty()) s.text(++n, *v);
      };
      Stmt s(db_, std::string("SELECT ") + sql::kRunColumns + " FROM runs r" + q.where +
                      sql::kNewestFirst);
      bind(s);
      while (s.step()) runs.push_back(read_run(s));
      if (!with_steps) return t.commit();
      // One pass over the steps in the same order, rather than a query per run.
      Stmt st(db_, std::string("SELECT ") + sql::kStepColumns +
                       " FROM steps s JOIN runs r ON r.id = s.run_id" + q.where +
                       sql::kNewestFirst + ", s.pos");
      bind(st);
      size_t i = 0;
      while (st.step()) {
        const std::string id = st.column_text(0);
        while (i < runs.size() && runs[i].id != id) ++i;
        if (i == runs.size()) throw StoreError("steps out of order with their runs");
        runs[i].steps.push_back(read_step(st));
      }
      t.commit();
    });
    return runs;
  }

  std::vector<Run> show(const std::string &key) override {
    std::vector<Run> runs;
    guarded([&] {
      Stmt s(db_, std::string("SELECT ") + sql::kRunColumns + " FROM runs r" + sql::kShowWhere);
      s.text(1, key);
      while (s.step()) runs.push_back(read_run(s));
      Stmt st(db_, std::string("SELECT ") + sql::kStepColumns + sql::kRunSteps);
      for (Run &r : runs) {
        st.text(1, r.id);
        while (st.step()) r.steps.push_back(read_step(st));
        st.reset();
      }
    });
    return runs;
  }

  std::vector<Run> unpushed(int limit) override {
    std::vector<Run> runs;
    guarded([&] {
      Transaction t(*this, false);
      Stmt s(db_, std::string("SELECT ") + sql::kRunColumns + " FROM runs r" +
                      sql::kUnpushedWhere);
      s.number(1, limit);
      while (s.step()) runs.push_back(read_run(s));
      Stmt st(db_, std::string("SELECT ") + sql::kStepColumns + sql::kRunSteps);
      for (Run &r : runs) {
        st.text(1, r.id);
        while (st.step()) r.steps.push_back(read_step(st));
        st.reset();
      }
      t.commit();
    });
    return runs;
  }

  long unpushed_count() override {
    long n = 0;
    guarded([&] {
      Stmt s(db_, sql::kUnpushedCount);
      if (s.step()) n = static_cast<long>(s.column_number(0));
    });
    return n;
  }

  void mark_pushed(const std::vector<std::string> &ids, const std::string &when) override {
    guarded([&] {
      Transaction t(*this);
      Stmt u(db_, sql::kMarkPushed);
      for (const std::string &id : ids) {
        u.text(1, id).text(2, when).run();
        u.reset();
      }
      t.commit();
    });
  }

  YieldInput yield_input(const YieldFilter &filter) override {
    YieldInput in;
    const std::string until = filter.until.empty() ? sql::kNoUntil : filter.until;
    guarded([&] {
      Transaction t(*this, false);  // one snapshot for both queries
      Stmt s(db_, sql::kYieldRuns);
      s.text(1, until);
      while (s.step())
        in.runs.push_back({s.column_text(0), s.column_text(1), s.column_text(2),
                           s.column_text(3)});
      Stmt f(db_, sql::kYieldFailedSteps);
      f.text(1, filter.since).text(2, until);
      while (f.step()) in.failed_steps.emplace_back(f.column_text(0), f.column_text(1));
      t.commit();
    });
    return in;
  }

  // Commits of other connections change data_version, this connection's own
  // writes the count of its changes: neither reads the runs.
  std::string change_stamp() override {
    std::string stamp;
    guarded([&] {
      Stmt s(db_, "PRAGMA data_version");
      if (!s.step()) throw StoreError("no data version");
      stamp = std::to_string(s.column_number(0)) + " " +
              std::to_string(sqlite3_total_changes(db_));
    });
    return stamp;
  }

 private:
  // A transaction, rolled back unless committed.  A writing one takes the
  // write lock at once (BEGIN IMMEDIATE), so it waits in the busy handler
  // instead of failing when another station committed after it began.
  class Transaction {
   public:
    explicit Transaction(SqliteStore &s, bool write = true) : s_(s) {
      s_.exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
    }
    ~Transaction() {
      if (!done_) sqlite3_exec(s_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit() {
      s_.exec("COMMIT");
      done_ = true;
    }

   private:
    SqliteStore &s_;
    bool done_ = false;
  };

  void exec(const std::string &text) {
    char *error = nullptr;
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string why = error ? error : sqlite3_errmsg(db_);
      sqlite3_free(error);
      throw StoreError(why);
    }
  }

  // Turning a new file to WAL takes a lock that SQLite does not wait for
  // (the busy handler is not called): when two stations open a new file at
  // once, one of them tries again until the busy timeout has passed.
  void use_wal() {
    for (int waited_ms = 0;; waited_ms += 10) {
      sqlite3_stmt *st = nullptr;
      int rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode = WAL", -1, &st, nullptr);
      std::string mode;
      if (rc == SQLITE_OK) {
        rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
          const unsigned char *t = sqlite3_column_text(st, 0);
          mode = t ? reinterpret_cast<const char *>(t) : "";
        }
      }
      const std::string why = rc == SQLITE_ROW ? "cannot use write-ahead logging"
                                               : sqlite3_errmsg(db_);
      sqlite3_finalize(st);
      if (rc == SQLITE_ROW && mode == "wal") return;
      if ((rc & 0xff) != SQLITE_BUSY || waited_ms >= kBusyTimeoutMs) throw StoreError(why);
      usleep(10000);
    }
  }

  int user_version() {
    Stmt s(db_, "PRAGMA user_version");
    return s.step() ? static_cast<int>(s.column_number(0)) : 0;
  }

  // A reader that changes nothing takes only the current schema.
  void require_current() {
    const int v = user_version();
    if (v == 0) throw StoreError("not a records database (it has no schema)");
    if (v != sql::kSchemaVersion)
      throw StoreError("schema version " + std::to_string(v) + " is " +
                       (v < sql::kSchemaVersion ? "older" : "newer") + " than this trnctl's (" +
                       std::to_string(sql::kSchemaVersion) + ")" +
                       (v < sql::kSchemaVersion ? ": `trnctl records --db FILE` brings it up to date" : ""));
  }

  // Brings the schema from its version (0 for a new file) to the current one,
  // each migration with its version number in one transaction.
  void migrate() {
    int v = user_version();
    if (v == sql::kSchemaVersion) return;
    Transaction t(*this);
    v = user_version();  // another process may have migrated it meanwhile
    if (v > sql::kSchemaVersion)
      throw StoreError("schema version " + std::to_string(v) + " is newer than this trnctl's (" +
                       std::to_string(sql::kSchemaVersion) + ")");
    for (; v < sql::kSchemaVersion; ++v) {
      exec(sql::migration(v, sql::Dialect::Sqlite));
      exec("PRAGMA user_version = " + std::to_string(v + 1));
    }
    t.commit();
  }

  // Runs body; a database error names the file.
  template <class Body>
  void guarded(Body body) {
    try {
      body();
    } catch (const StoreError &e) {
      throw StoreError(path_ + ": " + e.what());
    }
  }

  std::string path_;
  sqlite3 *db_ = nullptr;
};

// mkdir -p, for the default database's folders (private, as the data folder
// should be).
void make_folders(const std::string &file) {
  for (size_t at = file.find('/', 1); at != std::string::npos; at = file.find('/', at + 1)) {
    const std::string dir = file.substr(0, at);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
      throw StoreError(dir + ": " + std::strerror(errno));
  }
}

}  // namespace

std::string default_database() {
  const char *data = getenv("XDG_DATA_HOME");
  std::string base;
  if (data && data[0] == '/') {
    base = data;
  } else {
    const char *home = getenv("HOME");
    if (!home || !*home) {
      const passwd *pw = getpwuid(getuid());
      home = pw ? pw->pw_dir : "/";
    }
    base = std::string(home) + "/.local/share";
  }
  return base + "/trnctl/records.db";
}

std::unique_ptr<LocalStore> open_store(const std::string &path, OpenMode mode) {
  if (is_server_url(path))
    throw StoreError(redacted(path) + ": runs are recorded in a local file, and pushed to the line's "
                            "database from there");
  if (path.empty() && mode == OpenMode::Create) make_folders(default_database());
  return std::make_unique<SqliteStore>(path.empty() ? default_database() : path, mode);
}

}  // namespace trn::records
