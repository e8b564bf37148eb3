// The production self-test: identify the board, save its settings, write two
// test values to each setting and read them back, blink the backlight, have
// the operator judge the outputs a person sees (station), restore the saved
// settings, and have the operator work each button and jack (--buttons,
// station).  Every step prints PASS or FAIL as it ends.  `selftest` wraps a
// run with its summary line, its JSON report (written whole or not at all)
// and, with --db or a line database, its row in the records database, then
// pushes the waiting runs to the line's database.
//
// Whatever ends the run early (SIGINT or SIGTERM, standard output that
// cannot be written, a hang-up) ends it after the step under way, and the
// board gets its saved settings back before trnctl goes on.
#include "selftest.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "output.h"
#include "push.h"
#include "records_cmd.h"
#include "store.h"

namespace trnctl {

namespace {

namespace rec = trn::records;
using trn::Setting;

// The outputs only a person can judge: the station sets each one and asks.
struct Check {
  const char *name;
  const char *setting;  // nullptr: the backlight, which has no setting to read
  const char *value;    // a word of the setting, or off/on for the backlight
  const char *question;
};
const Check kChecks[] = {
    {"membrane-green", "membrane", "green", "Is the membrane LED green?"},
    {"membrane-orange", "membrane", "orange", "Is the membrane LED orange?"},
    {"nurse-led-on", "nurse-led", "on", "Is the nurse-call LED on?"},
    {"ring-led-on", "ring-led", "on", "Is the ring LED on?"},
    {"backlight-off", nullptr, "off", "Is the backlight off?"},
    {"backlight-on", nullptr, "on", "Is the backlight on again?"},
};

enum class Kind { Identify, Save, Setting, Backlight, Check, Restore, Button };

struct Planned {
  std::string name;
  Kind kind;
  size_t index;  // of the setting, check or input
};

std::vector<Planned> make_plan(const TestOptions &t) {
  std::vector<Planned> plan = {{"identify", Kind::Identify, 0}, {"save", Kind::Save, 0}};
  const auto &table = trn::settings();
  for (size_t i = 0; i < table.size(); ++i) plan.push_back({table[i].name, Kind::Setting, i});
  plan.push_back({"backlight", Kind::Backlight, 0});
  if (t.op && t.checks)
    for (size_t i = 0; i < sizeof kChecks / sizeof kChecks[0]; ++i)
      plan.push_back({kChecks[i].name, Kind::Check, i});
  plan.push_back({"restore", Kind::Restore, 0});
  if (t.buttons)
    for (size_t i = 0; i < trn::inputs().size(); ++i)
      plan.push_back({trn::inputs()[i].name, Kind::Button, i});
  return plan;
}

struct StepRun : rec::Step {
  bool passed() const { return outcome == rec::kPass; }
  void fail(const std::string &reason) {
    outcome = rec::kFail;
    why += (why.empty() ? "" : "; ") + reason;
  }
};

// Ends the run before its last step.
struct Abort {
  enum Why { Interrupted, HungUp, Output } why;

  std::string text() const {
    if (why == Interrupted) return "interrupted";
    if (why == HungUp) return "the port hung up";
    return std::string("standard output: ") + std::strerror(output_error());
  }
};

// Two test values for a setting, the first differing from the saved byte:
// numbers go to both ends of their range; words take the first word that
// differs and the one after it; masks take every other bit of the vocabulary
// and then the rest, so each bit is seen both set and clear.
std::pair<uint8_t, uint8_t> test_values(const Setting &s, uint8_t saved) {
  switch (s.kind) {
    case trn::Kind::Number:
      return saved == s.min ? std::make_pair(s.max, s.min) : std::make_pair(s.min, s.max);
    case trn::Kind::Words: {
      int first = 0;
      while (first < s.word_count - 1 && s.words[first].value == saved) ++first;
      return {s.words[first].value, s.words[(first + 1) % s.word_count].value};
    }
    case trn::Kind::Mask: {
      uint8_t even = 0, odd = 0;
      for (int i = 0; i < s.word_count; ++i) (i % 2 ? odd : even) |= s.words[i].value;
      return saved == even ? std::make_pair(odd, even) : std::make_pair(even, odd);
    }
  }
  return {saved, saved};
}

class SelfTest {
 public:
  SelfTest(const Options &o, const TestOptions &t)
      : o_(o), t_(t), plan_(make_plan(t)), results_(plan_.size()),
        saved_(trn::settings().size(), -1) {}

