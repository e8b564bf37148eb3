// `trnctl records`: the recorded runs, listed, shown whole, and their yield.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace trnctl {

struct RecordsArgs {
  std::string db;  // empty: the default database
  std::string dut, station, since, outcome;
  bool json = false, csv = false;
  std::string key;  // show: a run id or a DUT id
  std::string by;   // yield: "", day or station
  CLI::App *records = nullptr, *show = nullptr, *yield = nullptr;
};

// Adds the command and its two subcommands to app; their values land in args.
CLI::App *add_records_command(CLI::App &app, RecordsArgs &args);

// Runs what was parsed; json is trnctl's own --json.  Returns the exit
// status or throws Failure.
int run_records(const RecordsArgs &args, bool json);

}  // namespace trnctl
