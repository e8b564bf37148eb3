// The self-test engine that `selftest` and `station` share: the planned
// steps, running them on one board, and the run's record.  What happens
// around a run (the report file, the database, the summary, the operator's
// loop) belongs to the two commands.
#pragma once

#include <string>
#include <vector>

#include "cli.h"
#include "record.h"

namespace trnctl {

// The test plan's version, kept in every record.  Raise it whenever the
// steps change: their list, their order, what they write or what passes.
inline constexpr int kPlanVersion = 1;

// The person at the fixture, for the checks only a person can make and for
// giving up on a button step.
class Operator {
 public:
  enum class Answer { Yes, No, NoAnswer, EndOfInput, Interrupted };
  virtual ~Operator() = default;
  // Asks a yes/no question until it is answered, or until timeout_s has
  // passed since it was first asked.
  virtual Answer ask(const std::string &question, double timeout_s) = 0;
  // A descriptor to watch during a button step, -1 for none; when it has
  // input, can_not() reads it and says whether the operator gave up on the
  // step (Enter).
  virtual int give_up_fd() const = 0;
  virtual bool can_not() = 0;
  // Called before each prompt: what was typed earlier answers nothing.
  virtual void forget_typeahead() = 0;
};

struct TestOptions {
  bool buttons = false;          // each button and jack, with prompts
  double button_timeout_s = 10;
  // The operator at the fixture (station): Enter gives up a button step;
  // with checks, the outputs a person sees are asked about.
  Operator *op = nullptr;
  bool checks = false;
  double answer_timeout_s = 30;
  // selftest prints each step's PASS/FAIL line on standard output (unless
  // --json); the station prints them on standard error, for the operator.
  bool steps_on_stdout = true;
};

// How a run ended.
enum class Ending {
  Finished,      // pass or fail: the plan ran, or identify stopped it
  PortUnusable,  // error: the port could not be opened; nothing was sent
  HungUp,        // error: the port hung up
  Interrupted,   // aborted: SIGINT, SIGTERM or SIGHUP (the board restored)
  OutputFailed,  // aborted: standard output could not be written (restored)
};

struct TestResult {
  Ending ending = Ending::Finished;
  bool wrong_model = false;  // identify found a board that is not a Q742
  std::string port_message;  // PortUnusable: why
};

// The names of the steps planned with these options, in order.
std::vector<std::string> planned_steps(const TestOptions &t);

// Runs the test on the board at o.device and completes run: every planned
// step (skipped when it never ran), the outcome and its reason, the end and
// duration, the device, the board's identifier bytes, model and firmware,
// the counts.  The caller has set who, what and when it started.
TestResult run_test(const Options &o, const TestOptions &t, trn::records::Run &run);

// The defaults of --station and --operator: the host name and the login
// name.
std::string default_station();
std::string default_operator();

}  // namespace trnctl
