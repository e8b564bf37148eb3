// One unit tested from end to end: its run begun in the records database
// (with its try), the plan run by the engine, the run finished there, and
// the push to the line's database handed over.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine.h"
#include "store.h"

namespace trn::station {

// A station's records database, open for recording.
class Records {
 public:
  // Opens the database (made when missing; empty path: the default one) and
  // closes as aborted the runs of this station left open by processes that
  // have ended.  Throws trn::records::StoreError.
  Records(const std::string &path, const std::string &station);
  // Runs closed as aborted when it was opened.
  int abandoned() const { return abandoned_; }
  trn::records::LocalStore &store() { return *store_; }

  // When the unit's latest run here ended without putting the board's
  // settings back (its restore step did not pass), the settings it saved
  // are the unit's own: the next run restores those.  Off for a bench that
  // gives one id to several boards.
  bool restore_from_record = true;

 private:
  std::unique_ptr<trn::records::LocalStore> store_;
  int abandoned_ = 0;
};

struct UnitResult {
  std::string not_recorded;  // why the finished run could not be recorded; empty when it was
};

// Tests one unit: gives run its id and start, begins it in records (when
// given; throws trn::records::StoreError when it cannot, before anything is
// sent), runs the engine (its save step kept in records before the first
// write; the settings of a run cut short restored), finishes the run there
// and hands the result over (for the push, and to tell a run that could not
// be recorded).  The caller has set who, what and the options.
// The settings the unit's latest run before this one saved and never put
// back, if any (following runs that restored an earlier one's in turn).
std::optional<EarlierSave> earlier_save(trn::records::LocalStore &store, const std::string &dut,
                                        const std::string &run_id);

UnitResult test_unit(Engine &engine, trn::records::Run &run, Records *records,
                     const std::function<void(const UnitResult &)> &handover = nullptr);

}  // namespace trn::station
