// The production self-test: identify the board, save its settings, write two
// test values to each setting and read them back, blink the backlight, have
// the operator judge the outputs a person sees, restore the saved settings,
// and have the operator work each button and jack.
//
// Whatever ends the run early (an abort, a hang-up) ends it after the step
// under way, and the board gets its saved settings back before the engine
// returns.
#include "engine.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "values.h"

namespace trn::station {

namespace rec = trn::records;
using trn::Setting;

struct Engine::StepRun : rec::Step {
  bool passed() const { return outcome == rec::kPass; }
  void fail(const std::string &reason) {
    outcome = rec::kFail;
    why += (why.empty() ? "" : "; ") + reason;
  }
};

namespace {

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

trn::Clock::time_point after_seconds(double s) {
  return trn::Clock::now() +
         std::chrono::duration_cast<trn::Clock::duration>(std::chrono::duration<double>(s));
}

long ms_since(std::chrono::steady_clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - t)
                               .count());
}

constexpr const char *kHungUp = "the port hung up";

}  // namespace

Engine::Engine(EngineOptions options, Observer &observer)
    : options_(std::move(options)), observer_(observer), plan_(options_.plan),
      results_(plan_.steps().size()), saved_(trn::settings().size(), -1) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Engine::~Engine() {
  if (wake_fd_ >= 0) close(wake_fd_);
}

void Engine::wake() {
  if (wake_fd_ < 0) return;
  const uint64_t one = 1;
  ssize_t n;
  do n = ::write(wake_fd_, &one, sizeof one);
  while (n < 0 && errno == EINTR);
}

void Engine::drain_wake() {
  uint64_t count;
  if (wake_fd_ >= 0) while (::read(wake_fd_, &count, sizeof count) > 0) {
    }
}

void Engine::abort(const std::string &reason) {
  {
    std::lock_guard<std::mutex> lock(m_);
    if (reason_.empty()) reason_ = reason;
    stop_.store(true);
  }
  cv_.notify_all();
  wake();
}

std::string Engine::stop_reason() const {
  std::lock_guard<std::mutex> lock(m_);
  return reason_.empty() ? "interrupted" : reason_;
}

bool Engine::answer(unsigned prompt, Answer a) {
  {
    std::lock_guard<std::mutex> lock(m_);
    if (prompt == 0 || prompt != prompt_ || answer_) return false;
    answer_ = a;
  }
  cv_.notify_all();
  wake();
  return true;
}

unsigned Engine::open_prompt(Prompt::Kind kind, const std::string &step, const std::string &text,
                             double timeout_s) {
  drain_wake();
  Prompt p;
  {
    std::lock_guard<std::mutex> lock(m_);
    prompt_ = ++last_prompt_;
    answer_.reset();
    p = Prompt{prompt_, kind, step, text, timeout_s};
  }
  observer_.prompt(p);
  return p.id;
}

std::optional<Answer> Engine::take_answer() {
  std::lock_guard<std::mutex> lock(m_);
  std::optional<Answer> a;
  a.swap(answer_);
  return a;
}

void Engine::close_prompt() {
  std::lock_guard<std::mutex> lock(m_);
  prompt_ = 0;
  answer_.reset();
}

template <class Body>
void Engine::step(size_t slot, Body body, bool interruptible) {
  if (interruptible && stop_.load()) throw Stopped{false};
  StepRun st;
  st.name = plan_.steps()[slot].name;
  st.outcome = rec::kPass;
  st.start_ms = ms_since(begin_);
  observer_.step_started(slot, st.name);
  std::optional<Stopped> stopped;
  try {
    body(st);
  } catch (const Stopped &s) {
    stopped = s;
    st.fail(s.hung_up ? kHungUp : stop_reason());
  }
  close_prompt();
  st.ms = ms_since(begin_) - st.start_ms;
  results_[slot] = st;
  observer_.step_finished(slot, st);
  if (stopped) throw *stopped;
}

bool Engine::exchange(const unsigned char command[7], unsigned char reply[7],
                      const std::string &what, StepRun &st, bool interruptible) {
  trn::Outcome outcome = port_->exchange(command, reply, interruptible);
  st.tries += port_->tries();
  if (outcome == trn::Outcome::Ok) return true;
  if (outcome == trn::Outcome::Closed) throw Stopped{true};
  if (outcome == trn::Outcome::Interrupted) throw Stopped{false};
  st.fail(what + ": " + port_->tries_text(outcome));
  return false;
}

bool Engine::read(const Setting &s, uint8_t *value, StepRun &st, bool interruptible) {
  unsigned char command[7], reply[7];
  trn::read_request(s, command);
  if (!exchange(command, reply, std::string(s.name) + " read", st, interruptible)) return false;
  *value = trn::reply_value(reply);
  return true;
}

