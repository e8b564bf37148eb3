// The record of one test run of one unit (DUT): who tested what, where, with
// which tool and plan, when, what the board said about itself, every planned
// step with what was written and read, and the outcome.  One shape for the
// database, `trnctl records` and the JSON file a self-test writes.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace trn::records {

// Objects keep their keys in the order they were added.
using Json = nlohmann::ordered_json;

// Run outcomes.  A run still going (or whose process died) has none yet.
inline constexpr const char *kPass = "pass";
inline constexpr const char *kFail = "fail";
inline constexpr const char *kError = "error";      // the fixture or port, not the unit
inline constexpr const char *kAborted = "aborted";  // interrupted, or found open later
// Step outcomes: pass, fail, or skipped (planned, never run).
inline constexpr const char *kSkipped = "skipped";

bool is_run_outcome(const std::string &outcome);

struct Step {
  std::string name;
  std::string outcome;  // pass, fail, skipped
  long start_ms = 0;    // from the start of the run
  long ms = 0;          // how long it took
  Json written;         // null when the step wrote nothing
  Json read;            // null when it read nothing
  int tries = 0;        // exchange tries, all exchanges of the step together
  std::string why;      // empty when it passed
};

struct Run {
  std::string id;  // UUID
  std::string dut;
  std::string station;
  std::string operator_name;
  std::string tool = "trnctl";
  std::string version;
  int plan = 0;          // test-plan version: raised whenever the steps change
  std::string started;   // UTC, ISO 8601 with milliseconds
  std::string ended;     // empty while open, and for a run closed as aborted later
  Json options = Json::object();  // the options the run was given
  std::string device;
  std::string board;     // the identifier reply's bytes, hex
  std::string model;
  std::string firmware;
  std::string outcome;   // empty while open
  std::string reason;    // why it ended early or failed as a whole; empty when it ran to its end
  int try_number = 0;    // 1 for the DUT's first run in the database, 2 for the next ...
  long duration_ms = -1; // -1: unknown
  int passed = 0;        // steps that passed
  int planned = 0;       // steps planned
  std::vector<Step> steps;
};

// A fresh version 4 UUID, "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx".
std::string new_run_id();
// Now in UTC: "2026-12-08T10:15:02.345Z".
std::string utc_now();

// The record as JSON: every key always there, null where it does not apply.
Json to_json(const Run &run);
Json to_json(const Step &step);

// The runs as CSV (without their steps), one line at a time without its
// line break: a header, then a line per run.  A text cell is quoted when it
// holds a comma, a quote or a line break, and one that a spreadsheet would
// take for a formula (starting with = + - @ TAB or CR) starts with ' inside
// it; numbers are as they are.
void write_csv(const std::vector<Run> &runs, const std::function<void(const std::string &)> &line);

}  // namespace trn::records
