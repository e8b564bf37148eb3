// `trnctl station --web`: the station's page.  One to eight fixtures, each a
// slot with its own port, engine and thread, tested at once; the operator
// scans, answers and aborts from a browser on the station PC.  The slots,
// their prompts, verdicts and histories live here, and every open page is
// told of each change through the event stream.
#pragma once

#include <functional>
#include <string>

#include "cli.h"
#include "engine.h"
#include "record.h"
#include "station.h"

namespace trnctl {

// What the terminal station and the page share, worked out from the
// arguments once.
struct StationSetup {
  trn::station::EngineOptions engine;
  trn::records::Json options;  // each run's options (the fixture's name is added)
  std::string station, operator_name, line_db;
  std::string dut_pattern;                          // as given, for messages
  std::function<bool(const std::string &)> matches;  // the id against --dut-pattern
  bool json = false;                                 // each run's record on standard output
};

// Serves the page until SIGINT, SIGTERM or SIGHUP (130, every running slot
// aborted and recorded).  Throws Failure: 2 for a wrong argument, 1 for a
// database that cannot be used or a run that cannot be recorded (the other
// slots aborted first).
int run_station_web(const Options &o, const StationArgs &a, const StationSetup &setup);

}  // namespace trnctl
