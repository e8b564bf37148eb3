// The made-up runs of records_util.h in a station's SQLite file, filled in
// one transaction through the records' own statements: for the benchmarks
// that need a full file.
#pragma once

#include <sqlite3.h>

#include <string>

#include "columns.h"
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
  const std::string insert_step =
      rec::sql::insert_steps() + rec::sql::values_row(1, rec::sql::step_row_size());
  sqlite3_prepare_v2(db, rec::sql::begin_run().c_str(), -1, &begin, nullptr);
  sqlite3_prepare_v2(db, rec::sql::finish_run().c_str(), -1, &finish, nullptr);
  sqlite3_prepare_v2(db, insert_step.c_str(), -1, &step, nullptr);
  // The values the store binds, by their names ($1 is not always the first
  // one in the text); then the statement, once.
  auto run = [](sqlite3_stmt *s, const rec::Params &p) {
    int n = 0;
    for (const rec::Params::Value &v : p.values()) {
      const int i = sqlite3_bind_parameter_index(s, ("$" + std::to_string(++n)).c_str());
      if (v.type == rec::Params::Value::Null)
        sqlite3_bind_null(s, i);
      else if (v.type == rec::Params::Value::Number)
        sqlite3_bind_int64(s, i, v.number);
      else
        sqlite3_bind_text(s, i, v.text.c_str(), -1, SQLITE_TRANSIENT);
    }
    while (sqlite3_step(s) == SQLITE_ROW) {
    }
    sqlite3_reset(s);
  };
  make_line(runs, [&](const rec::Run &r) {
    rec::Params b;
    rec::bind_run(b, r, rec::kAtBegin);
    run(begin, b.text("bench 1 1"));
    rec::Params f;
    rec::bind_run(f.text(r.id), r, rec::kAtFinish);
    run(finish, f);
    int pos = 0;
    for (const rec::Step &st : r.steps) {
      rec::Params sp;
      rec::bind_step(sp, r.id, ++pos, st);
      run(step, sp);
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
