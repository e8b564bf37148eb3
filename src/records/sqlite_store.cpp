// The local store: one SQLite file that several stations on one machine
// share.  WAL lets readers go on while a station writes, the busy timeout
// makes a writer wait its turn instead of failing, and synchronous=FULL makes
// a committed run survive a power loss.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <pwd.h>
#include <sstream>
#include <unordered_map>

#include "columns.h"
#include "conninfo.h"
#include "database.h"
#include "sql.h"
#include "store.h"

namespace trn::records {

namespace {

constexpr int kBusyTimeoutMs = 10000;

// The SQLite backend: statements prepared once and kept for the
// connection's life (a station inserts the same few thousands of times),
// values bound by their names $1, $2 ...
class SqliteDb : public Database {
 public:
  explicit SqliteDb(sqlite3 *db) : db_(db) {}
  ~SqliteDb() override {
    for (auto &kept : kept_) sqlite3_finalize(kept.second);
  }
  SqliteDb(const SqliteDb &) = delete;
  SqliteDb &operator=(const SqliteDb &) = delete;

  void query(const std::string &text, const Params &p, const EachRow &each) override {
    // A statement already under way (a query inside another's rows) is
    // prepared again for the inner one.
    sqlite3_stmt *st = nullptr;
    auto kept = kept_.find(text);
    const bool reuse = kept != kept_.end() && kept->second;
    if (reuse) {
      st = kept->second;
      kept->second = nullptr;
    } else if (sqlite3_prepare_v2(db_, text.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      throw StoreError(std::string("cannot prepare a statement: ") + sqlite3_errmsg(db_));
    }
    struct Done {  // back to the cache, reset, whatever happens
      SqliteDb &db;
      const std::string &text;
      sqlite3_stmt *st;
      ~Done() {
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        sqlite3_stmt *&slot = db.kept_[text];
        if (slot)
          sqlite3_finalize(st);
        else
          slot = st;
      }
    } done{*this, text, st};
    bind(st, p);
    const StmtRow row(st);
    for (;;) {
      const int rc = sqlite3_step(st);
      if (rc == SQLITE_DONE) return;
      if (rc != SQLITE_ROW) throw StoreError(sqlite3_errmsg(db_));
      each(row);
    }
  }

  void script(const std::string &text) override {
    char *error = nullptr;
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string why = error ? error : sqlite3_errmsg(db_);
      sqlite3_free(error);
      throw StoreError(why);
    }
  }

  // A writing transaction takes the write lock at once (BEGIN IMMEDIATE), so
  // it waits in the busy handler instead of failing when another station
  // committed after it began.
  const char *begin_text(bool write) const override { return write ? "BEGIN IMMEDIATE" : "BEGIN"; }

 private:
  class StmtRow : public Row {
   public:
    explicit StmtRow(sqlite3_stmt *st) : st_(st) {}
    std::string text(int c) const override {
      const unsigned char *t = sqlite3_column_text(st_, c);
      return t ? std::string(reinterpret_cast<const char *>(t),
                             static_cast<size_t>(sqlite3_column_bytes(st_, c)))
               : std::string();
    }
    long long number(int c) const override { return sqlite3_column_int64(st_, c); }
    bool null(int c) const override { return sqlite3_column_type(st_, c) == SQLITE_NULL; }

   private:
    sqlite3_stmt *st_;
  };

  void bind(sqlite3_stmt *st, const Params &p) {
    int n = 0;
    for (const Params::Value &v : p.values()) {
      const std::string name = "$" + std::to_string(++n);
      const int i = sqlite3_bind_parameter_index(st, name.c_str());
      if (i == 0) throw StoreError("statement has no parameter " + name);
      const int rc = v.type == Params::Value::Null ? sqlite3_bind_null(st, i)
                     : v.type == Params::Value::Number
                         ? sqlite3_bind_int64(st, i, v.number)
                         : sqlite3_bind_text(st, i, v.text.data(), static_cast<int>(v.text.size()),
                                             SQLITE_TRANSIENT);
      if (rc != SQLITE_OK) throw StoreError(std::string("cannot bind: ") + sqlite3_errmsg(db_));
    }
  }

