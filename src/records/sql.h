// The records' tables and statements, written once for every database that
// keeps them: plain SQL that SQLite and PostgreSQL both take, parameters as
// $1, $2 ... (SQLite binds them by those names), times as ISO 8601 text in
// UTC, which sorts as time, and JSON values as text.  The station's SQLite
// file and the line's PostgreSQL database have the same tables.  The
// statements that name a run's or a step's columns are made from their
// declaration (columns.h).
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

// Why a database whose schema is at version v cannot be used, "" when it
// can: a newer schema never; an older one only when it may be migrated
// (not by a reader that must change nothing).
inline std::string version_problem(int v, bool read_only) {
  const std::string ours = " than this trnctl's (" + std::to_string(kSchemaVersion) + ")";
  if (v > kSchemaVersion) return "schema version " + std::to_string(v) + " is newer" + ours;
  if (!read_only || v == kSchemaVersion) return "";
  if (v == 0) return "no records tables (schema version 0)";
  return "schema version " + std::to_string(v) + " is older" + ours +
         ": a trnctl that records or reads it may bring it up to date";
}

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

inline const char *const kOpenRuns =
    "SELECT id, owner FROM runs WHERE station = $1 AND outcome IS NULL";
inline const char *const kAbortRun =
    "UPDATE runs SET outcome = 'aborted', reason = 'found open: the process running it had "
    "ended' WHERE id = $1 AND outcome IS NULL";

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
// A run already on the line's database is left as it is.
inline const char *const kUploadRunsEnd = " ON CONFLICT (id) DO NOTHING RETURNING id";

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

// What changes when runs arrive on the server: they arrive completed and
// are never changed, so the last one is enough.
inline const char *const kServerStamp = "SELECT MAX(seq) FROM runs";

}  // namespace trn::records::sql
