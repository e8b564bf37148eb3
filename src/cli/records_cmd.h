// `trnctl records`: the recorded runs, listed, shown whole, their yield, and
// the runs waiting to be pushed to the line's database.  With it, what
// `station` and `selftest` share about the line's database.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "push.h"

namespace trnctl {

struct RecordsArgs {
  std::string db;  // empty: the default database
  std::string dut, station, since, until, outcome;
  bool json = false, csv = false;
  std::string key;  // show: a run id or a DUT id
  std::string by;   // yield: "", day or station
  std::string push_url;  // push: --push
  CLI::App *records = nullptr, *show = nullptr, *yield = nullptr, *push = nullptr;
};

// Adds the command and its subcommands (show, yield, push) to app; their
// values land in args.
CLI::App *add_records_command(CLI::App &app, RecordsArgs &args);

// Runs what was parsed; json is trnctl's own --json.  Returns the exit
// status or throws Failure.
int run_records(const RecordsArgs &args, bool json);

// The line's database to push to: the --push value when the option was
// given, else TRN_RECORDS_URL, else "" (no pushing).  Throws Failure (usage)
// when it is no connection string or holds a password.
std::string line_database(const std::string &push, bool given);

// Throws Failure (usage) when the --db of station or selftest names a
// server: runs are recorded in a local file and pushed from there.
void check_local_db(const std::string &db);

// What the operator hears of a push attempt, one line for standard error
// without "trnctl: ", or "" for nothing: a failure (the runs wait), a
// budget used up, and the first attempt that went after a failure.
std::string push_message(const trn::records::PushReport &report, bool after_failure);

}  // namespace trnctl
