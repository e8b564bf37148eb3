// `trnctl station --web`: the slots and their state, the JSON interface and
// the page's routes.  Each scan starts a thread that tests one unit on its
// slot's fixture with an engine of its own; the engine's events change the
// slot's state, and every change goes to the open pages as one "state"
// event.  Prompts get ids that cannot be guessed, and the first answer to
// one wins.  The main thread waits for a signal or a run that could not be
// recorded, and ends the station then.
#include "station_web.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "http.h"
#include "output.h"
#include "push.h"
#include "records_cmd.h"
#include "store.h"
#include "text.h"
#include "unit.h"

std::vector<trn::web::StaticFile> station_page_files();

namespace trnctl {

namespace {

namespace rec = trn::records;
namespace st = trn::station;
namespace web = trn::web;
using Json = rec::Json;

constexpr size_t kMaxFixtures = 8;
constexpr size_t kHistory = 10;
constexpr size_t kMaxId = 256;         // a scanned id or an operator's name, in bytes
constexpr size_t kEndedPrompts = 4096;  // ids of ended prompts kept to tell "already answered"
const char *const kAbortedFromPage = "aborted from the page";

struct Fixture {
  std::string name, device;
};

// NAME=PATH, 1 to 8 times, names [A-Za-z0-9_-]{1,16}, names and paths
// unique; without any, one slot "1" on trnctl's port.
std::vector<Fixture> fixtures_of(const Options &o, const StationArgs &a) {
  if (a.fixtures.empty()) return {{"1", o.device}};
  if (o.device_origin.empty())
    throw Failure{kUsage, "-d and --fixture do not go together: each fixture names its port"};
  if (a.fixtures.size() > kMaxFixtures)
    throw Failure{kUsage, "--fixture: at most 8 fixtures"};
  static const std::regex name_rule("[A-Za-z0-9_-]{1,16}");
  std::vector<Fixture> out;
  for (const std::string &f : a.fixtures) {
    const size_t eq = f.find('=');
    Fixture fx;
    if (eq != std::string::npos) fx = {f.substr(0, eq), f.substr(eq + 1)};
    if (eq == std::string::npos || !std::regex_match(fx.name, name_rule) || fx.device.empty())
      throw Failure{kUsage, "--fixture: " + shown(f) +
                                " is not NAME=PATH (NAME: 1 to 16 of A-Z a-z 0-9 _ -)"};
    for (const Fixture &other : out)
      if (other.name == fx.name || other.device == fx.device)
        throw Failure{kUsage, "--fixture: " + shown(f) + ": its name or port is given twice"};
    out.push_back(fx);
  }
  return out;
}

// HOST:PORT, the port 0 to 65535 (0: any free port).
void parse_listen(const std::string &text, std::string *host, int *port) {
  const size_t colon = text.rfind(':');
  const std::string p = colon == std::string::npos ? "" : text.substr(colon + 1);
  const bool digits =
      !p.empty() && p.size() <= 5 && p.find_first_not_of("0123456789") == std::string::npos;
  if (colon == std::string::npos || colon == 0 || !digits || std::atol(p.c_str()) > 65535)
    throw Failure{kUsage, "--listen: " + shown(text) + " is not HOST:PORT"};
  *host = text.substr(0, colon);
  *port = std::atoi(p.c_str());
}

std::string trimmed(const std::string &s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

web::Response json_answer(int status, const Json &j) {
  return web::json_response(json_text(j), status);
}
web::Response ok() { return json_answer(200, {{"ok", true}}); }
web::Response refused(int status, const std::string &why) {
  return json_answer(status, {{"error", why}});
}

// The JSON object of a POST's body, or a 400.
bool body_object(const web::Request &q, Json *out, web::Response *bad) {
  try {
    *out = Json::parse(q.body);
  } catch (const std::exception &) {
    *bad = refused(400, "the body is not JSON");
    return false;
  }
  if (!out->is_object()) {
    *bad = refused(400, "the body is not a JSON object");
    return false;
  }
  return true;
}

std::string text_field(const Json &j, const char *key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

struct StepView {
  std::string name, outcome;  // pending, running, pass, fail, skipped
};

struct OpenPrompt {
  std::string id;  // the page's: random
  unsigned engine_id;
  st::Prompt::Kind kind;
  std::string text;
  trn::Clock::time_point opened, deadline;
};

struct Slot {
  Fixture fixture;
  std::unique_ptr<st::Records> records;  // its own connection to the station's database
  std::string state = "idle";  // idle testing prompt pass fail error aborted
  std::string dut, step, notice;
  std::vector<StepView> steps;
  std::optional<OpenPrompt> prompt;
  Json verdict, previous;  // null when none
  std::deque<Json> history;
  bool busy = false;  // a unit under test (its thread runs)
  bool abort_wanted = false;
  std::string abort_reason;
  st::Engine *engine = nullptr;
  std::thread worker;
};

class Station;

// One run's events, into its slot.
class SlotObserver : public st::Observer {
 public:
  SlotObserver(Station &station, size_t slot) : station_(station), slot_(slot) {}
  void run_started(const rec::Run &, const st::Plan &plan) override;
  void step_started(size_t i, const std::string &name) override;
  void step_finished(size_t i, const rec::Step &step) override;
  void prompt(const st::Prompt &p) override;

 private:
  Station &station_;
  size_t slot_;
};

class Station {
 public:
  Station(const Options &o, const StationSetup &setup, const std::string &db,
          std::vector<Fixture> fixtures, bool restore_from_record)
      : o_(o), setup_(setup), operator_(setup.operator_name) {
    for (Fixture &f : fixtures) {
      slots_.emplace_back();
      slots_.back().fixture = std::move(f);
      slots_.back().records = std::make_unique<st::Records>(db, setup.station);
      slots_.back().records->restore_from_record = restore_from_record;
      if (slots_.size() == 1) abandoned_ = slots_.back().records->abandoned();
    }
    count_today(*slots_.front().records);
  }
  ~Station() { join_all(); }

  int abandoned() const { return abandoned_; }
  void attach(web::EventHub *hub, rec::Pusher *pusher) {
    std::lock_guard<std::mutex> lock(m_);
    hub_ = hub;
    pusher_ = pusher;
    publish_locked();
  }

  web::Response handle(const web::Request &q);

  // Ends every run under way with this reason; no new one starts.
  void abort_all(const std::string &reason) {
    std::lock_guard<std::mutex> lock(m_);
    stopping_ = true;
    for (Slot &s : slots_) abort_locked(s, reason);
  }
  void join_all() {
    for (size_t i = 0; i < slots_.size(); ++i) {
      std::thread t;
      {
        std::lock_guard<std::mutex> lock(m_);
        t = std::move(slots_[i].worker);
      }
      if (t.joinable()) t.join();
    }
  }
  // Why the station must end (a run that could not be recorded); empty
  // while it may go on.
  std::string fatal() {
    std::lock_guard<std::mutex> lock(m_);
    return fatal_;
  }
  void set_push_waiting(long waiting) {
    std::lock_guard<std::mutex> lock(m_);
    if (waiting == push_waiting_) return;
    push_waiting_ = waiting;
    publish_locked();
  }

  // From the slot's observer.
  template <class Change>
  void change(size_t i, Change f) {
    std::lock_guard<std::mutex> lock(m_);
    f(slots_[i]);
    publish_locked();
  }
  void prompt_opened(size_t i, const st::Prompt &p) {
    std::lock_guard<std::mutex> lock(m_);
    Slot &s = slots_[i];
    close_prompt_locked(s);
    const auto now = trn::Clock::now();
    s.prompt = OpenPrompt{web::random_hex(16), p.id, p.kind, p.text, now,
                          now + std::chrono::duration_cast<trn::Clock::duration>(
                                    std::chrono::duration<double>(p.timeout_s))};
    s.state = "prompt";
    publish_locked();
  }
  void close_prompt_locked(Slot &s) {
    if (!s.prompt) return;
    if (ended_prompts_.size() >= kEndedPrompts) ended_prompts_.clear();
    ended_prompts_.insert(s.prompt->id);
    s.prompt.reset();
    if (s.state == "prompt") s.state = "testing";
  }

 private:
  void abort_locked(Slot &s, const std::string &reason) {
    if (!s.busy) return;
    if (s.engine) s.engine->abort(reason);
    else if (!s.abort_wanted) {
      s.abort_wanted = true;  // the engine is not made yet: it is told as it starts
      s.abort_reason = reason;
    }
  }

  web::Response scan(const web::Request &q, const std::string &name);
  web::Response answer(const web::Request &q, const std::string &id);
  web::Response abort_slot(const std::string &name);
  web::Response set_operator(const web::Request &q);
  void run_unit(size_t i, const std::string &dut);
  void count_today(st::Records &records);

  Slot *find_locked(const std::string &name) {
    for (Slot &s : slots_)
      if (s.fixture.name == name) return &s;
    return nullptr;
  }
  Json state_locked() const;
  void publish_locked() {
    if (hub_) hub_->publish("state", json_text(state_locked()));
  }

  const Options &o_;
  const StationSetup &setup_;
  std::mutex m_;
  std::deque<Slot> slots_;  // never moved once made
  std::string operator_;
  int abandoned_ = 0;
  int today_units_ = 0;
  double today_fpy_ = -1;
  long push_waiting_ = -1;  // -1: the pushes go (or there is no line database)
  std::set<std::string> ended_prompts_;
  std::string fatal_;
  bool stopping_ = false;
  web::EventHub *hub_ = nullptr;
  rec::Pusher *pusher_ = nullptr;
};

void SlotObserver::run_started(const rec::Run &, const st::Plan &plan) {
  station_.change(slot_, [&](Slot &s) {
    s.steps.clear();
    for (const std::string &n : plan.names()) s.steps.push_back({n, "pending"});
  });
}
void SlotObserver::step_started(size_t i, const std::string &name) {
  station_.change(slot_, [&](Slot &s) {
    s.step = name;
    if (i < s.steps.size()) s.steps[i].outcome = "running";
  });
}
void SlotObserver::step_finished(size_t i, const rec::Step &step) {
  station_.change(slot_, [&](Slot &s) {
    station_.close_prompt_locked(s);  // answered, or out of time
    if (i < s.steps.size()) s.steps[i].outcome = step.outcome;
  });
}
void SlotObserver::prompt(const st::Prompt &p) { station_.prompt_opened(slot_, p); }

Json Station::state_locked() const {
  Json slots = Json::array();
  const auto now = trn::Clock::now();
  for (const Slot &s : slots_) {
    Json steps = Json::array();
    for (const StepView &v : s.steps) steps.push_back({{"name", v.name}, {"outcome", v.outcome}});
    Json prompt;
    if (s.prompt) {
      const double left = std::chrono::duration<double>(s.prompt->deadline - now).count();
      prompt = {{"id", s.prompt->id},
                {"kind", s.prompt->kind == st::Prompt::Kind::Check ? "visual" : "button"},
                {"text", s.prompt->text},
                {"seconds_left", std::max(0.0, std::round(left * 10) / 10)}};
    }
    slots.push_back({{"name", s.fixture.name},
                     {"port", s.fixture.device},
                     {"state", s.state},
                     {"dut", s.dut.empty() ? Json() : Json(s.dut)},
                     {"step", s.step.empty() ? Json() : Json(s.step)},
                     {"steps", steps},
                     {"prompt", prompt},
                     {"verdict", s.verdict},
                     {"history", Json(std::vector<Json>(s.history.begin(), s.history.end()))},
                     {"previous", s.previous},
                     {"notice", s.notice.empty() ? Json() : Json(s.notice)}});
  }
  return {{"station", setup_.station},
          {"operator", operator_},
          {"today", {{"units", today_units_},
                     {"first_pass_yield", today_fpy_ < 0 ? Json() : Json(today_fpy_)}}},
          {"push", push_waiting_ < 0 ? Json() : Json{{"waiting", push_waiting_}}},
          {"slots", slots}};
}

// Today's units and first-pass yield at this station (UTC day).
void Station::count_today(st::Records &records) {
  rec::YieldFilter f;
  rec::parse_since(utc_text("%Y-%m-%d"), &f.since);
  f.station = setup_.station;
  int units = 0;
  double fpy = -1;
  try {
    const rec::YieldGroup g = rec::compute_yield(records.store().yield_input(f), rec::GroupBy::All, f).front();
    units = g.units;
    fpy = g.first_pass_yield();
  } catch (const rec::StoreError &) {
    return;  // the counts stay as they were; the run itself tells of a database fault
  }
  std::lock_guard<std::mutex> lock(m_);
  today_units_ = units;
  today_fpy_ = fpy;
}

web::Response Station::handle(const web::Request &q) {
  const std::string &p = q.path;
  if (q.method == "POST") {
    const std::string slots = "/api/slots/", prompts = "/api/prompts/";
    auto tail = [&](const std::string &prefix, const std::string &end, std::string *middle) {
      if (p.compare(0, prefix.size(), prefix) != 0 || p.size() <= prefix.size() + end.size() ||
          p.compare(p.size() - end.size(), end.size(), end) != 0)
        return false;
      *middle = p.substr(prefix.size(), p.size() - prefix.size() - end.size());
      return middle->find('/') == std::string::npos;
    };
    std::string name;
    if (tail(slots, "/scan", &name)) return scan(q, name);
    if (tail(slots, "/abort", &name)) return abort_slot(name);
    if (tail(prompts, "/answer", &name)) return answer(q, name);
    if (p == "/api/operator") return set_operator(q);
    return refused(404, "no such path");
  }
  if (p == "/api/state") {
    std::lock_guard<std::mutex> lock(m_);
    return json_answer(200, state_locked());
  }
  if (p == "/api/events") {
    web::Response r;
    r.event_stream = true;
    return r;
  }
  // Whether this page may change anything: only the station PC may.
  if (p == "/api/session") return json_answer(200, {{"controls", q.from_loopback}});
  return web::text_response(404, "no such page");
}

web::Response Station::scan(const web::Request &q, const std::string &name) {
  Json body;
  web::Response bad;
  if (!body_object(q, &body, &bad)) return bad;
  const std::string dut = trimmed(text_field(body, "dut"));
  std::lock_guard<std::mutex> lock(m_);
  Slot *s = find_locked(name);
  if (!s) return refused(404, "no such slot");
  if (s->busy) return refused(409, "slot is busy");
  if (stopping_) return refused(409, "the station is ending");
  if (dut.empty() || dut.size() > kMaxId) return refused(400, "an id of 1 to 256 bytes is needed");
  if (!setup_.matches(dut)) {
    s->notice = "'" + dut + "' does not match --dut-pattern " + setup_.dut_pattern + ": scan it again";
    publish_locked();
    return refused(400, s->notice);
  }
  for (const Slot &other : slots_)
    if (other.busy && other.dut == dut)
      return refused(409, "'" + dut + "' is under test in slot " + other.fixture.name);
  if (s->worker.joinable()) s->worker.join();  // its run has ended: it only returns
  s->busy = true;
  s->abort_wanted = false;
  s->state = "testing";
  s->dut = dut;
  s->step.clear();
  s->notice.clear();
  s->steps.clear();
  s->verdict = Json();
  s->previous = Json();
  size_t i = 0;
  while (&slots_[i] != s) ++i;
  s->worker = std::thread([this, i, dut] { run_unit(i, dut); });
  publish_locked();
  return ok();
}

web::Response Station::answer(const web::Request &q, const std::string &id) {
  Json body;
  web::Response bad;
  if (!body_object(q, &body, &bad)) return bad;
  const std::string a = text_field(body, "answer");
  std::lock_guard<std::mutex> lock(m_);
  Slot *s = nullptr;
  for (Slot &each : slots_)
    if (each.prompt && each.prompt->id == id) s = &each;
  if (!s) {
    if (ended_prompts_.count(id)) return refused(409, "already answered");
    return refused(404, "no such prompt");
  }
  st::Answer given;
  if (s->prompt->kind == st::Prompt::Kind::Check) {
    if (a != "yes" && a != "no") return refused(400, "a visual check is answered yes or no");
    given = a == "yes" ? st::Answer::Yes : st::Answer::No;
  } else {
    if (a != "cant") return refused(400, "a button step is answered cant (or by the button)");
    given = st::Answer::CanNot;
  }
  const bool taken = s->engine && s->engine->answer(s->prompt->engine_id, given);
  close_prompt_locked(*s);
  publish_locked();
  return taken ? ok() : refused(409, "already answered");
}

web::Response Station::abort_slot(const std::string &name) {
  std::lock_guard<std::mutex> lock(m_);
  Slot *s = find_locked(name);
  if (!s) return refused(404, "no such slot");
  if (!s->busy) return refused(409, "the slot is not testing");
  abort_locked(*s, kAbortedFromPage);
  return ok();
}

web::Response Station::set_operator(const web::Request &q) {
  Json body;
  web::Response bad;
  if (!body_object(q, &body, &bad)) return bad;
  const std::string name = trimmed(text_field(body, "operator"));
  if (name.empty() || name.size() > kMaxId) return refused(400, "a name of 1 to 256 bytes is needed");
  std::lock_guard<std::mutex> lock(m_);
  operator_ = name;
  publish_locked();
  return ok();
}

// The thread of one unit: the same run, record, push and line on standard
// output as the terminal station's.
void Station::run_unit(size_t i, const std::string &dut) {
  Slot &s = slots_[i];  // its fixture and records are not changed while the slot is busy
  rec::Run run;
  run.dut = dut;
  run.station = setup_.station;
  run.version = TRNCTL_VERSION;
  run.options = setup_.options;
  run.options["fixture"] = s.fixture.name;
  run.device = s.fixture.device;
  Json previous;
  try {
    for (const rec::Run &earlier : s.records->store().show(dut))
      if (earlier.dut == dut && !earlier.outcome.empty()) {
        Json failed = Json::array();
        for (const rec::Step &step : earlier.steps)
          if (step.outcome == rec::kFail) failed.push_back(step.name);
        previous = {{"outcome", earlier.outcome}, {"try", earlier.try_number},
                    {"ended", earlier.ended}, {"failed", failed}};
      }
  } catch (const rec::StoreError &) {
    // Only the page's hint is missing; begin() below tells of a database fault.
  }
  st::EngineOptions options = setup_.engine;
  options.port.device = s.fixture.device;
  if (s.fixture.device != o_.device) options.port.origin.clear();  // a --fixture's own
  SlotObserver observer(*this, i);
  std::string not_recorded;
  {
    st::Engine engine(options, observer);
    {
      std::lock_guard<std::mutex> lock(m_);
      run.operator_name = operator_;
      s.previous = previous;
      s.engine = &engine;
      if (s.abort_wanted) engine.abort(s.abort_reason);
      publish_locked();
    }
    try {
      const st::UnitResult r = st::test_unit(engine, run, s.records.get(), [this](const st::UnitResult &u) {
        if (u.not_recorded.empty() && pusher_) pusher_->kick();
      });
      if (!r.not_recorded.empty()) not_recorded = "records: " + r.not_recorded + ": this run was not recorded";
    } catch (const rec::StoreError &e) {
      not_recorded = std::string("records: ") + e.what() + ": nothing tested";
    }
    std::lock_guard<std::mutex> lock(m_);
    s.engine = nullptr;
  }
  if (not_recorded.empty() || !run.outcome.empty()) count_today(*s.records);

  std::lock_guard<std::mutex> lock(m_);
  close_prompt_locked(s);
  if (!run.outcome.empty() && run.try_number > 0) {
    if (setup_.json)
      print_json(rec::to_json(run));
    else
      print_line(trn::terminal_text(run.dut) + " " + run.outcome + " " + std::to_string(run.try_number));
    fflush(stdout);
  }
  Json failed = Json::array();
  s.steps.clear();
  for (const rec::Step &step : run.steps) {
    s.steps.push_back({step.name, step.outcome});
    if (step.outcome == rec::kFail) failed.push_back(step.name);
  }
  const std::string outcome = run.outcome.empty() ? rec::kError : run.outcome;
  s.state = outcome;
  s.step.clear();
  s.verdict = {{"outcome", outcome}, {"dut", dut}, {"try", run.try_number}, {"failed", failed},
               {"reason", not_recorded.empty() ? run.reason : not_recorded},
               {"passed", run.passed}, {"planned", run.planned}};
  s.history.push_front({{"dut", dut}, {"outcome", outcome}, {"try", run.try_number},
                        {"ended", run.ended}});
  if (s.history.size() > kHistory) s.history.pop_back();
  if (!not_recorded.empty() && fatal_.empty()) fatal_ = not_recorded;
  s.busy = false;
  publish_locked();
}

std::string token_of(const StationArgs &a) {
  std::string why;
  if (!a.token_file.empty()) {
    std::string token = web::read_token_file(a.token_file, &why);
    if (token.empty()) throw Failure{kUsage, "--token-file: " + shown(a.token_file) + ": " + why};
    return token;
  }
  if (const char *env = getenv("TRN_WEB_TOKEN")) {
    if (std::strlen(env) < 16)
      throw Failure{kUsage, "TRN_WEB_TOKEN: the token is shorter than 16 characters"};
    return env;
  }
  return "";
}

}  // namespace

int run_station_web(const Options &o, const StationArgs &a, const StationSetup &setup) {
  const std::vector<Fixture> fixtures = fixtures_of(o, a);
  web::ServerConfig cfg;
  parse_listen(a.listen, &cfg.host, &cfg.port);
  cfg.names = a.hosts;
  cfg.cookie_prefix = "trn_station";
  cfg.token = token_of(a);
  if (cfg.token.empty() && !web::is_loopback(cfg.host))
    throw Failure{kUsage, "--listen: " + shown(cfg.host) + " is not the loopback: a token is "
                          "needed (--token-file FILE or TRN_WEB_TOKEN)"};
  cfg.post_allowed = [](const std::string &path) {
    return path.rfind("/api/slots/", 0) == 0 || path.rfind("/api/prompts/", 0) == 0 ||
           path == "/api/operator";
  };

  std::unique_ptr<Station> station;
  try {
    station = std::make_unique<Station>(o, setup, a.db, fixtures, !a.no_restore_from_record);
  } catch (const rec::StoreError &e) {
    throw Failure{kBoardFailed, std::string("records: ") + e.what()};
  }
  if (int n = station->abandoned())
    fprintf(stderr, "trnctl: %d run%s of station '%s' left open by a process that ended: "
                    "recorded as aborted\n", n, n == 1 ? "" : "s",
            trn::terminal_text(setup.station).c_str());

  std::vector<web::StaticFile> files = station_page_files();
  web::StaticFile page{};
  for (const web::StaticFile &f : files)
    if (std::string(f.path) == "/station.html") page = f;
  Station &s = *station;
  web::Server server(cfg, files, [&s, page](const web::Request &q) {
    if (q.path == "/" && q.method != "POST") {
      web::Response r;
      r.type = page.type;
      r.body.assign(reinterpret_cast<const char *>(page.data), page.size);
      return r;
    }
    return s.handle(q);
  });

  // The stop signals reach this thread alone: the server's, the push's and
  // the slots' threads start with them blocked.
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) sigaddset(&signals, sig);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::unique_ptr<rec::Pusher> pusher;
  if (!setup.line_db.empty()) {
    rec::PushLimits limits = rec::PushLimits::after_run();
    limits.stop = &stop_requested;
    pusher = std::make_unique<rec::Pusher>(a.db, setup.line_db, limits);
    pusher->kick();
  }
  s.attach(&server.events(), pusher.get());  // before the first request can come
  try {
    server.start();
  } catch (const web::WebError &e) {
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    throw Failure{kBoardFailed, std::string("station: ") + e.what()};
  }
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
  fprintf(stderr, "trnctl: station at http://%s:%d/\n", trn::terminal_text(cfg.host).c_str(),
          server.port());
  fflush(stderr);

  bool failing = false;
  std::string fatal;
  auto beat = std::chrono::steady_clock::now();
  while (!stop_requested.load() && (fatal = s.fatal()).empty()) {
    if (pusher) {
      for (const rec::PushReport &r : pusher->take_reports()) {
        const std::string said = push_message(r, failing);
        if (!said.empty()) fprintf(stderr, "trnctl: %s\n", said.c_str());
        failing = !r.error.empty();
        s.set_push_waiting(failing ? r.waiting : -1);
      }
    }
    if (std::chrono::steady_clock::now() - beat > std::chrono::seconds(15)) {
      server.events().heartbeat();  // finds the pages that went away
      beat = std::chrono::steady_clock::now();
    }
    struct timespec pause = {0, 50 * 1000 * 1000};
    nanosleep(&pause, nullptr);  // a signal cuts it short
  }
  s.abort_all(fatal.empty() ? "interrupted" : "the station stopped: a run could not be recorded");
  s.join_all();
  server.stop(1.0);
  if (pusher) pusher->finish(std::chrono::seconds(1));
  if (!fatal.empty()) throw Failure{kBoardFailed, fatal};
  return kInterrupted;
}

}  // namespace trnctl
