// Yield over recorded runs, computed the same way whichever database the
// runs come from: the store hands over the completed runs in start-time
// order and the failed steps of its fail runs, and the figures are made here.
//
// - Only pass and fail runs decide yield.  A unit (DUT id) with none of them
//   is not counted among the units.
// - A unit's first-pass result is its first pass/fail run, its final result
//   its last.  It belongs to the group (UTC day, or station) of its first
//   pass/fail run; retests are its pass/fail runs after that first one, and
//   its fail runs count towards the group's top failures.
// - error and aborted runs are counted apart, in the group of the run itself
//   (its own day or station), whether or not its unit has a pass/fail run: a
//   fixture fault belongs to the station and the time where it happened.
// - The filter: runs started after until are ignored, as if not recorded
//   yet; then, of the runs left, only units whose first pass/fail run started
//   at since or later, at the station given, and only error and aborted runs
//   that started then and there.  A station's figures are those of its
//   group when grouped by station.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "record.h"

namespace trn::records {

// Empty texts filter nothing.  since as parse_since() gives it, until as
// parse_until() does.
struct YieldFilter {
  std::string since, until, station;
};

struct YieldRun {
  std::string dut, station, started, outcome;
};

struct YieldInput {
  std::vector<YieldRun> runs;  // completed runs, in start-time order
  // (DUT id, step name) for each failed step of each fail run: a unit's fail
  // runs all count in its group, so the unit is enough.
  std::vector<std::pair<std::string, std::string>> failed_steps;
};

enum class GroupBy { All, Day, Station };

struct YieldGroup {
  std::string group;  // "all", a day "2026-12-08", or a station
  int units = 0;
  int first_pass = 0;  // units whose first pass/fail run passed
  int final_pass = 0;  // units whose last pass/fail run passed
  int retests = 0;
  int errors = 0;
  int aborted = 0;
  std::vector<std::pair<std::string, int>> failures;  // every failed step, most first
  std::vector<std::pair<std::string, int>> top_failures;  // the first five of them

  // Fractions from 0 to 1; negative when there are no units.
  double first_pass_yield() const { return units ? double(first_pass) / units : -1; }
  double final_yield() const { return units ? double(final_pass) / units : -1; }
};

// The groups in order (days and stations sorted; GroupBy::All always gives
// the one group "all", even over no runs).
std::vector<YieldGroup> compute_yield(const YieldInput &in, GroupBy by, const YieldFilter &f);

// {"group", "units", "first_pass_yield", "final_yield", "retests", "errors",
// "aborted", "top_failures": [{"step", "count"}]}; the yields are null when
// the group has no units.
Json to_json(const YieldGroup &g);

}  // namespace trn::records
