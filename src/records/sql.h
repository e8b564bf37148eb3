// The records' tables and statements, written once for every database that
// keeps them: plain SQL that SQLite and PostgreSQL both take, parameters as
// $1, $2 ... (SQLite binds them by those names), times as ISO 8601 text in
// UTC, which sorts as time, and JSON values as text.  The station's SQLite
// file and the line's PostgreSQL database have the same tables.
#pragma once

#include <string>
#include <utility>

namespace trn::records::sql {

// Schema migrations in order: kMigrations[n] brings a database from version
// n to n + 1.  "@SEQ@" stands for the database's own auto-numbered primary
// key (the order runs were inserted in, which breaks ties of start times);
// "@KEYED@" ends a table that the database may store in its primary key's
// order alone, without a second copy of the key (SQLite's WITHOUT ROWID);
// "@TIME@" is a time's text type, compared byte by byte whatever the
// database's language (PostgreSQL's COLLATE "C").
inline const char *const kMigrations[] = {
    // Version 1: runs and their steps.  A run is open while its outcome is
    // NULL; owner is "host pid start-time" of the process that opened it.
    R"sql(
CREATE TABLE IF NOT EXISTS runs (
  seq @SEQ@,
  id TEXT NOT NULL UNIQUE,
  dut TEXT NOT NULL,
  station TEXT NOT NULL,
  operator TEXT NOT NULL,
  owner TEXT,
  tool TEXT NOT NULL,
  version TEXT NOT NULL,
  plan INTEGER NOT NULL,
  started @TIME@ NOT NULL,
  ended TEXT,
  outcome TEXT CHECK (outcome IN ('pass', 'fail', 'error', 'aborted')),
  try INTEGER NOT NULL,
  options TEXT NOT NULL,
  device TEXT,
  board TEXT,
  model TEXT,
  firmware TEXT,
  duration_ms INTEGER,
  passed INTEGER NOT NULL DEFAULT 0,
  planned INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS runs_dut ON runs (dut, started);
CREATE INDEX IF NOT EXISTS runs_started ON runs (started);
CREATE INDEX IF NOT EXISTS runs_outcome ON runs (outcome, started);
CREATE INDEX IF NOT EXISTS runs_open ON runs (station) WHERE outcome IS NULL;
CREATE TABLE IF NOT EXISTS steps (
  run_id TEXT NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
  pos INTEGER NOT NULL,
  name TEXT NOT NULL,
  outcome TEXT NOT NULL CHECK (outcome IN ('pass', 'fail', 'skipped')),
  start_ms INTEGER NOT NULL,
  ms INTEGER NOT NULL,
  written TEXT,
  read TEXT,
  tries INTEGER NOT NULL,
  why TEXT,
  PRIMARY KEY (run_id, pos)
) @KEYED@;
)sql",
    // Version 2: why a run ended early or failed as a whole (a port that
    // could not be opened, a hang-up, an interrupt, a board that is not a
    // Q742).
    R"sql(
ALTER TABLE runs ADD COLUMN reason TEXT;
)sql",
    // Version 3: when the run reached the line's database (UTC, ISO 8601).
    // In a station's file, NULL marks a run still waiting to be pushed (its
    // outbox); on the server, it is when the run arrived.  And the failed
    // steps by run, which yield reads: a line's database holds millions of
    // steps, few of them failed.
    R"sql(
ALTER TABLE runs ADD COLUMN pushed TEXT;
CREATE INDEX IF NOT EXISTS runs_unpushed ON runs (seq) WHERE pushed IS NULL AND outcome IS NOT NULL;
CREATE INDEX IF NOT EXISTS steps_failed ON steps (run_id, name) WHERE outcome = 'fail';
)sql",
};
inline constexpr int kSchemaVersion = sizeof kMigrations / sizeof kMigrations[0];

enum class Dialect { Sqlite, Postgres };

// kMigrations[from] with its tokens in the dialect's words.
inline std::string migration(int from, Dialect d) {
  const bool pg = d == Dialect::Postgres;
  const std::pair<const char *, const char *> words[] = {
      {"@SEQ@", pg ? "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY" : "INTEGER PRIMARY KEY"},
      {"@KEYED@", pg ? "" : "WITHOUT ROWID"},
      {"@TIME@", pg ? "TEXT COLLATE \"C\"" : "TEXT"},
  };
  std::string text = kMigrations[from];
  for (const auto &w : words)
    for (size_t at; (at = text.find(w.first)) != std::string::npos;)
      text.replace(at, std::string(w.first).size(), w.second);
  return text;
}

// The try is counted in the statement that inserts the run.
inline const char *const kBeginRun = R"sql(
INSERT INTO runs (id, dut, station, operator, owner, tool, version, plan, started, options,
                  device, try)
VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11,
        (SELECT COUNT(*) + 1 FROM runs WHERE dut = $2))
RETURNING try
)sql";