  TestResult run(rec::Run &run);

 private:
  template <class Body>
  void step(size_t slot, Body body, bool interruptible = true);
  void say(const std::string &line) const;
  bool exchange(const unsigned char command[7], unsigned char reply[7], const std::string &what,
                StepRun &st, bool interruptible = true);
  bool read(const Setting &s, uint8_t *value, StepRun &st, bool interruptible = true);
  bool write(const Setting &s, uint8_t value, StepRun &st, bool interruptible = true);
  Json set_backlight(bool on, StepRun &st, bool interruptible = true);

  void identify(StepRun &st);
  void save(StepRun &st);
  void test_setting(size_t i, StepRun &st);
  void backlight(StepRun &st);
  void check(const Check &c, StepRun &st);
  void restore(StepRun &st);
  void button(const trn::Input &in, StepRun &st);
  void run_step(size_t slot);
  size_t slot_of(Kind kind) const;
  void complete(rec::Run &run, const std::string &outcome, const std::string &reason) const;

  const Options &o_;
  const TestOptions &t_;
  const std::vector<Planned> plan_;
  std::vector<std::optional<StepRun>> results_;  // per planned step, once it ran
  Port *port_ = nullptr;
  StatusStream *status_ = nullptr;
  long begin_ = 0;          // elapsed_ms() at the start of the run
  std::vector<int> saved_;  // the saved byte of each setting, -1 when unknown
  bool touched_ = false;    // test values may be on the board
  bool backlight_off_ = false;  // the backlight may be off
  bool wrong_model_ = false;
  std::string model_, firmware_, board_;
};

void SelfTest::say(const std::string &line) const {
  if (!t_.steps_on_stdout) {
    fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
  } else if (!o_.json) {
    print_line(line);
  }
}

template <class Body>
void SelfTest::step(size_t slot, Body body, bool interruptible) {
  if (interruptible && stop_requested.load()) throw Abort{Abort::Interrupted};
  StepRun st;
  st.name = plan_[slot].name;
  st.outcome = rec::kPass;
  st.start_ms = elapsed_ms() - begin_;
  std::optional<Abort> abort;
  try {
    body(st);
  } catch (const Abort &a) {
    abort = a;
    st.fail(a.text());
  }
  st.ms = elapsed_ms() - begin_ - st.start_ms;
  say(st.passed() ? "PASS " + st.name : "FAIL " + st.name + ": " + st.why);
  results_[slot] = st;
  if (abort) throw *abort;
  // Nobody sees the steps any more: stop as after an interrupt.
  if (interruptible && t_.steps_on_stdout && output_error()) throw Abort{Abort::Output};
}

bool SelfTest::exchange(const unsigned char command[7], unsigned char reply[7],
                        const std::string &what, StepRun &st, bool interruptible) {
  trn::Outcome outcome = port_->exchange(command, reply, interruptible);
  st.tries += port_->tries();
  if (outcome == trn::Outcome::Ok) return true;
  if (outcome == trn::Outcome::Closed) throw Abort{Abort::HungUp};
  if (outcome == trn::Outcome::Interrupted) throw Abort{Abort::Interrupted};
  st.fail(what + ": " + port_->tries_text(outcome));
  return false;
}

bool SelfTest::read(const Setting &s, uint8_t *value, StepRun &st, bool interruptible) {
  unsigned char command[7], reply[7];
  trn::read_request(s, command);
  if (!exchange(command, reply, std::string(s.name) + " read", st, interruptible)) return false;
  *value = trn::reply_value(reply);
  return true;
}

bool SelfTest::write(const Setting &s, uint8_t value, StepRun &st, bool interruptible) {
  unsigned char command[7], reply[7];
  trn::write_request(s, value, command);
  return exchange(command, reply, std::string(s.name) + " write", st, interruptible);
}

// The reply's value byte, or null when there was none.  From the moment
// "off" may have gone out, restore turns the backlight on again.
Json SelfTest::set_backlight(bool on, StepRun &st, bool interruptible) {
  unsigned char command[7], reply[7];
  trn::backlight_request(on, command);
  touched_ = true;
  backlight_off_ = backlight_off_ || !on;
  if (!exchange(command, reply, on ? "backlight on" : "backlight off", st, interruptible))
    return Json();
  if (on) backlight_off_ = false;
  return reply[4];
}

void SelfTest::identify(StepRun &st) {
  unsigned char command[7], reply[7];
  trn::identify_request(command);
  if (!exchange(command, reply, "identifier request", st)) return;
  board_ = hex_bytes(reply, 7);
  model_ = trn::model_text(reply[3], reply[4]);
  const bool q742 = trn::is_q742(reply[3], reply[4]);
  trn::firmware_request(command);
  if (exchange(command, reply, "firmware request", st)) {
    char fw[4];
    snprintf(fw, sizeof fw, "%x", reply[4]);
    firmware_ = fw;
  }
  st.read = Json{{"model", model_}, {"firmware", firmware_.empty() ? Json() : Json(firmware_)}};
  if (!q742) {
    wrong_model_ = true;
    st.fail("the board is a " + model_ + ", not a Q742");
  }
}

void SelfTest::save(StepRun &st) {
  st.read = Json::object();
  const auto &table = trn::settings();
  for (size_t i = 0; i < table.size(); ++i) {
    uint8_t value;
    if (!read(table[i], &value, st)) continue;
    saved_[i] = value;
    st.read[table[i].name] = json_value(table[i], value);
  }
}

void SelfTest::test_setting(size_t i, StepRun &st) {
  const Setting &s = trn::settings()[i];
  if (saved_[i] < 0) {
    // Without the saved value it could not be put back: leave it alone.
    st.fail("not tested: its value could not be saved");
    return;
  }
  auto values = test_values(s, static_cast<uint8_t>(saved_[i]));
  st.written = Json::array();
  st.read = Json::array();
  for (uint8_t v : {values.first, values.second}) {
    st.written.push_back(json_value(s, v));
    touched_ = true;
    uint8_t got;
    if (!write(s, v, st) || !read(s, &got, st)) {
      st.read.push_back(nullptr);
      continue;
    }
    st.read.push_back(json_value(s, got));
    if (got != v)
      st.fail("wrote " + trn::format_value(s, v) + ", read " + trn::format_value(s, got));
  }
}

void SelfTest::backlight(StepRun &st) {
  st.written = Json::array({"off", "on"});
  st.read = Json::array();
  for (bool on : {false, true}) st.read.push_back(set_backlight(on, st));
}

// The output is set (and, for a setting, read back), then the operator says
// whether it looks so.  The answer is what the step read.
void SelfTest::check(const Check &c, StepRun &st) {
  st.written = c.value;
  if (c.setting) {
    const Setting &s = *trn::find_setting(c.setting);
    const size_t i = static_cast<size_t>(&s - trn::settings().data());
    if (saved_[i] < 0) {
      st.fail(std::string("not tested: the ") + s.name + " value could not be saved");
      return;
    }
    uint8_t value = 0, got = 0;
    std::string valid;
    trn::parse_value(s, c.value, &value, &valid);
    touched_ = true;
    if (!write(s, value, st) || !read(s, &got, st)) return;
    if (got != value) {
      st.fail("wrote " + trn::format_value(s, value) + ", read " + trn::format_value(s, got));
      return;
    }
  } else if (set_backlight(std::strcmp(c.value, "on") == 0, st).is_null()) {
    return;
  }
  switch (t_.op->ask(c.question, t_.answer_timeout_s)) {
    case Operator::Answer::Yes:
      st.read = "yes";
      break;
    case Operator::Answer::No:
      st.read = "no";
      st.fail("the operator answered no");
      break;
    case Operator::Answer::NoAnswer: {
      char why[64];
      snprintf(why, sizeof why, "no answer within %g s", t_.answer_timeout_s);
      st.fail(why);
      break;
    }
    case Operator::Answer::EndOfInput:
      st.fail("no answer: end of input");
      break;
    case Operator::Answer::Interrupted:
      throw Abort{Abort::Interrupted};
  }
}

// Not interruptible: a second SIGINT must not leave the board in test values.
void SelfTest::restore(StepRun &st) {
  const auto &table = trn::settings();
  // The volume output first: the board may apply the volume to the output
  // selected (the panel reads the volume again after changing the output).
  std::vector<size_t> order;
  for (size_t i = 0; i < table.size(); ++i)
    if (std::string(table[i].name) == "volume-output") order.insert(order.begin(), i);
    else order.push_back(i);
  st.written = Json::object();
  st.read = Json::object();
  for (size_t i : order) {
    if (saved_[i] < 0) continue;
    st.written[table[i].name] = json_value(table[i], static_cast<uint8_t>(saved_[i]));
    write(table[i], static_cast<uint8_t>(saved_[i]), st, false);
  }
  // The board cannot report its backlight: one the test turned off is
  // turned on, as it is at power-on.
  if (backlight_off_) {
    st.written["backlight"] = "on";
    st.read["backlight"] = set_backlight(true, st, false);
  }
  for (size_t i = 0; i < table.size(); ++i) {
    if (saved_[i] < 0) continue;
    uint8_t got;
    if (!read(table[i], &got, st, false)) continue;
    st.read[table[i].name] = json_value(table[i], got);
    if (got != saved_[i])
      st.fail(std::string(table[i].name) + ": wrote " +
              trn::format_value(table[i], static_cast<uint8_t>(saved_[i])) + ", read " +
              trn::format_value(table[i], got));
  }
  touched_ = false;
}

void SelfTest::button(const trn::Input &in, StepRun &st) {
  // Only what happens after the prompt counts.
  status_->discard();
  if (t_.op) t_.op->forget_typeahead();
  const char *verb = in.jack ? "plug and unplug" : "press and release";
  fprintf(stderr, "%s %s%s\n", verb, in.name, t_.op ? " (Enter if you can't)" : "");
  fflush(stderr);
  const auto deadline = trn::Clock::now() + std::chrono::duration_cast<trn::Clock::duration>(
                                                std::chrono::duration<double>(t_.button_timeout_s));
  st.read = Json::array();
  bool was_active = false;
  int give_up = t_.op ? t_.op->give_up_fd() : -1;
  for (;;) {
    unsigned char frame[7];
    bool other = false;
    trn::Collected what = status_->next(frame, deadline, give_up, &other);
    if (other) {
      if (t_.op->can_not()) {
        st.fail(std::string("the operator could not ") + (in.jack ? "plug it" : "press it"));
        return;
      }
      give_up = t_.op->give_up_fd();  // -1 once the input has ended
      continue;
    }
    if (what == trn::Collected::Closed) throw Abort{Abort::HungUp};
    if (what == trn::Collected::Interrupted) throw Abort{Abort::Interrupted};
    if (what == trn::Collected::Timeout) {
      char why[64];
      snprintf(why, sizeof why, "not %s within %g s",
               was_active ? (in.jack ? "unplugged" : "released") : in.jack ? "plugged" : "pressed",
               t_.button_timeout_s);
      st.fail(why);
      return;
    }
    const bool active = trn::input_active(in, frame[3], frame[4]);
    if (!was_active && active) {
      was_active = true;
      st.read.push_back("active");
    } else if (was_active && !active) {
      st.read.push_back("inactive");
      return;
    }
  }
}

void SelfTest::run_step(size_t slot) {
  const Planned &p = plan_[slot];
  switch (p.kind) {
    case Kind::Identify: return step(slot, [&](StepRun &st) { identify(st); });
    case Kind::Save: return step(slot, [&](StepRun &st) { save(st); });
    case Kind::Setting: return step(slot, [&](StepRun &st) { test_setting(p.index, st); });
    case Kind::Backlight: return step(slot, [&](StepRun &st) { backlight(st); });
    case Kind::Check: return step(slot, [&](StepRun &st) { check(kChecks[p.index], st); });
    case Kind::Restore: return step(slot, [&](StepRun &st) { restore(st); }, false);
    case Kind::Button:
      return step(slot, [&](StepRun &st) { button(trn::inputs()[p.index], st); });
  }
}

size_t SelfTest::slot_of(Kind kind) const {
  size_t slot = 0;
  while (plan_[slot].kind != kind) ++slot;
  return slot;
}

TestResult SelfTest::run(rec::Run &run) {
  begin_ = elapsed_ms();
  TestResult result;
  std::unique_ptr<Port> port;
  try {
    port = std::make_unique<Port>(o_);
  } catch (const Failure &f) {
    // The station could not reach the unit: that is the run's record.
    result.ending = Ending::PortUnusable;
    result.port_message = f.message;
    complete(run, rec::kError, f.message);
    return result;
  }
  port_ = port.get();
  StatusStream status(*port);
  status_ = &status;

  std::string outcome = rec::kFail;
  std::string reason;  // why the run ended early or failed as a whole
  try {
    run_step(0);
    if (results_[0]->passed()) {
      for (size_t slot = 1; slot < plan_.size(); ++slot) run_step(slot);
    } else {
      reason = results_[0]->why;  // the test stops at a failed identify
    }
    size_t passed = 0;
    for (const auto &r : results_) passed += r && r->passed() ? 1 : 0;
    if (passed == plan_.size()) outcome = rec::kPass;
    // A signal that came during the last steps: the settings are back
    // already, but the run was interrupted all the same.
    if (stop_requested.load()) throw Abort{Abort::Interrupted};
    if (t_.steps_on_stdout && output_error())  // the last lines could not be written
      throw Abort{Abort::Output};
  } catch (const Abort &a) {
    reason = a.text();
    if (a.why == Abort::HungUp) {
      outcome = rec::kError;
      result.ending = Ending::HungUp;
      fprintf(stderr, "trnctl: %s: the port hung up\n", port->path().c_str());
    } else {
      outcome = rec::kAborted;
      result.ending = a.why == Abort::Interrupted ? Ending::Interrupted : Ending::OutputFailed;
      if (touched_) {
        fprintf(stderr, "trnctl: %s: restoring the saved settings\n", reason.c_str());
        try {
          run_step(slot_of(Kind::Restore));
        } catch (const Abort &) {
          fprintf(stderr, "trnctl: %s: the port hung up: settings not restored\n",
                  port->path().c_str());
        }
      }
    }
  }
  result.wrong_model = wrong_model_;
  complete(run, outcome, reason);
  return result;
}

void SelfTest::complete(rec::Run &run, const std::string &outcome,
                        const std::string &reason) const {
  run.device = o_.device;
  run.ended = rec::utc_now();
  run.duration_ms = elapsed_ms() - begin_;
  run.outcome = outcome;
  run.reason = reason;
  run.board = board_;
  run.model = model_;
  run.firmware = firmware_;
  run.planned = static_cast<int>(plan_.size());
  run.passed = 0;
  run.steps.clear();
  for (size_t slot = 0; slot < plan_.size(); ++slot) {
    if (results_[slot]) {
      run.steps.push_back(*results_[slot]);
      run.passed += results_[slot]->passed() ? 1 : 0;
      continue;
    }
    rec::Step skipped;
    skipped.name = plan_[slot].name;
    skipped.outcome = rec::kSkipped;
    run.steps.push_back(skipped);
  }
}

// A report that cannot be written is found out before the board is touched,
// and an earlier record under the name goes: from here on the file is this
// run's record or absent, never a stale one that looks current.
void prepare_report(const std::string &report) {
  struct stat st;
  if (stat(report.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw Failure{kUsage, "--report " + shown(report) + ": not a regular file"};
  const std::string tmp = report + ".tmp";
  const bool existed = access(tmp.c_str(), F_OK) == 0;
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    throw Failure{kUsage, "--report " + shown(report) + ": cannot create " + shown(tmp) + ": " +
                              std::strerror(errno)};
  close(fd);
  if (!existed) unlink(tmp.c_str());
  if (unlink(report.c_str()) != 0 && errno != ENOENT)
    throw Failure{kUsage, "--report " + shown(report) + ": cannot remove the earlier record: " +
                              std::strerror(errno)};
}

// FILE.tmp first, then renamed over FILE: a reader never sees half a record.
bool write_report(const std::string &report, const Json &rec) {
  if (report.empty()) return true;
  const std::string tmp = report + ".tmp";
  const std::string text = json_text(rec, 2) + "\n";
  FILE *f = fopen(tmp.c_str(), "w");
  bool ok = f != nullptr;
  if (ok) ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  if (ok) ok = fflush(f) == 0 && fsync(fileno(f)) == 0;
  if (f && fclose(f) != 0) ok = false;
  const char *failed = ok ? nullptr : "cannot write";
  if (ok) ok = rename(tmp.c_str(), report.c_str()) == 0;
  if (!ok) {
    const int err = errno;
    fprintf(stderr, "trnctl: --report %s: %s %s: %s\n", shown(report).c_str(),
            failed ? failed : "cannot rename", shown(tmp).c_str(), std::strerror(err));
    unlink(tmp.c_str());
  }
  return ok;
}

}  // namespace

std::vector<std::string> planned_steps(const TestOptions &t) {
  std::vector<std::string> names;
  for (const Planned &p : make_plan(t)) names.push_back(p.name);
  return names;
}

TestResult run_test(const Options &o, const TestOptions &t, rec::Run &run) {
  return SelfTest(o, t).run(run);
}

std::string default_station() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || !host[0]) return "localhost";
  return host;
}

std::string default_operator() {
  char name[256] = {};
  if (getlogin_r(name, sizeof name) == 0 && name[0]) return name;
  if (const passwd *pw = getpwuid(geteuid())) return pw->pw_name;
  return std::to_string(geteuid());
}

int run_selftest(const Options &o, const SelftestOptions &so) {
  if (so.record && so.dut.empty())
    throw Failure{kUsage, std::string(so.push.empty() ? "--db" : "--push") +
                              ": a run is recorded for a unit: --dut ID is needed"};
  if (!so.report.empty()) prepare_report(so.report);
  TestOptions t;
  t.buttons = so.buttons;
  t.button_timeout_s = so.button_timeout_s;

  rec::Run run;
  run.id = rec::new_run_id();
  run.dut = so.dut;
  run.station = so.station.empty() ? default_station() : so.station;
  run.operator_name = so.operator_name.empty() ? default_operator() : so.operator_name;
  run.version = TRNCTL_VERSION;
  run.plan = kPlanVersion;
  run.options = Json{{"timeout_ms", o.timeout_ms}, {"retries", o.retries},
                     {"buttons", so.buttons}, {"button_timeout_s", so.button_timeout_s}};
  run.device = o.device;
  run.started = rec::utc_now();
  std::unique_ptr<rec::LocalStore> store;
  try {
    if (so.record) {
      store = rec::open_store(so.db, rec::OpenMode::Create);
      store->close_abandoned(run.station);
      store->begin(run);
    }
  } catch (const rec::StoreError &e) {
    throw Failure{kBoardFailed, std::string("records: ") + e.what()};
  }

  const TestResult result = run_test(o, t, run);
  const Json record = rec::to_json(run);
  bool reported = write_report(so.report, record);
  const size_t failed = static_cast<size_t>(run.planned - run.passed);
  std::string reason = run.reason;
  if (!reported && reason.empty()) reason = "the report was not written";
  if (o.json) {
    print_json(record);
  } else if (result.ending != Ending::PortUnusable) {
    if (failed == 0 && reason.empty())
      print_line("selftest: PASS (" + std::to_string(run.planned) + " steps)");
    else
      print_line("selftest: FAIL (" + std::to_string(failed) + " of " +
                 std::to_string(run.planned) + " steps)" + (reason.empty() ? "" : ": " + reason));
  }
  // The summary or the record could not be printed: the run is aborted all
  // the same, though nothing was left to stop.
  if (output_error() && (run.outcome == rec::kPass || run.outcome == rec::kFail)) {
    run.outcome = rec::kAborted;
    run.reason = Abort{Abort::Output}.text();
    reported = write_report(so.report, rec::to_json(run));
  }
  bool recorded = true;
  if (store) {
    try {
      store->finish(run);
    } catch (const rec::StoreError &e) {
      fprintf(stderr, "trnctl: records: %s\n", e.what());
      recorded = false;
    }
  }
  // Whatever the push does, the run is kept: it waits for the next one.
  if (store && !so.push.empty()) {
    rec::PushLimits limits = rec::PushLimits::after_run();
    limits.stop = &stop_requested;
    const std::string said = push_message(rec::push_outbox(*store, so.push, limits), false);
    if (!said.empty()) fprintf(stderr, "trnctl: %s\n", said.c_str());
  }
  if (result.ending == Ending::PortUnusable) throw Failure{kPortFailed, result.port_message};
  if (result.ending == Ending::Interrupted) return kInterrupted;
  if (run.outcome == rec::kAborted) return kBoardFailed;
  if (result.wrong_model) return kNotQ742;
  return failed == 0 && reported && recorded ? kDone : kBoardFailed;
}

}  // namespace trnctl
