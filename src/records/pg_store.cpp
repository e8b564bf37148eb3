// The line's database through libpq.  Statements always go with their values
// as parameters, never with text pasted in.  libpq (and the libraries it
// brings: TLS, Kerberos, LDAP) is loaded when a server is first used, not
// when trnctl starts: every other command starts as fast and stays as small
// as without it.  The connection is non-blocking
// and every wait polls its socket against a deadline (the push budget, the
// connect and answer limits) and the stop flag, so that a server or network
// that stops answering costs a station a bounded time; a connection that
// overran is closed, and the server rolls back what it had not committed.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "conninfo.h"
#include "libpq.h"
#include "lookup.h"
#include "rows.h"
#include "server.h"
#include "sql.h"

namespace trn::records {

namespace {

// The schema's version lives in a table of one row.
const char *const kVersionTable = "records_schema_version";
// Held while a database's schema is made or migrated: one station at a time.
constexpr long long kSchemaLock = 0x74726e7265637331LL;
// At most this many parameters in one statement (the protocol allows 65535).
constexpr int kMaxParams = 30000;

// Text as the server takes it: UTF-8, each byte that is not part of a
// well-formed sequence replaced by U+FFFD, as the records' JSON does.  A
// station's file keeps any bytes (a scanner's odd id, a device name); sent
// as they are, the server would refuse the run, and every later one would
// wait behind it.
std::string utf8(const std::string &in) {
  std::string out;
  out.reserve(in.size());
  const auto *b = reinterpret_cast<const unsigned char *>(in.data());
  for (size_t i = 0, n = in.size(); i < n;) {
    const unsigned c = b[i];
    const size_t len = c < 0x80           ? 1
                       : (c >> 5) == 0x6  ? 2
                       : (c >> 4) == 0xe  ? 3
                       : (c >> 3) == 0x1e ? 4
                                          : 0;
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) ok = (b[i + k] & 0xc0) == 0x80;
    if (ok && len > 1) {
      // No overlong forms, no surrogates, nothing past U+10FFFF.
      unsigned cp = c & (0x7f >> len);
      for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (b[i + k] & 0x3f);
      ok = cp >= (len == 2 ? 0x80u : len == 3 ? 0x800u : 0x10000u) && cp <= 0x10ffff &&
           (cp < 0xd800 || cp > 0xdfff);
    }
    if (ok) {
      out.append(in, i, len);
      i += len;
    } else {
      out += "\xef\xbf\xbd";
      ++i;
    }
  }
  return out;
}

// Values for $1, $2 ...; a NULL is a null pointer.
class Params {
 public:
  Params &text(const std::string &v, bool null_if_empty = false) {
    if (null_if_empty && v.empty()) return null();
    values_.push_back(utf8(v));
    null_.push_back(false);
    return *this;
  }
  Params &number(long long v) { return text(std::to_string(v)); }
  Params &null() {
    values_.emplace_back();
    null_.push_back(true);
    return *this;
  }
  Params &json(const Json &v) {
    return v.is_null() ? null() : text(v.dump(-1, ' ', false, Json::error_handler_t::replace));
  }
  int size() const { return static_cast<int>(values_.size()); }
  std::vector<const char *> pointers() const {
    std::vector<const char *> p;
    for (size_t i = 0; i < values_.size(); ++i)
      p.push_back(null_[i] ? nullptr : values_[i].c_str());
    return p;
  }

 private:
  std::vector<std::string> values_;
  std::vector<bool> null_;
};

// A query's rows, owned.
class Result {
 public:
  explicit Result(PGresult *r = nullptr) : r_(r) {}
  ~Result() {
    if (r_) pq().PQclear(r_);
  }
  Result(Result &&o) noexcept : r_(o.r_) { o.r_ = nullptr; }
  Result &operator=(Result &&o) noexcept {
    std::swap(r_, o.r_);
    return *this;
  }
  int rows() const { return r_ ? pq().PQntuples(r_) : 0; }
  const PGresult *get() const { return r_; }

