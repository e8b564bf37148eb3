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

#include "columns.h"
#include "conninfo.h"
#include "database.h"
#include "libpq.h"
#include "lookup.h"
#include "server.h"
#include "sql.h"
#include "text.h"

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
  for (std::string_view rest(in); !rest.empty();) {
    char32_t cp;
    const size_t n = trn::utf8_sequence(rest, &cp);
    if (n) {
      out.append(rest.substr(0, n));
    } else {
      out += "\xef\xbf\xbd";
    }
    rest.remove_prefix(n ? n : 1);
  }
  return out;
}

// Values as libpq takes them: texts, a NULL a null pointer.
class Values {
 public:
  explicit Values(const Params &p) {
    for (const Params::Value &v : p.values())
      texts_.push_back(v.type == Params::Value::Number ? std::to_string(v.number) : utf8(v.text));
    for (size_t i = 0; i < texts_.size(); ++i)
      pointers_.push_back(p.values()[i].type == Params::Value::Null ? nullptr : texts_[i].c_str());
  }
  int size() const { return static_cast<int>(pointers_.size()); }
  const char *const *data() const { return pointers_.data(); }

 private:
  std::vector<std::string> texts_;
  std::vector<const char *> pointers_;
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

// One row of a result.
class PgRow : public Row {
 public:
  PgRow(const PGresult *r, int row) : r_(r), row_(row) {}
  bool null(int c) const override { return pq().PQgetisnull(r_, row_, c) != 0; }
  std::string text(int c) const override {
    return std::string(pq().PQgetvalue(r_, row_, c),
                       static_cast<size_t>(pq().PQgetlength(r_, row_, c)));
  }
  long long number(int c) const override {
    return std::strtoll(pq().PQgetvalue(r_, row_, c), nullptr, 10);
  }

 private:
  const PGresult *r_;
  int row_;
};

class Connection : public Database {
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
  ~Connection() override { close(); }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  // One statement with its parameters.
  Result exec(const std::string &text, const Params &p = Params()) {
    const Values values(p);
    if (!conn_) throw StoreError("the connection was closed");
    if (!pq().PQsendQueryParams(conn_, text.c_str(), values.size(), nullptr, values.data(),
                                nullptr, nullptr, 0))
      throw StoreError(first_line(pq().PQerrorMessage(conn_)));
    return finish();
  }
  void query(const std::string &text, const Params &p, const EachRow &each) override {
    const Result r = exec(text, p);
    for (int i = 0; i < r.rows(); ++i) each(PgRow(r.get(), i));
  }
  // Statements without parameters, separated by semicolons.
  void script(const std::string &text) override {
    if (!conn_) throw StoreError("the connection was closed");
    if (!pq().PQsendQuery(conn_, text.c_str()))
      throw StoreError(first_line(pq().PQerrorMessage(conn_)));
    finish();
  }
  // A read-only transaction sees one state of the database for all its
  // queries.
  const char *begin_text(bool write) const override {
    return write ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";
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
      refuse(exists() ? version() : 0, true);
    });
  }

  std::vector<Run> list(const Filter &f, bool with_steps) override {
    return guarded([&] { return list_runs(*c_, f, with_steps); });
  }
  std::vector<Run> show(const std::string &key) override {
    return guarded([&] { return show_runs(*c_, key); });
  }
  YieldInput yield_input(const YieldFilter &f) override {
    return guarded([&] { return read_yield_input(*c_, f); });
  }

  std::string change_stamp() override {
    return guarded([&] {
      std::string stamp;
      c_->query(sql::kServerStamp, Params(), [&stamp](const Row &row) { stamp = row.text(0); });
      return stamp;
    });
  }

  int upload(const std::vector<Run> &runs, const std::string &pushed_at) override {
    if (runs.empty()) return 0;
    return guarded([&] {
      Transaction t(*c_, true);
      std::set<std::string> added;
      insert_rows(sql::upload_runs(), sql::upload_row_size(), runs.size(), sql::kUploadRunsEnd,
                  [&](size_t i, Params &p) { bind_run(p, runs[i]); p.text(pushed_at); },
                  [&](const Row &row) { added.insert(row.text(0)); });
      // The steps of the runs that were new; those of a run already there
      // came with it.
      std::vector<std::pair<const Run *, size_t>> steps;
      for (const Run &r : runs)
        if (added.count(r.id))
          for (size_t i = 0; i < r.steps.size(); ++i) steps.emplace_back(&r, i);
      insert_rows(sql::insert_steps(), sql::step_row_size(), steps.size(), "",
                  [&](size_t i, Params &p) {
                    const Run &r = *steps[i].first;
                    bind_step(p, r.id, static_cast<int>(steps[i].second) + 1,
                              r.steps[steps[i].second]);
                  },
                  [](const Row &) {});
      t.commit();
      return static_cast<int>(added.size());
    });
  }

 private:
  // Rows of many-row INSERTs, as few statements as the parameter limit
  // allows; fill(i, params) gives row i's values, each(row) sees each row
  // the statements return.
  template <class Fill>
  void insert_rows(const std::string &head, int columns, size_t count, const char *tail,
                   Fill fill, const EachRow &each) {
    const size_t per_statement = static_cast<size_t>(kMaxParams / columns);
    for (size_t from = 0; from < count; from += per_statement) {
      const size_t n = std::min(per_statement, count - from);
      std::string text = head;
      Params p;
      for (size_t i = 0; i < n; ++i) {
        text += (i ? ", " : "") + sql::values_row(static_cast<int>(i) * columns + 1, columns);
        fill(from + i, p);
      }
      c_->query(text + tail, p, each);
    }
  }

  int version() {
    Result r = c_->exec(std::string("SELECT MAX(version) FROM ") + kVersionTable);
    if (r.rows() == 0 || pq().PQgetisnull(r.get(), 0, 0)) return 0;
    return std::atoi(pq().PQgetvalue(r.get(), 0, 0));
  }

  void refuse(int v, bool read_only) const {
    const std::string problem = sql::version_problem(v, read_only);
    if (!problem.empty()) throw StoreError(problem);
  }

  bool exists() {
    Params name;
    name.text(kVersionTable);
    Result r = c_->exec("SELECT to_regclass($1) IS NOT NULL", name);
    return r.rows() && pq().PQgetvalue(r.get(), 0, 0)[0] == 't';
  }

  // A current schema is only read (a reader may not create tables); one to
  // make or migrate is, under a lock, by one connection at a time, each
  // waiting its turn and reading the version again once it has the lock.
  void migrate() {
    if (exists()) {
      const int v = version();
      refuse(v, false);
      if (v == sql::kSchemaVersion) return;
    }
    Transaction t(*c_, true);
    Params lock;
    lock.number(kSchemaLock);
    c_->exec("SELECT pg_advisory_xact_lock($1)", lock);
    c_->script(std::string("CREATE TABLE IF NOT EXISTS ") + kVersionTable +
               " (version INTEGER NOT NULL)");
    int v = version();
    refuse(v, false);
    for (; v < sql::kSchemaVersion; ++v) c_->script(sql::migration(v, sql::Dialect::Postgres));
    Params to;
    to.number(v);
    c_->script(std::string("DELETE FROM ") + kVersionTable);
    c_->exec(std::string("INSERT INTO ") + kVersionTable + " (version) VALUES ($1)", to);
    t.commit();
  }

  // Runs body and returns what it returns; an error names the database.
  template <class Body>
  auto guarded(Body body) -> decltype(body()) {
    try {
      return body();
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