bool Engine::write(const Setting &s, uint8_t value, StepRun &st, bool interruptible) {
  unsigned char command[7], reply[7];
  trn::write_request(s, value, command);
  return exchange(command, reply, std::string(s.name) + " write", st, interruptible);
}

// The reply's value byte, or null when there was none.  From the moment
// "off" may have gone out, restore turns the backlight on again.
Json Engine::set_backlight(bool on, StepRun &st, bool interruptible) {
  unsigned char command[7], reply[7];
  trn::backlight_request(on, command);
  touched_ = true;
  backlight_off_ = backlight_off_ || !on;
  if (!exchange(command, reply, on ? "backlight on" : "backlight off", st, interruptible))
    return Json();
  if (on) backlight_off_ = false;
  return reply[4];
}

void Engine::identify(StepRun &st) {
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
  if (!q742) st.fail("the board is a " + model_ + ", not a Q742");
}

void Engine::save(StepRun &st) {
  st.read = Json::object();
  const auto &table = trn::settings();
  for (size_t i = 0; i < table.size(); ++i) {
    uint8_t value;
    if (!read(table[i], &value, st)) continue;
    saved_[i] = value;
    st.read[table[i].name] = json_value(table[i], value);
  }
  if (!earlier_) return;
  // What the board holds now may be an earlier run's test values: the
  // settings that run saved are the unit's own.
  for (size_t i = 0; i < table.size(); ++i) {
    uint8_t value;
    const auto it = earlier_->values.find(table[i].name);
    if (it != earlier_->values.end() && byte_of(table[i], *it, &value)) saved_[i] = value;
  }
  const std::string said = kRestoringEarlier + earlier_->run_id + " of " + earlier_->started;
  st.why = st.why.empty() ? said : said + "; " + st.why;
  observer_.notice(Notice::Earlier, said);
}