 private:
  PGresult *r_;
};

// One row of a result, read as rows.h reads it.
struct Row {
  const PGresult *r;
  int row;
  bool column_null(int c) const { return pq().PQgetisnull(r, row, c) != 0; }
  std::string column_text(int c) const {
    return std::string(pq().PQgetvalue(r, row, c),
                       static_cast<size_t>(pq().PQgetlength(r, row, c)));
  }
  long long column_number(int c) const {
    return std::strtoll(pq().PQgetvalue(r, row, c), nullptr, 10);
  }
  Json column_json(int c) const { return json_of_text(column_text(c), column_null(c)); }
};

class Connection {
 public:
  Connection(const std::string &conninfo, const ServerLimits &limits) : limits_(limits) {
    // The time to connect includes looking the host names up (lookup.h).
    const auto until = std::min(limits_.deadline, after(limits_.connect_s));
    const std::string hostaddr = host_addresses(conninfo, until, limits_.stop);
    // The string's own words come first; trnctl's name unless it gives one,
    // and UTF-8 whatever the database's encoding.
    const char *keys[] = {"dbname", "fallback_application_name", "client_encoding", "hostaddr",
                          nullptr};
    const char *values[] = {conninfo.c_str(), "trnctl", "UTF8", hostaddr.c_str(), nullptr};
    conn_ = pq().PQconnectStartParams(keys, values, 1);
    if (!conn_) throw StoreError("out of memory");
    // Notices ("already exists, skipping") are nobody's business.
    pq().PQsetNoticeProcessor(conn_, [](void *, const char *) {}, nullptr);
    PostgresPollingStatusType st = PGRES_POLLING_WRITING;
    while (pq().PQstatus(conn_) != CONNECTION_BAD && st != PGRES_POLLING_OK &&
           st != PGRES_POLLING_FAILED) {
      wait(st == PGRES_POLLING_READING ? POLLIN : POLLOUT, until, "while connecting");
      st = pq().PQconnectPoll(conn_);
    }
    if (pq().PQstatus(conn_) != CONNECTION_OK) {
      const std::string why = first_line(pq().PQerrorMessage(conn_));
      close();
      throw StoreError(why);
    }
    if (pq().PQsetnonblocking(conn_, 1) != 0) {
      close();
      throw StoreError("cannot use a non-blocking connection");
    }
  }
  ~Connection() { close(); }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  // One statement with its parameters.
  Result exec(const std::string &text, const Params &p = Params()) {
    const std::vector<const char *> values = p.pointers();
    if (!conn_) throw StoreError("the connection was closed");
    if (!pq().PQsendQueryParams(conn_, text.c_str(), p.size(), nullptr, values.data(),
                                nullptr, nullptr, 0))
      throw StoreError(first_line(pq().PQerrorMessage(conn_)));
    return finish();
  }
  // Statements without parameters, separated by semicolons.
  void script(const std::string &text) {
    if (!conn_) throw StoreError("the connection was closed");
    if (!pq().PQsendQuery(conn_, text.c_str()))
      throw StoreError(first_line(pq().PQerrorMessage(conn_)));
    finish();
  }

 private:
  SteadyClock::time_point after(double s) const {
    if (s <= 0) return SteadyClock::time_point::max();
    return SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                    std::chrono::duration<double>(s));
  }

  // Waits until the socket is ready for events, in slices short enough to
  // see the stop flag.  A wait that runs out closes the connection.
  void wait(short events, SteadyClock::time_point until, const char *what) {
    for (;;) {
      if (limits_.stop && limits_.stop->load()) {
        close();
        throw StoreError("interrupted");
      }
      const auto now = SteadyClock::now();
      if (now >= until) {
        close();
        throw StoreError(std::string("no answer in time ") + what);
      }
      const long long left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
      pollfd p = {pq().PQsocket(conn_), events, 0};
      const int n = poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
      if (n > 0) return;
      if (n < 0 && errno != EINTR) {
        close();
        throw StoreError(std::string("poll: ") + std::strerror(errno));
      }
    }
  }

