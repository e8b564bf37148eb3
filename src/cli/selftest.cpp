// The production self-test: identify the board, save its settings, write two
// test values to each setting and read them back, blink the backlight,
// restore the saved settings, and with --buttons have the operator work each
// button and jack.  Every step prints PASS or FAIL as it ends; the record of
// the run can go to a JSON file, written whole or not at all.
//
// Whatever ends the run early (SIGINT or SIGTERM, standard output that
// cannot be written, a hang-up) ends it after the step under way, and the
// board gets its saved settings back before trnctl exits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <utility>

#include "cli.h"
#include "output.h"


namespace trnctl {

namespace {

using trn::Setting;

struct Step {
  std::string name;
  bool pass = true;
  std::string why;
  long ms = 0;
  Json written;  // null when the step wrote nothing
  Json read;

  void fail(const std::string &reason) {
    pass = false;
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

std::string utc_now_text() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm = {};
  gmtime_r(&t, &tm);
  char text[40], out[48];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  snprintf(out, sizeof out, "%s.%03ldZ", text, ms);
  return out;
}

class SelfTest {
 public:
  SelfTest(const Options &o, const SelftestOptions &so)
      : o_(o), so_(so), saved_(trn::settings().size(), -1) {}

  int run();

 private:
  template <class Body>
  bool step(const std::string &name, Body body, bool interruptible = true);
  bool exchange(const unsigned char command[7], unsigned char reply[7], const std::string &what,
                Step &st, bool interruptible = true);
  bool read(const Setting &s, uint8_t *value, Step &st, bool interruptible = true);
  bool write(const Setting &s, uint8_t value, Step &st, bool interruptible = true);

  void identify(Step &st);
  void save(Step &st);
  void test_setting(size_t i, Step &st);
  void backlight(Step &st);
  void restore(Step &st);
  void button(const trn::Input &in, Step &st);

  size_t passed() const;
  Json record(const std::string &outcome, const std::string &reason, const std::string &started,
              long duration_ms) const;
  void prepare_report() const;
  bool write_report(const Json &record) const;

