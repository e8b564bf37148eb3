// `trnctl station`: the production line's loop.  The operator scans each
// unit's id, the self-test runs with the operator's checks and the button
// steps, the verdict is shown large, and every run is recorded, then pushed
// to the line's database when there is one.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "cli.h"

namespace trnctl {

struct StationArgs {
  std::string db;  // empty: the default database
  std::string push;  // the line's database (--push, else TRN_RECORDS_URL); empty: none
  std::string station, operator_name;  // empty: host name, login name
  std::string dut_pattern;              // empty: any id
  bool no_visual = false;
  bool no_restore_from_record = false;  // the board's settings are the unit's own, always
  bool json = false;  // as trnctl's own --json
  std::string answer_timeout = "30", button_timeout = "10";  // seconds, checked at the start
  // --web: the page instead of the terminal (station_web.h).
  bool web = false;
  std::string listen = "127.0.0.1:8081";
  std::string token_file;
  std::vector<std::string> hosts;
  std::vector<std::string> fixtures;  // NAME=PATH
  CLI::App *command = nullptr;
};

// Adds the command and its options to app; their values land in args.
CLI::App *add_station_command(CLI::App &app, StationArgs &args);

// Runs the loop until an empty line, q or the end of input (exit status 0),
// or an interrupt (130).  Throws Failure for wrong arguments and a database
// that cannot be used.  With --web, the page instead (station_web.h).
int run_station(const Options &o, const StationArgs &args);

}  // namespace trnctl