  // Sends what is queued, then collects every result of the query; the
  // first error is thrown once the connection is ready for the next one.
  Result finish() {
    const auto until = std::min(limits_.deadline, after(limits_.answer_s));
    for (int f; (f = pq().PQflush(conn_)) != 0;) {
      if (f < 0) throw StoreError(first_line(pq().PQerrorMessage(conn_)));
      wait(POLLIN | POLLOUT, until, "to a query");
      if (!pq().PQconsumeInput(conn_)) throw StoreError(first_line(pq().PQerrorMessage(conn_)));
    }
    Result last;
    std::string error;
    for (;;) {
      while (pq().PQisBusy(conn_)) {
        wait(POLLIN, until, "to a query");
        if (!pq().PQconsumeInput(conn_)) throw StoreError(first_line(pq().PQerrorMessage(conn_)));
      }
      PGresult *r = pq().PQgetResult(conn_);
      if (!r) break;
      const ExecStatusType st = pq().PQresultStatus(r);
      if (error.empty() && st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
        const char *primary = pq().PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
        error = first_line(primary ? primary : pq().PQresultErrorMessage(r));
      }
      last = Result(r);
    }
    if (!error.empty()) throw StoreError(error);
    return last;
  }

  void close() {
    if (conn_) pq().PQfinish(conn_);
    conn_ = nullptr;
  }

  ServerLimits limits_;
  PGconn *conn_ = nullptr;
};

class PgStore : public ServerStore {
 public:
  PgStore(const std::string &conninfo, const ServerLimits &limits, bool read_only)
      : name_(conninfo) {
    guarded([&] {
      c_ = std::make_unique<Connection>(conninfo, limits);
      if (!read_only) return migrate();
      c_->script("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY");
      const int v = exists() ? version() : 0;
      if (v == 0) throw StoreError("no records tables (schema version 0)");
      if (v != sql::kSchemaVersion)
        throw StoreError("schema version " + std::to_string(v) + " is " +
                         (v < sql::kSchemaVersion ? "older" : "newer") + " than this trnctl's (" +
                         std::to_string(sql::kSchemaVersion) + ")");
    });
  }

  std::vector<Run> list(const Filter &f, bool with_steps) override {
    std::vector<Run> runs;
    guarded([&] {
      Transaction t(*c_, true);
      const sql::ListQuery q = sql::list_where(!f.dut.empty(), !f.station.empty(),
                                               !f.since.empty(), !f.outcome.empty(),
                                               !f.until.empty());
      Params p;
      for (const std::string *v : {&f.dut, &f.station, &f.since, &f.outcome, &f.until})
        if (!v->empty()) p.text(*v);
      Result r = c_->exec(std::string("SELECT ") + sql::kRunColumns + " FROM runs r" + q.where +
                              sql::kNewestFirst,
                          p);
      for (int i = 0; i < r.rows(); ++i) runs.push_back(read_run(Row{r.get(), i}));
      if (with_steps)
        add_steps(runs, " FROM steps s JOIN runs r ON r.id = s.run_id" + q.where +
                            sql::kNewestFirst + ", s.pos",
                  p);
      t.commit();
    });
    return runs;
  }

  std::vector<Run> show(const std::string &key) override {
    std::vector<Run> runs;
    guarded([&] {
      Transaction t(*c_, true);
      Params p;
      p.text(key);
      Result r = c_->exec(std::string("SELECT ") + sql::kRunColumns + " FROM runs r" +
                          sql::kShowWhere, p);
      for (int i = 0; i < r.rows(); ++i) runs.push_back(read_run(Row{r.get(), i}));
      // A unit's few runs, each by its key.
      for (Run &run : runs) {
        Params id;
        id.text(run.id);
        Result st = c_->exec(std::string("SELECT ") + sql::kStepColumns + sql::kRunSteps, id);
        for (int i = 0; i < st.rows(); ++i) run.steps.push_back(read_step(Row{st.get(), i}));
      }
      t.commit();
    });
    return runs;
  }

