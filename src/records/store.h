// Where runs are kept.  A Store is one open database: runs are inserted when
// they start and completed when they end, and read back for `trnctl
// records`.  The local store is SQLite; a shared server can implement the
// same interface with the same tables (see sql.h) and the same yield
// computation (yield.h).
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
};

class Store {
 public:
  virtual ~Store() = default;

  // Inserts run as open (no outcome, no end) and sets run.try_number to the
  // number of earlier runs of run.dut in this database + 1, in the same
  // transaction.  run.id and run.started must be set.
  virtual void begin(Run &run) = 0;
  // Completes the run begun with this id, with its steps, in one
  // transaction: outcome, reason, end, duration, device, board, model,
  // firmware, options, counts.
  virtual void finish(const Run &run) = 0;
  // Closes as aborted the runs of this station still open whose process is
  // gone (it ended without completing them: a crash, a power loss, a kill).
  // Runs of a process still running (another station of the same name on
  // this machine) stay open.  Returns how many were closed.
  virtual int close_abandoned(const std::string &station) = 0;

  // Runs, newest first, without their steps (or with them when steps).
  virtual std::vector<Run> list(const Filter &f, bool steps) = 0;
  // The run with this id, or every run of this DUT, oldest first, with steps.
  virtual std::vector<Run> show(const std::string &id_or_dut) = 0;
  // What compute_yield() needs: completed runs in start-time order, and the
  // failed steps of the fail runs that started since (empty: all).
  virtual YieldInput yield_input(const std::string &since) = 0;
};

enum class OpenMode {
  Create,    // for recording: the file and, for the default place, its folders are made
  Existing,  // for queries: a missing file is an error
};

// The default database: $XDG_DATA_HOME/trnctl/records.db, or
// ~/.local/share/trnctl/records.db.
std::string default_database();

// Opens the database at where (a file path; empty for the default one),
// bringing its schema up to date.  Throws StoreError.
std::unique_ptr<Store> open_store(const std::string &where, OpenMode mode);

// "2026-12-08" or "2026-12-08T10:15[:02]" (UTC, a trailing Z allowed) as the
// text runs' start times are compared with; false when it is neither.
bool parse_since(const std::string &text, std::string *normalised);

}  // namespace trn::records
