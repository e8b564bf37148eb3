#include "database.h"

#include "columns.h"
#include "sql.h"

namespace trn::records {

Json Row::json(int c) const {
  if (null(c)) return Json();
  const std::string t = text(c);
  Json v = Json::parse(t, nullptr, false);
  return v.is_discarded() ? Json(t) : v;
}

namespace {

const std::string &select_runs() {
  static const std::string text = "SELECT " + sql::run_columns() + " FROM runs r";
  return text;
}

void add_run(std::vector<Run> &runs, const Row &row) { runs.push_back(read_run(row)); }

// The steps of a few runs, each run's by its key.
void add_steps_by_run(Database &db, std::vector<Run> &runs) {
  const std::string text = "SELECT " + sql::step_columns() + sql::kRunSteps;
  for (Run &r : runs) {
    Params id;
    id.text(r.id);
    db.query(text, id, [&r](const Row &row) { r.steps.push_back(read_step(row)); });
  }
}

}  // namespace

std::vector<Run> list_runs(Database &db, const Filter &f, bool with_steps) {
  std::vector<Run> runs;
  Transaction t(db, false);  // the runs and their steps from one snapshot
  const sql::ListQuery q = sql::list_where(!f.dut.empty(), !f.station.empty(), !f.since.empty(),
                                           !f.outcome.empty(), !f.until.empty());
  Params p;
  for (const std::string *v : {&f.dut, &f.station, &f.since, &f.outcome, &f.until})
    if (!v->empty()) p.text(*v);
  db.query(select_runs() + q.where + sql::kNewestFirst, p,
           [&runs](const Row &row) { add_run(runs, row); });
  if (with_steps) {
    // One pass over the steps in the runs' own order, rather than a query
    // per run.
    size_t at = 0;
    db.query("SELECT " + sql::step_columns() + " FROM steps s JOIN runs r ON r.id = s.run_id" +
                 q.where + sql::kNewestFirst + ", s.pos",
             p, [&](const Row &row) {
               const std::string id = row.text(0);
               while (at < runs.size() && runs[at].id != id) ++at;
               if (at == runs.size()) throw StoreError("steps out of order with their runs");
               runs[at].steps.push_back(read_step(row));
             });
  }
  t.commit();
  return runs;
}

std::vector<Run> show_runs(Database &db, const std::string &key) {
  std::vector<Run> runs;
  Transaction t(db, false);
  Params p;
  p.text(key);
  db.query(select_runs() + sql::kShowWhere, p, [&runs](const Row &row) { add_run(runs, row); });
  add_steps_by_run(db, runs);
  t.commit();
  return runs;
}

YieldInput read_yield_input(Database &db, const YieldFilter &f) {
  YieldInput in;
  const std::string until = f.until.empty() ? sql::kNoUntil : f.until;
  Transaction t(db, false);  // one snapshot for both queries
  Params up_to;
  up_to.text(until);
  db.query(sql::kYieldRuns, up_to, [&in](const Row &row) {
    in.runs.push_back({row.text(0), row.text(1), row.text(2), row.text(3)});
  });
  Params period;
  period.text(f.since).text(until);
  db.query(sql::kYieldFailedSteps, period,
           [&in](const Row &row) { in.failed_steps.emplace_back(row.text(0), row.text(1)); });
  t.commit();
  return in;
}

std::vector<Run> unpushed_runs(Database &db, int limit) {
  std::vector<Run> runs;
  Transaction t(db, false);
  Params p;
  p.number(limit);
  db.query(select_runs() + sql::kUnpushedWhere, p, [&runs](const Row &row) { add_run(runs, row); });
  add_steps_by_run(db, runs);
  t.commit();
  return runs;
}

}  // namespace trn::records