inline const char *const kFinishRun = R"sql(
UPDATE runs SET ended = $2, outcome = $3, duration_ms = $4, options = $5, device = $6,
                board = $7, model = $8, firmware = $9, passed = $10, planned = $11,
                reason = $12
WHERE id = $1 AND outcome IS NULL
)sql";

inline const char *const kInsertStep = R"sql(
INSERT INTO steps (run_id, pos, name, outcome, start_ms, ms, written, read, tries, why)
VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)
)sql";

inline const char *const kOpenRuns =
    "SELECT id, owner FROM runs WHERE station = $1 AND outcome IS NULL";
inline const char *const kAbortRun =
    "UPDATE runs SET outcome = 'aborted', reason = 'found open: the process running it had "
    "ended' WHERE id = $1 AND outcome IS NULL";

// The columns of a whole run, in the order read_run() reads them, for
// "SELECT <kRunColumns> FROM runs r ...".
inline const char *const kRunColumns =
    "r.id, r.dut, r.station, r.operator, r.tool, r.version, r.plan, r.started, r.ended, "
    "r.outcome, r.try, r.options, r.device, r.board, r.model, r.firmware, r.duration_ms, "
    "r.passed, r.planned, r.reason";
inline const char *const kStepColumns =
    "s.run_id, s.name, s.outcome, s.start_ms, s.ms, s.written, s.read, s.tries, s.why";

// A listing's WHERE clause: only the filters given, each bound in turn.
struct ListQuery {
  std::string where;  // "" or " WHERE ..."
  int params = 0;
};
inline ListQuery list_where(bool dut, bool station, bool since, bool outcome, bool until) {
  ListQuery q;
  auto add = [&q](bool on, const char *test) {
    if (!on) return;
    q.where += q.params ? " AND " : " WHERE ";
    q.where += std::string(test) + " $" + std::to_string(++q.params);
  };
  add(dut, "r.dut =");
  add(station, "r.station =");
  add(since, "r.started >=");
  add(outcome, "r.outcome =");
  add(until, "r.started <=");
  return q;
}
inline const char *const kNewestFirst = " ORDER BY r.started DESC, r.seq DESC";

inline const char *const kShowWhere = " WHERE r.id = $1 OR r.dut = $1 ORDER BY r.started, r.seq";
inline const char *const kRunSteps =
    " FROM steps s WHERE s.run_id = $1 ORDER BY s.pos";

// The outbox: completed runs not yet pushed, in the order they were
// inserted, and marking one pushed.
inline const char *const kUnpushedWhere =
    " WHERE r.pushed IS NULL AND r.outcome IS NOT NULL ORDER BY r.seq LIMIT $1";
inline const char *const kUnpushedCount =
    "SELECT COUNT(*) FROM runs WHERE pushed IS NULL AND outcome IS NOT NULL";
inline const char *const kMarkPushed = "UPDATE runs SET pushed = $2 WHERE id = $1";

// A completed run as the line's database receives it: every column a
// record has, the station's own try, when it arrived.  kUploadRunColumns
// values per run, in this order; a run already there is left as it is.
inline const char *const kUploadRuns =
    "INSERT INTO runs (id, dut, station, operator, tool, version, plan, started, ended, "
    "outcome, try, options, device, board, model, firmware, duration_ms, passed, planned, "
    "reason, pushed) VALUES ";
inline constexpr int kUploadRunColumns = 21;
inline const char *const kUploadRunsEnd = " ON CONFLICT (id) DO NOTHING RETURNING id";
inline const char *const kUploadSteps =
    "INSERT INTO steps (run_id, pos, name, outcome, start_ms, ms, written, read, tries, why) "
    "VALUES ";
inline constexpr int kUploadStepColumns = 10;

// "($first, $first+1, ... $first+n-1)": one row of a many-row VALUES list.
inline std::string values_row(int first, int n) {
  std::string row = "(";
  for (int i = 0; i < n; ++i) row += (i ? ", $" : "$") + std::to_string(first + i);
  return row + ")";
}

// Yield's runs up to $1 and failed steps from $1 to $2; an empty until
// is bound as a text past every time ("~" sorts after the digits).
inline const char *const kYieldRuns = R"sql(
SELECT dut, station, started, outcome FROM runs
WHERE outcome IS NOT NULL AND started <= $1 ORDER BY started, seq
)sql";
inline const char *const kYieldFailedSteps = R"sql(
SELECT r.dut, s.name FROM runs r JOIN steps s ON s.run_id = r.id
WHERE r.outcome = 'fail' AND s.outcome = 'fail' AND r.started >= $1 AND r.started <= $2
)sql";
inline const char *const kNoUntil = "~";

// What changes when runs are added or completed (a server's runs arrive
// completed and are never changed: the last one is enough).
inline const char *const kLocalStamp = "SELECT COUNT(*), COUNT(outcome), MAX(seq) FROM runs";
inline const char *const kServerStamp = "SELECT MAX(seq) FROM runs";

}  // namespace trn::records::sql