  sqlite3 *db_;
  std::unordered_map<std::string, sqlite3_stmt *> kept_;
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

enum class Owner { Running, Gone, Unknown };

// Whether the process named by an owner tag is still running.  A process on
// another machine cannot be looked at; one that exists but whose start time
// /proc does not give (not mounted, hidden, or not given when the run began)
// cannot be told from a later process that got the same pid.
Owner owner_state(const std::string &tag) {
  std::istringstream in(tag);
  std::string host, start;
  long pid = 0;
  if (!(in >> host >> pid) || pid <= 0 || pid > std::numeric_limits<pid_t>::max() ||
      host != host_name())
    return Owner::Unknown;
  in >> start;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return Owner::Gone;
  const std::string now = process_start_time(pid);
  if (now.empty() || start.empty()) return Owner::Unknown;
  return now == start ? Owner::Running : Owner::Gone;
}

// A new database, made before SQLite opens it: readable and writable by its
// owner and group as far as the umask allows, never by others (it holds
// operators' names).  SQLite gives its -wal and -shm files the same mode.
// An existing file, or one another station makes at the same moment, keeps
// its own; a place where no file can be made is left for SQLite to report.
void make_private_file(const std::string &path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
  if (fd >= 0) close(fd);
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
    if (mode == OpenMode::Create) make_private_file(path);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      if (mode != OpenMode::Create && access(path.c_str(), F_OK) != 0)
        throw StoreError(path + ": no such database");
      throw StoreError(path + ": " + why);
    }
    sql_ = std::make_unique<SqliteDb>(db_);
    try {
      sqlite3_extended_result_codes(db_, 1);
      sqlite3_busy_timeout(db_, kBusyTimeoutMs);
      if (read_only) {
        sql_->script("PRAGMA query_only = ON");
        require_current();
      } else {
        use_wal();
        sql_->script("PRAGMA synchronous = FULL");
        sql_->script("PRAGMA foreign_keys = ON");
        migrate();
      }
    } catch (const StoreError &e) {
      sql_.reset();
      sqlite3_close(db_);
      throw StoreError(path + ": " + e.what());
    }
  }
  ~SqliteStore() override {
    sql_.reset();
    sqlite3_close(db_);
  }

  void begin(Run &run) override {
    Params p;
    bind_run(p, run, kAtBegin);
    p.text(own_tag());
    guarded([&] {
      bool inserted = false;
      sql_->query(sql::begin_run(), p, [&](const Row &row) {
        run.try_number = static_cast<int>(row.number(0));
        inserted = true;
      });
      if (!inserted) throw StoreError("the run was not inserted");
    });
  }

  void finish(const Run &run) override {
    guarded([&] {
      if (run.outcome.empty()) throw StoreError("run " + run.id + " finished without an outcome");
      Transaction t(*sql_, true);
      Params p;
      p.text(run.id);
      bind_run(p, run, kAtFinish);
      sql_->run(sql::finish_run(), p);
      if (sqlite3_changes(db_) != 1) throw StoreError("no open run " + run.id);
      // The steps kept while the run was open give way to the whole list.
      sql_->run(kForgetKeptSteps, Params().text(run.id));
      const std::string insert = sql::insert_steps() + sql::values_row(1, sql::step_row_size());
      int pos = 0;
      for (const Step &step : run.steps) {
        Params sp;
        bind_step(sp, run.id, ++pos, step);
        sql_->run(insert, sp);
      }
      t.commit();
    });
  }

