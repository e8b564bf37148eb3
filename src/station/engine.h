// The self-test engine: runs a plan on one port and fills the run's record,
// telling an observer what happens as it happens.  It prints nothing.
//
// The observer may answer a prompt and abort the run from any thread.  An
// abort ends the run after the step under way (every wait of the engine
// looks at it at least every 50 ms), the board gets its saved settings back,
// and the run is recorded as aborted with the reason given.  An engine has
// its own stop: several run at once on several ports.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plan.h"
#include "port.h"
#include "record.h"
#include "settings.h"
#include "values.h"

namespace trn::station {

// An answer to a prompt.  A check takes Yes or No; a button step takes
// CanNot (the operator cannot work it).  EndOfInput: no answer will ever
// come from where answers came (a check fails; a button step still waits
// for the button).
enum class Answer { Yes, No, CanNot, EndOfInput };

struct Prompt {
  enum class Kind { Check, Button };
  unsigned id;       // to answer with
  Kind kind;
  std::string step;  // the step's name
  std::string text;  // "Is the ring LED on?", "press and release handset"
  double timeout_s;  // unanswered after this, the step fails
};

// What the engine has to say besides the steps, for whoever shows the run.
enum class Notice {
  HungUp,       // the port hung up (text: the port)
  Restoring,    // the run was stopped with test values on the board (text: why)
  NotRestored,  // the port hung up while they were put back (text: the port)
  Earlier,      // the unit's own settings are those an earlier run saved (text: which)
};

// The settings an earlier run of the unit saved, which it never put back
// (it was cut short): the unit's own, to restore at the end.
struct EarlierSave {
  std::string run_id, started;
  Json values;  // the save step's read: each setting's value by name
};

// The save step's why when the settings of an earlier run are restored:
// "restoring the settings saved by run ID of DATE".
inline constexpr const char *kRestoringEarlier = "restoring the settings saved by run ";

class Observer {
 public:
  virtual ~Observer() = default;
  // Before the port is opened; the run holds who and what.
  virtual void run_started(const trn::records::Run &, const Plan &) {}
  virtual void step_started(size_t /*slot*/, const std::string & /*name*/) {}
  virtual void step_finished(size_t /*slot*/, const trn::records::Step &) {}
  virtual void prompt(const Prompt &) {}
  virtual void notice(Notice, const std::string & /*text*/) {}
  // The record complete.  An abort asked for while this is told still
  // makes a pass or fail run aborted (whoever shows it could not).
  virtual void run_finished(const trn::records::Run &) {}
};

struct EngineOptions {
  PortSettings port;  // its stop is replaced by the engine's own
  PlanOptions plan;
  double button_timeout_s = 10;
  double answer_timeout_s = 30;
};

class Engine {
 public:
  Engine(EngineOptions options, Observer &observer);
  ~Engine();
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  const Plan &plan() const { return plan_; }

  // Before run(): the unit's own settings are those saved by an earlier run
  // (the board's are still read and recorded by the save step).
  void restore_from(EarlierSave earlier) { earlier_ = std::move(earlier); }
  // Before run(): called with the save step and its place in the run (from
  // 1) once it has ended, before anything is written to the board.
  void on_saved(std::function<void(const trn::records::Step &, int pos)> saved) {
    on_saved_ = std::move(saved);
  }

  // Runs the plan on the port and completes run: every planned step
  // (skipped when it never ran), the outcome and its reason, the end and
  // duration, the device, the board's identifier bytes, model and firmware,
  // the counts.  The caller has set who, what and when it started.  One run
  // per engine.
  void run(trn::records::Run &run);

  // From any thread.  False when the prompt is no longer waiting.
  bool answer(unsigned prompt, Answer answer);
  // From any thread: ends the run, recorded as aborted with this reason
  // (the first one given counts).
  void abort(const std::string &reason);
  // The flag behind the stop, for a signal handler (a plain store, which is
  // async-signal-safe): true stops the run as abort("interrupted") does.
  std::atomic<bool> &stop_flag() { return stop_; }
  bool stopped() const { return stop_.load(); }

 private:
  struct StepRun;
  struct Stopped {
    bool hung_up;
  };

  template <class Body>
  void step(size_t slot, Body body, bool interruptible = true);
  std::string stop_reason() const;
  bool exchange(const unsigned char command[7], unsigned char reply[7], const std::string &what,
                StepRun &st, bool interruptible = true);
  bool read(const trn::Setting &s, uint8_t *value, StepRun &st, bool interruptible = true);
  bool write(const trn::Setting &s, uint8_t value, StepRun &st, bool interruptible = true);
  Json set_backlight(bool on, StepRun &st, bool interruptible = true);

  void identify(StepRun &st);
  void save(StepRun &st);
  void test_setting(size_t i, StepRun &st);
  void backlight(StepRun &st);
  void check(const Check &c, StepRun &st);
  void restore(StepRun &st);
  void button(const trn::Input &in, StepRun &st);
  void run_step(size_t slot);
  void complete(trn::records::Run &run, const std::string &outcome,
                const std::string &reason) const;

  // Prompts: one waits at a time.
  unsigned open_prompt(Prompt::Kind kind, const std::string &step, const std::string &text,
                       double timeout_s);
  std::optional<Answer> take_answer();
  void close_prompt();
  void wake();
  void drain_wake();

  const EngineOptions options_;
  Observer &observer_;
  std::optional<EarlierSave> earlier_;
  std::function<void(const trn::records::Step &, int)> on_saved_;
  const Plan plan_;
  std::atomic<bool> stop_{false};
  int wake_fd_ = -1;  // readable after an answer or an abort

  mutable std::mutex m_;
  std::condition_variable cv_;
  std::string reason_;  // the abort's
  unsigned prompt_ = 0, last_prompt_ = 0;  // the one waiting (0: none), the last given
  std::optional<Answer> answer_;

  std::vector<std::optional<trn::records::Step>> results_;  // per planned step, once it ran
  Port *port_ = nullptr;
  StatusStream *status_ = nullptr;
  std::chrono::steady_clock::time_point begin_;
  std::vector<int> saved_;  // the saved byte of each setting, -1 when unknown
  bool touched_ = false;    // test values may be on the board
  bool backlight_off_ = false;  // the backlight may be off
  std::string model_, firmware_, board_;
};

// True when the run's identify found a board that is not a Q742.
bool wrong_model(const trn::records::Run &run);
// True when the run ended before anything was sent: the port could not be
// used (the reason says why).
bool port_unusable(const trn::records::Run &run);

}  // namespace trn::station