void Engine::test_setting(size_t i, StepRun &st) {
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

void Engine::backlight(StepRun &st) {
  st.written = Json::array({"off", "on"});
  st.read = Json::array();
  for (bool on : {false, true}) st.read.push_back(set_backlight(on, st));
}

// The output is set (and, for a setting, read back), then the operator says
// whether it looks so.  The answer is what the step read.
void Engine::check(const Check &c, StepRun &st) {
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
  const double limit = options_.answer_timeout_s;
  open_prompt(Prompt::Kind::Check, st.name, c.question, limit);
  const auto deadline = after_seconds(limit);
  std::optional<Answer> got;
  {
    // The stop may come from a signal, which wakes no condition variable:
    // it is looked at every 50 ms.
    std::unique_lock<std::mutex> lock(m_);
    while (!answer_ && !stop_.load() && trn::Clock::now() < deadline)
      cv_.wait_until(lock, std::min(deadline, trn::Clock::now() + std::chrono::milliseconds(50)));
    got = answer_;
  }
  if (!got && stop_.load()) throw Stopped{false};
  if (!got) {
    char why[64];
    snprintf(why, sizeof why, "no answer within %g s", limit);
    st.fail(why);
  } else if (*got == Answer::Yes) {
    st.read = "yes";
  } else if (*got == Answer::EndOfInput) {
    st.fail("no answer: end of input");
  } else {
    st.read = "no";
    st.fail("the operator answered no");
  }
}

// Not interruptible: a second stop must not leave the board in test values.
void Engine::restore(StepRun &st) {
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

void Engine::button(const trn::Input &in, StepRun &st) {
  // Only what happens after the prompt counts.
  status_->discard();
  const char *verb = in.jack ? "plug and unplug" : "press and release";
  const double limit = options_.button_timeout_s;
  open_prompt(Prompt::Kind::Button, st.name, std::string(verb) + " " + in.name, limit);
  const auto deadline = after_seconds(limit);
  st.read = Json::array();
  bool was_active = false;
  for (;;) {
    unsigned char frame[7];
    bool woken = false;
    trn::Collected what = status_->next(frame, deadline, wake_fd_, &woken);
    if (woken) {
      drain_wake();
      if (take_answer() == Answer::CanNot) {
        st.fail(std::string("the operator could not ") + (in.jack ? "plug it" : "press it"));
        return;
      }
      continue;  // an abort is seen by the next wait
    }
    if (what == trn::Collected::Closed) throw Stopped{true};
    if (what == trn::Collected::Interrupted) throw Stopped{false};
    if (what == trn::Collected::Timeout) {
      char why[64];
      snprintf(why, sizeof why, "not %s within %g s",
               was_active ? (in.jack ? "unplugged" : "released") : in.jack ? "plugged" : "pressed",
               limit);
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

void Engine::run_step(size_t slot) {
  const PlannedStep &p = plan_.steps()[slot];
  switch (p.kind) {
    case StepKind::Identify: return step(slot, [&](StepRun &st) { identify(st); });
    case StepKind::Save:
      step(slot, [&](StepRun &st) { save(st); });
      if (on_saved_) on_saved_(*results_[slot], static_cast<int>(slot) + 1);
      return;
    case StepKind::Setting: return step(slot, [&](StepRun &st) { test_setting(p.index, st); });
    case StepKind::Backlight: return step(slot, [&](StepRun &st) { backlight(st); });
    case StepKind::Check:
      return step(slot, [&](StepRun &st) { check(Plan::check(p.index), st); });
    case StepKind::Restore: return step(slot, [&](StepRun &st) { restore(st); }, false);
    case StepKind::Button:
      return step(slot, [&](StepRun &st) { button(trn::inputs()[p.index], st); });
  }
}

void Engine::run(rec::Run &run) {
  begin_ = std::chrono::steady_clock::now();
  run.plan = plan_.version();
  observer_.run_started(run, plan_);
  PortSettings settings = options_.port;
  settings.stop = &stop_;
  std::unique_ptr<Port> port;
  try {
    port = std::make_unique<Port>(settings);
  } catch (const PortUnusable &e) {
    // The station could not reach the unit: that is the run's record.
    complete(run, rec::kError, e.what());
  }
  if (port) {
    port_ = port.get();
    StatusStream status(*port);
    status_ = &status;
    std::string outcome = rec::kFail;
    std::string reason;  // why the run ended early or failed as a whole
    const auto &steps = plan_.steps();
    try {
      run_step(0);
      if (results_[0]->outcome == rec::kPass) {
        for (size_t slot = 1; slot < steps.size(); ++slot) run_step(slot);
      } else {
        reason = results_[0]->why;  // the test stops at a failed identify
      }
      size_t passed = 0;
      for (const auto &r : results_) passed += r && r->outcome == rec::kPass ? 1 : 0;
      if (passed == steps.size()) outcome = rec::kPass;
      // A stop that came during the last steps: the settings are back
      // already, but the run was stopped all the same.
      if (stop_.load()) throw Stopped{false};
    } catch (const Stopped &s) {
      if (s.hung_up) {
        reason = kHungUp;
        outcome = rec::kError;
        observer_.notice(Notice::HungUp, port->path());
      } else {
        reason = stop_reason();
        outcome = rec::kAborted;
        if (touched_) {
          observer_.notice(Notice::Restoring, reason);
          try {
            run_step(plan_.slot_of(StepKind::Restore));
          } catch (const Stopped &) {
            observer_.notice(Notice::NotRestored, port->path());
          }
        }
      }
    }
    status_ = nullptr;
    port_ = nullptr;
    complete(run, outcome, reason);
  }
  observer_.run_finished(run);
  if (stop_.load() && (run.outcome == rec::kPass || run.outcome == rec::kFail)) {
    run.outcome = rec::kAborted;
    run.reason = stop_reason();
  }
}

void Engine::complete(rec::Run &run, const std::string &outcome, const std::string &reason) const {
  run.device = options_.port.device;
  run.ended = rec::utc_now();
  run.duration_ms = ms_since(begin_);
  run.outcome = outcome;
  run.reason = reason;
  run.board = board_;
  run.model = model_;
  run.firmware = firmware_;
  run.planned = static_cast<int>(plan_.steps().size());
  run.passed = 0;
  run.steps.clear();
  for (size_t slot = 0; slot < plan_.steps().size(); ++slot) {
    if (results_[slot]) {
      run.steps.push_back(*results_[slot]);
      run.passed += results_[slot]->outcome == rec::kPass ? 1 : 0;
      continue;
    }
    rec::Step skipped;
    skipped.name = plan_.steps()[slot].name;
    skipped.outcome = rec::kSkipped;
    run.steps.push_back(skipped);
  }
}

bool wrong_model(const rec::Run &run) {
  unsigned b[7];
  if (run.board.empty() ||
      sscanf(run.board.c_str(), "%x %x %x %x %x %x %x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5],
             &b[6]) != 7)
    return false;
  return !trn::is_q742(static_cast<uint8_t>(b[3]), static_cast<uint8_t>(b[4]));
}

bool port_unusable(const rec::Run &run) {
  if (run.outcome != rec::kError) return false;
  for (const rec::Step &s : run.steps)
    if (s.outcome != rec::kSkipped) return false;
  return true;
}

}  // namespace trn::station
