// Where runs are kept.  A Store is one open database that runs are read
// from for `trnctl records`: a station's SQLite file or the line's
// PostgreSQL database.  A LocalStore, the station's file, also records: runs
// are inserted when they start and completed when they end, and kept as its
// outbox until they have been pushed to the line's database.  Both have the
// same tables (sql.h) and give the same yield (yield.h).
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "record.h"
#include "yield.h"

namespace trn::records {

// Anything the database refused or could not do; what() says what, with the
// database's own message.
struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Filters of a listing; empty strings filter nothing.
struct Filter {
  std::string dut, station, outcome;
  std::string since;  // a UTC date or time, as normalised by parse_since()
  std::string until;  // the last millisecond it covers, as parse_until() gives it
};

// Reading.
class Store {
 public:
  virtual ~Store() = default;

  // Runs, newest first, without their steps (or with them when steps).
  virtual std::vector<Run> list(const Filter &f, bool steps) = 0;
  // The run with this id, or every run of this DUT, oldest first, with steps.
  virtual std::vector<Run> show(const std::string &id_or_dut) = 0;
  // What compute_yield() needs: completed runs that started up to f.until,
  // in start-time order, and the failed steps of the fail runs that
  // started between f.since and f.until.  Every station's runs come: a
  // unit's first run may have been at another station (compute_yield()
  // applies f.station).
  virtual YieldInput yield_input(const YieldFilter &f) = 0;

  // A text that changes whenever runs are added or completed: cheap enough
  // to ask every second.  Only texts of the same Store compare.
  virtual std::string change_stamp() = 0;
};

// A station's own database: recording, and the outbox.
class LocalStore : public Store {
 public:
  // Inserts run as open (no outcome, no end) and sets run.try_number to the
  // number of earlier runs of run.dut in this database + 1, in the same
  // transaction.  run.id and run.started must be set.
  virtual void begin(Run &run) = 0;
  // Completes the run begun with this id, with its steps, in one
  // transaction: outcome, reason, end, duration, device, board, model,
  // firmware, options, counts.
  virtual void finish(const Run &run) = 0;
  // Closes as aborted the runs of this station still open whose process is
  // known to be gone (it ended without completing them: a crash, a power
  // loss, a kill).  Runs of a process still running (another station of the
  // same name on this machine) stay open, and so do those whose process
  // cannot be looked at (another machine's, or /proc cannot tell): their
  // number in *undecided when given.  Returns how many were closed.
  virtual int close_abandoned(const std::string &station, int *undecided = nullptr) = 0;

  // Keeps one step of an open run (pos: its place in the run, from 1) at
  // once, in its own transaction, so that a run cut short keeps it: the
  // self-test keeps its save step before it writes to the board.  finish()
  // puts all the run's steps in place of the ones kept.
  virtual void keep_step(const std::string &run_id, int pos, const Step &step) = 0;
  // The id of the latest run of this DUT other than the one with id except
  // (empty: there is none).
  virtual std::string latest_run(const std::string &dut, const std::string &except) = 0;

  // The outbox: at most limit completed runs not yet pushed, with their
  // steps, in the order they were inserted.  Open runs wait until they end.
  virtual std::vector<Run> unpushed(int limit) = 0;
  virtual long unpushed_count() = 0;
  // Marks these runs pushed at this time (UTC, ISO 8601), in one
  // transaction.
  virtual void mark_pushed(const std::vector<std::string> &ids, const std::string &when) = 0;
};

enum class OpenMode {
  Create,    // for recording: the file and, for the default place, its folders are made
  Existing,  // for queries: a missing file is an error; an older schema is brought up to date
  ReadOnly,  // for a reader that must change nothing: the file and its schema stay as
             // they are; a missing file, or a schema other than this trnctl's, is an error
};

// The default database: $XDG_DATA_HOME/trnctl/records.db, or
// ~/.local/share/trnctl/records.db.
std::string default_database();

// Opens the SQLite file at path (empty for the default one), bringing its
// schema up to date.  Throws StoreError.
std::unique_ptr<LocalStore> open_store(const std::string &path, OpenMode mode);

// True when where names a PostgreSQL database (postgresql://... or
// postgres://...) rather than a file.
bool is_server_url(const std::string &where);

// Opens a records database to read: the line's PostgreSQL database when
// where is a server URL, else the SQLite file (which must exist).  mode
// Existing or ReadOnly (Create counts as Existing); read-only, the server is
// read in read-only transactions and its schema never made or migrated.
// Throws StoreError.
std::unique_ptr<Store> open_reader(const std::string &where,
                                   OpenMode mode = OpenMode::Existing);

// "2026-12-08" or "2026-12-08T10:15[:02]" (UTC, a trailing Z allowed) as the
// text runs' start times are compared with; false when it is neither.
bool parse_since(const std::string &text, std::string *normalised);
// The same texts as an upper bound: the last millisecond they cover, so that
// a day counts through its end ("2026-12-08" gives
// "2026-12-08T23:59:59.999Z", "2026-12-08T10:15" "2026-12-08T10:15:59.999Z").
bool parse_until(const std::string &text, std::string *last_ms);

}  // namespace trn::records
