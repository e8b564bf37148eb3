// The self-test on a terminal: `selftest` and `station` show the engine's
// events (src/station/engine.h) with this view, and add what happens around
// a run (the report file, the summary, the operator's loop).
#pragma once

#include <string>

#include "cli.h"
#include "engine.h"
#include "record.h"

namespace trnctl {

// Each step's PASS/FAIL line (on standard output for selftest, unless
// --json; on standard error for the station, for the operator), the button
// prompts and the engine's notices on standard error.
class TerminalView : public trn::station::Observer {
 public:
  TerminalView(const Options &o, bool steps_on_stdout, bool operator_present)
      : o_(o), steps_on_stdout_(steps_on_stdout), operator_present_(operator_present) {}
  // The engine the view reports to (an output that fails stops it).
  void attach(trn::station::Engine *engine) { engine_ = engine; }

  void step_finished(size_t slot, const trn::records::Step &step) override;
  void prompt(const trn::station::Prompt &p) override;
  void notice(trn::station::Notice n, const std::string &text) override;

 protected:
  const Options &o_;
  trn::station::Engine *engine_ = nullptr;

 private:
  const bool steps_on_stdout_, operator_present_;
};

// The engine's settings from trnctl's options: the port (with its frame
// trace for -v) and the timeouts.
trn::station::EngineOptions engine_options(const Options &o);

// Why a run stops when standard output cannot be written.
std::string output_failed_text();

// The defaults of --station and --operator: the host name and the login
// name.
std::string default_station();
std::string default_operator();

}  // namespace trnctl