  YieldInput yield_input(const YieldFilter &filter) override {
    YieldInput in;
    const std::string until = filter.until.empty() ? sql::kNoUntil : filter.until;
    guarded([&] {
      Transaction t(*c_, true);
      Params up_to;
      up_to.text(until);
      Result r = c_->exec(sql::kYieldRuns, up_to);
      in.runs.reserve(static_cast<size_t>(r.rows()));
      for (int i = 0; i < r.rows(); ++i) {
        const Row row{r.get(), i};
        in.runs.push_back({row.column_text(0), row.column_text(1), row.column_text(2),
                           row.column_text(3)});
      }
      Params p;
      p.text(filter.since).text(until);
      Result f = c_->exec(sql::kYieldFailedSteps, p);
      for (int i = 0; i < f.rows(); ++i) {
        const Row row{f.get(), i};
        in.failed_steps.emplace_back(row.column_text(0), row.column_text(1));
      }
      t.commit();
    });
    return in;
  }

  std::string change_stamp() override {
    std::string stamp;
    guarded([&] {
      Result r = c_->exec(sql::kServerStamp);
      stamp = r.rows() ? Row{r.get(), 0}.column_text(0) : "";
    });
    return stamp;
  }

  int upload(const std::vector<Run> &runs, const std::string &pushed_at) override {
    int fresh = 0;
    if (runs.empty()) return 0;
    guarded([&] {
      Transaction t(*c_);
      std::set<std::string> added;
      insert_rows(sql::kUploadRuns, sql::kUploadRunColumns, runs.size(), sql::kUploadRunsEnd,
                  [&](size_t i, Params &p) {
                    const Run &r = runs[i];
                    p.text(r.id).text(r.dut).text(r.station).text(r.operator_name).text(r.tool);
                    p.text(r.version).number(r.plan).text(r.started).text(r.ended, true);
                    p.text(r.outcome).number(r.try_number);
                    p.json(r.options.is_null() ? Json::object() : r.options);
                    p.text(r.device, true).text(r.board, true).text(r.model, true);
                    p.text(r.firmware, true);
                    if (r.duration_ms < 0)
                      p.null();
                    else
                      p.number(r.duration_ms);
                    p.number(r.passed).number(r.planned).text(r.reason, true).text(pushed_at);
                  },
                  [&](const Result &r) {
                    for (int i = 0; i < r.rows(); ++i) added.insert(Row{r.get(), i}.column_text(0));
                  });
      // The steps of the runs that were new; those of a run already there
      // came with it.
      std::vector<std::pair<const Run *, size_t>> steps;
      for (const Run &r : runs)
        if (added.count(r.id))
          for (size_t i = 0; i < r.steps.size(); ++i) steps.emplace_back(&r, i);
      insert_rows(sql::kUploadSteps, sql::kUploadStepColumns, steps.size(), "",
                  [&](size_t i, Params &p) {
                    const Run &r = *steps[i].first;
                    const Step &st = r.steps[steps[i].second];
                    p.text(r.id).number(static_cast<long long>(steps[i].second) + 1);
                    p.text(st.name).text(st.outcome).number(st.start_ms).number(st.ms);
                    p.json(st.written).json(st.read).number(st.tries).text(st.why, true);
                  },
                  [](const Result &) {});
      t.commit();
      fresh = static_cast<int>(added.size());
    });
    return fresh;
  }

 private:
  // A transaction, rolled back unless committed.  A read-only one sees one
  // state of the database for all its queries.
  class Transaction {
   public:
    explicit Transaction(Connection &c, bool read_only = false) : c_(c) {
      c_.script(read_only ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY" : "BEGIN");
    }
    ~Transaction() {
      if (!done_) try {
          c_.script("ROLLBACK");
        } catch (const StoreError &) {
        }
    }
    void commit() {
      c_.script("COMMIT");
      done_ = true;
    }

   private:
    Connection &c_;
    bool done_ = false;
  };