  const Options &o_;
  const SelftestOptions &so_;
  Port *port_ = nullptr;
  StatusStream *status_ = nullptr;
  std::vector<Step> steps_;
  std::vector<int> saved_;  // the saved byte of each setting, -1 when unknown
  bool touched_ = false;    // test values may be on the board
  bool backlight_off_ = false;  // the backlight may be off
  bool wrong_model_ = false;
  std::string model_, firmware_;
  size_t planned_ = 0;
};

template <class Body>
bool SelfTest::step(const std::string &name, Body body, bool interruptible) {
  if (interruptible && stop_requested.load()) throw Abort{Abort::Interrupted};
  Step st;
  st.name = name;
  const long begin = elapsed_ms();
  std::optional<Abort> abort;
  try {
    body(st);
  } catch (const Abort &a) {
    abort = a;
    st.fail(a.text());
  }
  st.ms = elapsed_ms() - begin;
  if (!o_.json) print_line(st.pass ? "PASS " + name : "FAIL " + name + ": " + st.why);
  steps_.push_back(st);
  if (abort) throw *abort;
  // Nobody sees the steps any more: stop as after an interrupt.
  if (interruptible && output_error()) throw Abort{Abort::Output};
  return st.pass;
}

bool SelfTest::exchange(const unsigned char command[7], unsigned char reply[7],
                        const std::string &what, Step &st, bool interruptible) {
  trn::Outcome outcome = port_->exchange(command, reply, interruptible);
  if (outcome == trn::Outcome::Ok) return true;
  if (outcome == trn::Outcome::Closed) throw Abort{Abort::HungUp};
  if (outcome == trn::Outcome::Interrupted) throw Abort{Abort::Interrupted};
  st.fail(what + ": " + port_->tries_text(outcome));
  return false;
}

bool SelfTest::read(const Setting &s, uint8_t *value, Step &st, bool interruptible) {
  unsigned char command[7], reply[7];
  trn::read_request(s, command);
  if (!exchange(command, reply, std::string(s.name) + " read", st, interruptible)) return false;
  *value = trn::reply_value(reply);
  return true;
}

bool SelfTest::write(const Setting &s, uint8_t value, Step &st, bool interruptible) {
  unsigned char command[7], reply[7];
  trn::write_request(s, value, command);
  return exchange(command, reply, std::string(s.name) + " write", st, interruptible);
}

void SelfTest::identify(Step &st) {
  unsigned char command[7], reply[7];
  trn::identify_request(command);
  if (!exchange(command, reply, "identifier request", st)) return;
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

void SelfTest::save(Step &st) {
  st.read = Json::object();
  const auto &table = trn::settings();
  for (size_t i = 0; i < table.size(); ++i) {
    uint8_t value;
    if (!read(table[i], &value, st)) continue;
    saved_[i] = value;
    st.read[table[i].name] = json_value(table[i], value);
  }
}

void SelfTest::test_setting(size_t i, Step &st) {
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

void SelfTest::backlight(Step &st) {
  st.written = Json::array({"off", "on"});
  st.read = Json::array();
  for (bool on : {false, true}) {
    unsigned char command[7], reply[7];
    trn::backlight_request(on, command);
    // From the moment "off" may have gone out, restore turns it on again.
    touched_ = true;
    backlight_off_ = backlight_off_ || !on;
    if (exchange(command, reply, on ? "backlight on" : "backlight off", st)) {
      st.read.push_back(reply[4]);
      if (on) backlight_off_ = false;
    } else {
      st.read.push_back(nullptr);
    }
  }
}

// Not interruptible: a second SIGINT must not leave the board in test values.
void SelfTest::restore(Step &st) {
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
    unsigned char command[7], reply[7];
    trn::backlight_request(true, command);
    st.written["backlight"] = "on";
    if (exchange(command, reply, "backlight on", st, false)) {
      st.read["backlight"] = reply[4];
      backlight_off_ = false;
    }
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

void SelfTest::button(const trn::Input &in, Step &st) {
  // Only what happens after the prompt counts.
  status_->discard();
  fprintf(stderr, "%s %s\n", in.jack ? "plug and unplug" : "press and release", in.name);
  fflush(stderr);
  const auto deadline = trn::Clock::now() + std::chrono::duration_cast<trn::Clock::duration>(
                                                std::chrono::duration<double>(so_.button_timeout_s));
  st.read = Json::array();
  bool was_active = false;
  for (;;) {
    unsigned char frame[7];
    trn::Collected what = status_->next(frame, deadline);
    if (what == trn::Collected::Closed) throw Abort{Abort::HungUp};
    if (what == trn::Collected::Interrupted) throw Abort{Abort::Interrupted};
    if (what == trn::Collected::Timeout) {
      char why[64];
      snprintf(why, sizeof why, "not %s within %g s",
               was_active ? (in.jack ? "unplugged" : "released") : in.jack ? "plugged" : "pressed",
               so_.button_timeout_s);
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

size_t SelfTest::passed() const {
  size_t n = 0;
  for (const Step &st : steps_) n += st.pass ? 1 : 0;
  return n;
}

// A report that cannot be written is found out before the board is touched,
// and an earlier record under the name goes: from here on the file is this
// run's record or absent, never a stale one that looks current.
void SelfTest::prepare_report() const {
  const std::string &report = so_.report;
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

int SelfTest::run() {
  if (!so_.report.empty()) prepare_report();
  const std::string started = utc_now_text();
  const long begin = elapsed_ms();
  const auto &table = trn::settings();
  planned_ = 2 + table.size() + 2 + (so_.buttons ? trn::inputs().size() : 0);
  std::unique_ptr<Port> port;
  try {
    port = std::make_unique<Port>(o_);
  } catch (const Failure &f) {
    // The station could not reach the unit: that is the run's record.
    const Json rec = record("error", f.message, started, elapsed_ms() - begin);
    write_report(rec);
    if (o_.json) print_json(rec);
    throw;
  }
  port_ = port.get();
  StatusStream status(*port);
  status_ = &status;

  std::string outcome = "fail";
  std::string reason;  // why the run ended early or failed as a whole
  try {
    if (step("identify", [&](Step &st) { identify(st); })) {
      step("save", [&](Step &st) { save(st); });
      for (size_t i = 0; i < table.size(); ++i)
        step(table[i].name, [&](Step &st) { test_setting(i, st); });
      step("backlight", [&](Step &st) { backlight(st); });
      step("restore", [&](Step &st) { restore(st); }, false);
      if (so_.buttons)
        for (const trn::Input &in : trn::inputs())
          step(in.name, [&](Step &st) { button(in, st); });
    } else {
      reason = steps_.front().why;  // the test stops at a failed identify
    }
    if (passed() == planned_) outcome = "pass";
    // A signal that came during the last steps: the settings are back
    // already, but the run was interrupted all the same.
    if (stop_requested.load())
      outcome = reason = "interrupted";
    else if (output_error())  // the last lines could not be written
      throw Abort{Abort::Output};
  } catch (const Abort &a) {
    reason = a.text();
    outcome = a.why == Abort::Interrupted ? "interrupted"
              : a.why == Abort::Output    ? "aborted"
                                          : "fail";
    if (a.why == Abort::HungUp) {
      fprintf(stderr, "trnctl: %s: the port hung up\n", port->path().c_str());
    } else if (touched_) {
      fprintf(stderr, "trnctl: %s: restoring the saved settings\n", reason.c_str());
      try {
        step("restore", [&](Step &st) { restore(st); }, false);
      } catch (const Abort &) {
        fprintf(stderr, "trnctl: %s: the port hung up: settings not restored\n",
                port->path().c_str());
      }
    }
  }

  Json rec = record(outcome, reason, started, elapsed_ms() - begin);
  bool reported = write_report(rec);
  const size_t failed = planned_ - passed();
  if (!reported && reason.empty()) reason = "the report was not written";
  if (o_.json) {
    print_json(rec);
  } else if (failed == 0 && reason.empty()) {
    print_line("selftest: PASS (" + std::to_string(planned_) + " steps)");
  } else {
    print_line("selftest: FAIL (" + std::to_string(failed) + " of " + std::to_string(planned_) +
               " steps)" + (reason.empty() ? "" : ": " + reason));
  }
  // The summary or the record could not be printed: the run is aborted all
  // the same, though nothing was left to stop.
  if (output_error() && (outcome == "pass" || outcome == "fail")) {
    outcome = "aborted";
    rec["outcome"] = outcome;
    rec["reason"] = Abort{Abort::Output}.text();
    reported = write_report(rec);
  }
  if (outcome == "interrupted") return kInterrupted;
  if (outcome == "aborted") return kBoardFailed;
  if (wrong_model_) return kNotQ742;
  return failed == 0 && reported ? kDone : kBoardFailed;
}

Json SelfTest::record(const std::string &outcome, const std::string &reason,
                      const std::string &started, long duration_ms) const {
  Json steps = Json::array();
  for (const Step &st : steps_) {
    Json j;
    j["name"] = st.name;
    j["outcome"] = st.pass ? "pass" : "fail";
    if (!st.pass) j["why"] = st.why;
    j["ms"] = st.ms;
    if (!st.written.is_null()) j["written"] = st.written;
    if (!st.read.is_null()) j["read"] = st.read;
    steps.push_back(j);
  }
  Json rec;
  rec["tool"] = "trnctl";
  rec["version"] = TRNCTL_VERSION;
  rec["device"] = o_.device;
  rec["dut"] = so_.dut.empty() ? Json() : Json(so_.dut);
  rec["started"] = started;
  rec["duration_ms"] = duration_ms;
  rec["model"] = model_.empty() ? Json() : Json(model_);
  rec["firmware"] = firmware_.empty() ? Json() : Json(firmware_);
  rec["steps"] = steps;
  rec["passed"] = passed();
  rec["planned"] = planned_;
  rec["outcome"] = outcome;
  rec["reason"] = reason.empty() ? Json() : Json(reason);
  return rec;
}

// FILE.tmp first, then renamed over FILE: a reader never sees half a record.
bool SelfTest::write_report(const Json &rec) const {
  if (so_.report.empty()) return true;
  const std::string tmp = so_.report + ".tmp";
  const std::string text = json_text(rec, 2) + "\n";
  FILE *f = fopen(tmp.c_str(), "w");
  bool ok = f != nullptr;
  if (ok) ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  if (ok) ok = fflush(f) == 0 && fsync(fileno(f)) == 0;
  if (f && fclose(f) != 0) ok = false;
  const char *failed = ok ? nullptr : "cannot write";
  if (ok) ok = rename(tmp.c_str(), so_.report.c_str()) == 0;
  if (!ok) {
    const int err = errno;
    fprintf(stderr, "trnctl: --report %s: %s %s: %s\n", shown(so_.report).c_str(),
            failed ? failed : "cannot rename", shown(tmp).c_str(), std::strerror(err));
    unlink(tmp.c_str());
  }
  return ok;
}

}  // namespace

int run_selftest(const Options &o, const SelftestOptions &so) { return SelfTest(o, so).run(); }

}  // namespace trnctl