  int close_abandoned(const std::string &station, int *undecided) override {
    int closed = 0;
    if (undecided) *undecided = 0;
    guarded([&] {
      Transaction t(*sql_, true);
      std::vector<std::string> gone;
      int unknown = 0;
      Params p;
      p.text(station);
      sql_->query(sql::kOpenRuns, p, [&](const Row &row) {
        const Owner o = owner_state(row.text(1));
        if (o == Owner::Gone) gone.push_back(row.text(0));
        unknown += o == Owner::Unknown;
      });
      if (undecided) *undecided = unknown;
      for (const std::string &id : gone) {
        Params a;
        a.text(id);
        sql_->run(sql::kAbortRun, a);
        closed += sqlite3_changes(db_);
      }
      t.commit();
    });
    return closed;
  }

  void keep_step(const std::string &run_id, int pos, const Step &step) override {
    guarded([&] {
      Transaction t(*sql_, true);
      Params p;
      bind_step(p, run_id, pos, step);
      sql_->run(sql::insert_steps() + sql::values_row(1, sql::step_row_size()), p);
      t.commit();
    });
  }

  std::string latest_run(const std::string &dut, const std::string &except) override {
    return guarded([&] {
      std::string id;
      sql_->query(kLatestRun, Params().text(dut).text(except), [&](const Row &r) { id = r.text(0); });
      return id;
    });
  }

  std::vector<Run> list(const Filter &f, bool with_steps) override {
    return guarded([&] { return list_runs(*sql_, f, with_steps); });
  }
  std::vector<Run> show(const std::string &key) override {
    return guarded([&] { return show_runs(*sql_, key); });
  }
  YieldInput yield_input(const YieldFilter &f) override {
    return guarded([&] { return read_yield_input(*sql_, f); });
  }
  std::vector<Run> unpushed(int limit) override {
    return guarded([&] { return unpushed_runs(*sql_, limit); });
  }

  long unpushed_count() override {
    long n = 0;
    guarded([&] {
      sql_->query(sql::kUnpushedCount, Params(),
                  [&n](const Row &row) { n = static_cast<long>(row.number(0)); });
    });
    return n;
  }

  void mark_pushed(const std::vector<std::string> &ids, const std::string &when) override {
    guarded([&] {
      Transaction t(*sql_, true);
      for (const std::string &id : ids) {
        Params p;
        p.text(id).text(when);
        sql_->run(sql::kMarkPushed, p);
      }
      t.commit();
    });
  }

  // Commits of other connections change data_version, this connection's own
  // writes the count of its changes: neither reads the runs.
  std::string change_stamp() override {
    std::string stamp;
    guarded([&] {
      sql_->query("PRAGMA data_version", Params(), [&](const Row &row) {
        stamp = std::to_string(row.number(0)) + " " + std::to_string(sqlite3_total_changes(db_));
      });
    });
    return stamp;
  }

 private:
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
    int v = 0;
    sql_->query("PRAGMA user_version", Params(),
                [&v](const Row &row) { v = static_cast<int>(row.number(0)); });
    return v;
  }

  // A reader that changes nothing takes only the current schema.
  void require_current() {
    const std::string problem = sql::version_problem(user_version(), true);
    if (!problem.empty()) throw StoreError(problem);
  }

  // Brings the schema from its version (0 for a new file) to the current one,
  // each migration with its version number in one transaction.
  void migrate() {
    int v = user_version();
    if (v == sql::kSchemaVersion) return;
    Transaction t(*sql_, true);
    v = user_version();  // another process may have migrated it meanwhile
    const std::string problem = sql::version_problem(v, false);
    if (!problem.empty()) throw StoreError(problem);
    for (; v < sql::kSchemaVersion; ++v) {
      sql_->script(sql::migration(v, sql::Dialect::Sqlite));
      sql_->script("PRAGMA user_version = " + std::to_string(v + 1));
    }
    t.commit();
  }

  // Runs body and returns what it returns; a database error names the file.
  template <class Body>
  auto guarded(Body body) -> decltype(body()) {
    try {
      return body();
    } catch (const StoreError &e) {
      throw StoreError(path_ + ": " + e.what());
    }
  }

  std::string path_;
  sqlite3 *db_ = nullptr;
  std::unique_ptr<SqliteDb> sql_;
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