  // Rows of many-row INSERTs, as few statements as the parameter limit
  // allows; fill(i, params) gives row i's values, got(result) sees what
  // each statement returned.
  template <class Fill, class Got>
  void insert_rows(const char *head, int columns, size_t count, const char *tail, Fill fill,
                   Got got) {
    const size_t per_statement = static_cast<size_t>(kMaxParams / columns);
    for (size_t from = 0; from < count; from += per_statement) {
      const size_t n = std::min(per_statement, count - from);
      std::string text = head;
      Params p;
      for (size_t i = 0; i < n; ++i) {
        text += (i ? ", " : "") + sql::values_row(static_cast<int>(i) * columns + 1, columns);
        fill(from + i, p);
      }
      got(c_->exec(text + tail, p));
    }
  }

  // The steps of runs, read in the runs' own order.
  void add_steps(std::vector<Run> &runs, const std::string &from_where, const Params &p) {
    Result r = c_->exec(std::string("SELECT ") + sql::kStepColumns + from_where, p);
    size_t at = 0;
    for (int i = 0; i < r.rows(); ++i) {
      const Row row{r.get(), i};
      const std::string id = row.column_text(0);
      while (at < runs.size() && runs[at].id != id) ++at;
      if (at == runs.size()) throw StoreError("steps out of order with their runs");
      runs[at].steps.push_back(read_step(row));
    }
  }

  int version() {
    Result r = c_->exec(std::string("SELECT MAX(version) FROM ") + kVersionTable);
    if (r.rows() == 0 || pq().PQgetisnull(r.get(), 0, 0)) return 0;
    return std::atoi(pq().PQgetvalue(r.get(), 0, 0));
  }

  void refuse_newer(int v) const {
    if (v > sql::kSchemaVersion)
      throw StoreError("schema version " + std::to_string(v) + " is newer than this trnctl's (" +
                       std::to_string(sql::kSchemaVersion) + ")");
  }

  // A current schema is only read (a reader may not create tables); one to
  // make or migrate is, under a lock, by one connection at a time, each
  // waiting its turn and reading the version again once it has the lock.
  bool exists() {
    Params name;
    name.text(kVersionTable);
    Result r = c_->exec("SELECT to_regclass($1) IS NOT NULL", name);
    return r.rows() && pq().PQgetvalue(r.get(), 0, 0)[0] == 't';
  }

  void migrate() {
    if (exists()) {
      const int v = version();
      refuse_newer(v);
      if (v == sql::kSchemaVersion) return;
    }
    Transaction t(*c_);
    Params lock;
    lock.number(kSchemaLock);
    c_->exec("SELECT pg_advisory_xact_lock($1)", lock);
    c_->script(std::string("CREATE TABLE IF NOT EXISTS ") + kVersionTable +
               " (version INTEGER NOT NULL)");
    int v = version();
    refuse_newer(v);
    for (; v < sql::kSchemaVersion; ++v) c_->script(sql::migration(v, sql::Dialect::Postgres));
    Params to;
    to.number(v);
    c_->script(std::string("DELETE FROM ") + kVersionTable);
    c_->exec(std::string("INSERT INTO ") + kVersionTable + " (version) VALUES ($1)", to);
    t.commit();
  }

  // Runs body; an error names the database.
  template <class Body>
  void guarded(Body body) {
    try {
      body();
    } catch (const StoreError &e) {
      throw StoreError(redacted(name_) + ": " + redact_text(e.what(), name_));
    }
  }

  std::string name_;
  std::unique_ptr<Connection> c_;
};

}  // namespace

std::unique_ptr<ServerStore> connect_server(const std::string &conninfo,
                                            const ServerLimits &limits, bool read_only) {
  return std::make_unique<PgStore>(conninfo, limits, read_only);
}

}  // namespace trn::records
