// The made-up runs of records_util.h in a station's SQLite file, filled in
// one transaction through the records' own statements: for the benchmarks
// that need a full file.
#pragma once

#include <sqlite3.h>

#include <string>

#include "records_util.h"
#include "sql.h"
#include "store.h"

namespace {

// Fills the file in one transaction through the records' own statements.
bool fill(const std::string &path, long runs) {
  rec::open_store(path, rec::OpenMode::Create);  // the schema
  sqlite3 *db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  sqlite3_exec(db, "PRAGMA synchronous = OFF; BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt *begin = nullptr, *finish = nullptr, *step = nullptr;
  sqlite3_prepare_v2(db, rec::sql::kBeginRun, -1, &begin, nullptr);
  sqlite3_prepare_v2(db, rec::sql::kFinishRun, -1, &finish, nullptr);
  sqlite3_prepare_v2(db, rec::sql::kInsertStep, -1, &step, nullptr);
  // Parameters by their names ($1 is not always the first one in the text).
  auto at = [](sqlite3_stmt *s, int n) {
    return sqlite3_bind_parameter_index(s, ("$" + std::to_string(n)).c_str());
  };
  auto text = [&at](sqlite3_stmt *s, int n, const std::string &v) {
    sqlite3_bind_text(s, at(s, n), v.c_str(), -1, SQLITE_TRANSIENT);
  };
  auto number = [&at](sqlite3_stmt *s, int n, long long v) { sqlite3_bind_int64(s, at(s, n), v); };
  make_line(runs, [&](const rec::Run &r) {
    const std::string options = r.options.dump();
    text(begin, 1, r.id);
    text(begin, 2, r.dut);
    text(begin, 3, r.station);
    text(begin, 4, r.operator_name);
    text(begin, 5, "bench 1 1");
    text(begin, 6, r.tool);
    text(begin, 7, r.version);
    number(begin, 8, r.plan);
    text(begin, 9, r.started);
    text(begin, 10, options);
    text(begin, 11, r.device);
    while (sqlite3_step(begin) == SQLITE_ROW) {
    }
    sqlite3_reset(begin);
    text(finish, 1, r.id);
    text(finish, 2, r.ended);
    text(finish, 3, r.outcome);
    number(finish, 4, r.duration_ms);
    text(finish, 5, options);
    text(finish, 6, r.device);
    text(finish, 7, r.board);
    text(finish, 8, r.model);
    text(finish, 9, r.firmware);
    number(finish, 10, r.passed);
    number(finish, 11, r.planned);
    if (r.reason.empty())
      sqlite3_bind_null(finish, at(finish, 12));
    else
      text(finish, 12, r.reason);
    sqlite3_step(finish);
    sqlite3_reset(finish);
    int pos = 0;
    for (const rec::Step &st : r.steps) {
      text(step, 1, r.id);
      number(step, 2, ++pos);
      text(step, 3, st.name);
      text(step, 4, st.outcome);
      number(step, 5, st.start_ms);
      number(step, 6, st.ms);
      text(step, 7, st.written.dump());
      text(step, 8, st.read.dump());
      number(step, 9, st.tries);
      if (st.why.empty())
        sqlite3_bind_null(step, at(step, 10));
      else
        text(step, 10, st.why);
      sqlite3_step(step);
      sqlite3_reset(step);
    }
  });
  sqlite3_finalize(begin);
  sqlite3_finalize(finish);
  sqlite3_finalize(step);
  bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  // Every run completed, every step there.
  sqlite3_stmt *count = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT (SELECT COUNT(*) FROM runs WHERE outcome IS NOT NULL), "
                     "(SELECT COUNT(*) FROM steps)",
                     -1, &count, nullptr);
  ok = ok && sqlite3_step(count) == SQLITE_ROW && sqlite3_column_int64(count, 0) == runs &&
       sqlite3_column_int64(count, 1) == runs * kStepCount;
  sqlite3_finalize(count);
  sqlite3_close(db);
  return ok;
}

}  // namespace
