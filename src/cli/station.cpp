// `trnctl station`: prompts for each unit's id on standard error, opens and
// locks the port for that unit alone (the operator changes cables at the
// prompt), runs the self-test with the operator's checks and the button
// steps, shows the verdict large, records the run and prompts again.
// Standard output carries one line per finished run (or its JSON record),
// for a script that watches the station; everything for the operator goes to
// standard error.  With a line database, the recorded runs are pushed to it
// from a thread of their own while the operator goes on.
#include "station.h"

#include <poll.h>
#include <regex.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "output.h"
#include "push.h"
#include "records_cmd.h"
#include "selftest.h"
#include "station_web.h"
#include "store.h"
#include "text.h"
#include "unit.h"

namespace trnctl {

namespace {

namespace rec = trn::records;
namespace st = trn::station;

const char *const kTooLong = "trnctl: the line is longer than 4096 bytes: refused\n";

// Seconds as a decimal number, more than 0 and at most an hour.
double seconds_option(const char *name, const std::string &text) {
  char *end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  const bool ok = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos &&
                  end && *end == '\0' && std::isfinite(v) && v > 0 && v <= 3600;
  if (!ok)
    throw Failure{kUsage, std::string(name) + ": " + shown(text) +
                              " is not a number of seconds (more than 0, at most 3600)"};
  return v;
}

std::string trimmed(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Standard input, read a line at a time with a deadline and the interrupt
// flag, without stdio's buffer.  On a terminal, what was typed before a
// prompt is thrown away, so that an Enter pressed during a step answers no
// later question; from a pipe or a file, lines are taken in order.  A line
// longer than kMaxLine bytes is refused whole as it comes, never held.
class Console {
 public:
  enum class Got { Line, Timeout, End, Interrupted, TooLong };
  static constexpr size_t kMaxLine = 4096;

  explicit Console(int fd) : fd_(fd), terminal_(isatty(fd) == 1) {}

  void forget_typeahead() {
    if (!terminal_) return;
    tcflush(fd_, TCIFLUSH);
    buffer_.clear();
    skipping_ = false;
  }

  // The next line without its end; deadline null: no time limit.  cancel
  // (when given) ends the wait as the interrupt flag does, looked at every
  // 50 ms.  unended: at the end of input, the last line may lack its end.
  Got read_line(std::string *line, const trn::Clock::time_point *deadline,
                const std::atomic<bool> *cancel = nullptr, bool unended = true) {
    for (;;) {
      const Got took = take(line);
      if (took != Got::Timeout) return took;
      if (ended_) {
        if (skipping_) {
          skipping_ = false;
          return Got::TooLong;
        }
        if (buffer_.empty() || !unended) return Got::End;
        line->swap(buffer_);  // the last line had no end
        buffer_.clear();
        return Got::Line;
      }
      if (stop_requested.load() || (cancel && cancel->load())) return Got::Interrupted;
      int wait_ms = cancel ? 50 : 1000;
      if (deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              *deadline - trn::Clock::now()).count();
        if (left <= 0) return Got::Timeout;
        wait_ms = static_cast<int>(std::min<long long>(left + 1, wait_ms));
      }
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, wait_ms) > 0) fill();  // EINTR: the flags are looked at above
    }
  }

  bool ended() const { return ended_; }

 private:
  // One read of what is there.  The end of input (or a terminal that went
  // away) ends it for good.
  void fill() {
    char chunk[256];
    // At most one byte past the longest line is held.
    const size_t room = std::min(sizeof chunk, kMaxLine + 1 - buffer_.size());
    const ssize_t n = read(fd_, chunk, room);
    if (n > 0) buffer_.append(chunk, static_cast<size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN)) ended_ = true;
  }
  // A whole line (Line), the end of one too long (TooLong), or nothing yet
  // (Timeout).  The bytes of a line too long are dropped as they come.
  Got take(std::string *line) {
    const size_t nl = buffer_.find('\n');
    if (skipping_) {
      if (nl == std::string::npos) {
        buffer_.clear();
        return Got::Timeout;
      }
      buffer_.erase(0, nl + 1);
      skipping_ = false;
      return Got::TooLong;
    }
    if (nl == std::string::npos) {
      if (buffer_.size() > kMaxLine) {  // no end within the limit
        buffer_.clear();
        skipping_ = true;
      }
      return Got::Timeout;
    }
    *line = buffer_.substr(0, nl);
    buffer_.erase(0, nl + 1);
    return Got::Line;
  }

  int fd_;
  bool terminal_;
  bool ended_ = false;
  bool skipping_ = false;  // in a line too long, until its end
  std::string buffer_;
};

// A POSIX extended regular expression that must match the whole id.
class Pattern {
 public:
  explicit Pattern(const std::string &text) : given_(!text.empty()) {
    if (!given_) return;
    const int rc = regcomp(&re_, text.c_str(), REG_EXTENDED);
    if (rc != 0) {
      char why[160];
      regerror(rc, &re_, why, sizeof why);
      given_ = false;
      throw Failure{kUsage, "--dut-pattern: " + shown(text) + ": " + why};
    }
  }
  ~Pattern() {
    if (given_) regfree(&re_);
  }
  Pattern(const Pattern &) = delete;
  Pattern &operator=(const Pattern &) = delete;

  // The leftmost-longest match of an extended expression spans the whole
  // id when any match does.
  bool matches(const std::string &id) const {
    if (!given_) return true;
    regmatch_t m;
    return regexec(&re_, id.c_str(), 1, &m, 0) == 0 && m.rm_so == 0 &&
           static_cast<size_t>(m.rm_eo) == id.size();
  }

 private:
  bool given_;
  regex_t re_;
};

// The verdict's word in letters five lines high, readable across the bench.
struct Glyph {
  char letter;
  const char *rows[5];
};
const Glyph kGlyphs[] = {
    {'A', {" ### ", "#   #", "#####", "#   #", "#   #"}},
    {'B', {"#### ", "#   #", "#### ", "#   #", "#### "}},
    {'D', {"#### ", "#   #", "#   #", "#   #", "#### "}},
    {'E', {"#####", "#    ", "#### ", "#    ", "#####"}},
    {'F', {"#####", "#    ", "#### ", "#    ", "#    "}},
    {'I', {"#####", "  #  ", "  #  ", "  #  ", "#####"}},
    {'L', {"#    ", "#    ", "#    ", "#    ", "#####"}},
    {'O', {" ### ", "#   #", "#   #", "#   #", " ### "}},
    {'P', {"#### ", "#   #", "#### ", "#    ", "#    "}},
    {'R', {"#### ", "#   #", "#### ", "#  # ", "#   #"}},
    {'S', {" ####", "#    ", " ### ", "    #", "#### "}},
    {'T', {"#####", "  #  ", "  #  ", "  #  ", "  #  "}},
};

std::vector<std::string> big(const std::string &word) {
  std::vector<std::string> rows(5);
  for (char c : word)
    for (const Glyph &g : kGlyphs)
      if (g.letter == c)
        for (int r = 0; r < 5; ++r) rows[r] += std::string(rows[r].empty() ? "" : "  ") + g.rows[r];
  return rows;
}

// The banner on standard error: the word large, then what it means.  Green,
// red or yellow on a terminal.
void show_verdict(const rec::Run &run, bool colour) {
  std::string word, colour_code;
  std::vector<std::string> lines;
  const std::string who = run.dut + "  (try " + std::to_string(run.try_number) + ")";
  // The id and the reasons are shown escaped; the colour codes are the
  // program's own.
  if (run.outcome == rec::kPass) {
    word = "PASS";
    colour_code = "\033[1;32m";
    lines.push_back("PASS  " + who + ": all " + std::to_string(run.planned) + " steps passed");
  } else if (run.outcome == rec::kFail) {
    word = "FAIL";
    colour_code = "\033[1;31m";
    std::string failed;
    for (const rec::Step &st : run.steps)
      if (st.outcome == rec::kFail) failed += (failed.empty() ? "" : ", ") + st.name;
    lines.push_back("FAIL  " + who + ": the unit failed");
    lines.push_back("failed steps: " + failed);
    if (!run.reason.empty()) lines.push_back(run.reason);
  } else if (run.outcome == rec::kError) {
    word = "ERROR";
    colour_code = "\033[1;33m";
    lines.push_back("ERROR  " + who + ": a fixture or port fault, not the unit");
    lines.push_back(run.reason);
    lines.push_back("Do not scrap the unit: check the cable and the port, then test it again.");
  } else {
    word = "ABORTED";
    colour_code = "\033[1;33m";
    lines.push_back("ABORTED  " + who + ": the test was stopped (" + run.reason + ")");
  }
  std::vector<std::string> all = {""};
  for (std::string row : big(word)) {
    while (!row.empty() && row.back() == ' ') row.pop_back();
    all.push_back("  " + row);
  }
  all.push_back("");
  for (const std::string &l : lines) all.push_back("  " + l);
  all.push_back("");
  for (const std::string &l : all) {
    const std::string shown_line = trn::terminal_text(l);
    if (colour && !l.empty())
      fprintf(stderr, "%s%s\033[0m\n", colour_code.c_str(), shown_line.c_str());
    else
      fprintf(stderr, "%s\n", shown_line.c_str());
  }
  fflush(stderr);
}

// The station's view of a run: the steps and prompts on standard error, and
// the operator's answers read from standard input on a thread of their own
// while the engine waits (y/n for a check, Enter for a button the operator
// cannot work).
class StationView : public TerminalView {
 public:
  StationView(const Options &o, Console &console) : TerminalView(o, false, true), console_(console) {}
  ~StationView() override { stop_asking(); }

  void run_started(const rec::Run &run, const st::Plan &) override {
    fprintf(stderr, "%s: try %d on %s\n", trn::terminal_text(run.dut).c_str(), run.try_number,
            run.device.c_str());
  }
  void step_finished(size_t slot, const rec::Step &step) override {
    stop_asking();
    TerminalView::step_finished(slot, step);
  }
  void prompt(const st::Prompt &p) override {
    stop_asking();
    console_.forget_typeahead();
    if (p.kind == st::Prompt::Kind::Button) {
      TerminalView::prompt(p);
      asker_ = std::thread([this, p] { give_up(p); });
    } else {
      asker_ = std::thread([this, p] { ask(p); });
    }
  }
  void run_finished(const rec::Run &) override { stop_asking(); }

 private:
  // A check's question until it is answered, or until its time has passed
  // since it was first asked.
  void ask(const st::Prompt &p) {
    const auto deadline = trn::Clock::now() + std::chrono::duration_cast<trn::Clock::duration>(
                                                  std::chrono::duration<double>(p.timeout_s));
    for (;;) {
      fprintf(stderr, "%s [y/n] ", p.text.c_str());
      fflush(stderr);
      std::string line;
      const Console::Got got = console_.read_line(&line, &deadline, &cancel_);
      if (got != Console::Got::Line) fputc('\n', stderr);
      if (got == Console::Got::End) engine_->answer(p.id, st::Answer::EndOfInput);
      if (got == Console::Got::TooLong) fputs(kTooLong, stderr);
      if (got != Console::Got::Line && got != Console::Got::TooLong) return;
      std::string a = trimmed(line);
      for (char &c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (a == "y" || a == "yes") {
        engine_->answer(p.id, st::Answer::Yes);
        return;
      }
      if (a == "n" || a == "no") {
        engine_->answer(p.id, st::Answer::No);
        return;
      }
    }
  }
  // Enter during a button step: the operator cannot work it.  Once input
  // has ended, only the button can end the step.
  void give_up(const st::Prompt &p) {
    for (;;) {
      std::string line;
      const Console::Got got = console_.read_line(&line, nullptr, &cancel_, false);
      if (got == Console::Got::Line || got == Console::Got::TooLong) {
        engine_->answer(p.id, st::Answer::CanNot);
        return;
      }
      if (got != Console::Got::Timeout) return;
    }
  }
  void stop_asking() {
    if (!asker_.joinable()) return;
    cancel_.store(true);
    asker_.join();
    cancel_.store(false);
  }

  Console &console_;
  std::thread asker_;
  std::atomic<bool> cancel_{false};
};

// Pushes the station's runs to the line's database after each one (and the
// runs left waiting, at the start), and tells the operator, between units
// and at the end, of a push that failed and of the first that went after.
// Before the prompt it gives the push of the last run a moment (most take
// milliseconds, or fail at once), so that what it says comes with its unit;
// a slower one goes on while the operator does, and is told of later.
class LinePush {
 public:
  LinePush(const std::string &db, const std::string &url) {
    if (url.empty()) return;
    rec::PushLimits limits = rec::PushLimits::after_run();
    limits.stop = &stop_requested;
    pusher_ = std::make_unique<rec::Pusher>(db, url, limits);
    pusher_->kick();
  }
  // At the end, the push under way gets at most a second more; one still
  // stuck then (a server or name server that does not answer) is left
  // behind, its runs waiting in the outbox.
  ~LinePush() {
    if (!pusher_) return;
    pusher_->finish(std::chrono::seconds(1));
    report();
  }
  LinePush(const LinePush &) = delete;
  LinePush &operator=(const LinePush &) = delete;

  void after_run() {
    if (pusher_) pusher_->kick();
  }
  void tell() {
    if (!pusher_) return;
    pusher_->settle(std::chrono::seconds(1));
    report();
  }

 private:
  void report() {
    for (const rec::PushReport &r : pusher_->take_reports()) {
      const std::string said = push_message(r, failing_);
      if (!said.empty()) fprintf(stderr, "trnctl: %s\n", said.c_str());
      failing_ = !r.error.empty();
    }
    fflush(stderr);
  }

  std::unique_ptr<rec::Pusher> pusher_;
  bool failing_ = false;
};

}  // namespace

CLI::App *add_station_command(CLI::App &app, StationArgs &a) {
  CLI::App *s =
      app.add_subcommand("station", "The production line's loop: scan, test, verdict, record");
  s->add_option("--db", a.db, "The records database (default: $XDG_DATA_HOME/trnctl/records.db)")
      ->type_name("PATH");
  s->add_option("--station", a.station, "This station's name (default: the host name)")
      ->type_name("NAME");
  s->add_option("--operator", a.operator_name, "The operator (default: the login name)")
      ->type_name("NAME");
  s->add_option("--push", a.push,
                 "Push each recorded run to the line's database (default: TRN_RECORDS_URL); "
                 "no password in it")
      ->type_name("URL");
  s->add_option("--dut-pattern", a.dut_pattern,
                 "Ids must match this extended regular expression whole")
      ->type_name("REGEX");
  s->add_flag("--no-visual", a.no_visual, "Skip the operator's checks of LEDs and backlight");
  s->add_flag("--no-restore-from-record", a.no_restore_from_record,
              "Take the board's settings as the unit's own, even when its last run here was "
              "cut short");
  s->add_flag("--json", a.json, "Each run's JSON record on standard output");
  s->add_option("--answer-timeout", a.answer_timeout, "Time for each check's answer (30)")
      ->type_name("SECONDS");
  s->add_option("--button-timeout", a.button_timeout, "Time for each button (10)")
      ->type_name("SECONDS");
  s->add_flag("--web", a.web, "The station as a page in a browser, with several fixtures");
  s->add_option("--listen", a.listen, "The page's address and port (default: 127.0.0.1:8081)")
      ->type_name("HOST:PORT");
  s->add_option("--token-file", a.token_file,
                "The token browsers and scripts must show (else TRN_WEB_TOKEN)")
      ->type_name("FILE");
  s->add_option("--host", a.hosts, "A further host name the page is reached by")
      ->type_name("NAME");
  s->add_option("--fixture", a.fixtures, "A fixture of the page: its name and port (1 to 8)")
      ->type_name("NAME=PATH");
  a.command = s;
  return s;
}

int run_station(const Options &o, const StationArgs &a) {
  if (a.command->count("--db") > 0 && a.db.empty())
    throw Failure{kUsage, "--db: the path is empty"};
  check_local_db(a.db);
  const std::string line_db = line_database(a.push, a.command->count("--push") > 0);
  st::EngineOptions engine_settings = engine_options(o);
  engine_settings.plan.buttons = true;
  engine_settings.plan.checks = !a.no_visual;
  engine_settings.button_timeout_s = seconds_option("--button-timeout", a.button_timeout);
  engine_settings.answer_timeout_s = seconds_option("--answer-timeout", a.answer_timeout);
  const Pattern pattern(a.dut_pattern);
  const std::string station = a.station.empty() ? default_station() : a.station;
  const std::string operator_name = a.operator_name.empty() ? default_operator() : a.operator_name;
  const Json options = {{"timeout_ms", o.timeout_ms},
                        {"retries", o.retries},
                        {"buttons", true},
                        {"button_timeout_s", engine_settings.button_timeout_s},
                        {"visual", engine_settings.plan.checks},
                        {"answer_timeout_s", engine_settings.answer_timeout_s},
                        {"dut_pattern", a.dut_pattern.empty() ? Json() : Json(a.dut_pattern)}};
  if (a.web)
    return run_station_web(o, a, {engine_settings, options, station, operator_name, line_db,
                                  a.dut_pattern,
                                  [&pattern](const std::string &id) { return pattern.matches(id); },
                                  o.json || a.json});
  for (const char *web_only : {"--listen", "--token-file", "--host", "--fixture"})
    if (a.command->count(web_only) > 0)
      throw Failure{kUsage, std::string(web_only) + " needs --web"};

  std::unique_ptr<st::Records> records;
  try {
    records = std::make_unique<st::Records>(a.db, station);
    records->restore_from_record = !a.no_restore_from_record;
    if (int n = records->abandoned())
      fprintf(stderr, "trnctl: %d run%s of station '%s' left open by a process that ended: "
                      "recorded as aborted\n", n, n == 1 ? "" : "s",
              trn::terminal_text(station).c_str());
    if (int n = records->undecided())
      fprintf(stderr, "trnctl: %d run%s of station '%s' left open by a process that cannot be "
                      "checked from here (another machine's, or /proc cannot tell): left open\n",
              n, n == 1 ? "" : "s", trn::terminal_text(station).c_str());
  } catch (const rec::StoreError &e) {
    throw Failure{kBoardFailed, std::string("records: ") + e.what()};
  }
  Console console(STDIN_FILENO);
  const bool colour = isatty(STDERR_FILENO) == 1;
  LinePush push(a.db, line_db);

  for (;;) {
    if (stop_requested.load()) return kInterrupted;  // at the prompt: nothing to record
    push.tell();
    console.forget_typeahead();
    fputs("DUT id: ", stderr);
    fflush(stderr);
    std::string line;
    const Console::Got got = console.read_line(&line, nullptr);
    if (got != Console::Got::Line) fputc('\n', stderr);
    if (got == Console::Got::Interrupted) return kInterrupted;
    if (got == Console::Got::TooLong) {
      fputs(kTooLong, stderr);
      continue;
    }
    const std::string dut = trimmed(line);
    if (got == Console::Got::End || dut.empty() || dut == "q") return kDone;
    if (!pattern.matches(dut)) {
      fprintf(stderr, "trnctl: '%s' does not match --dut-pattern %s: scan it again\n",
              trn::terminal_text(dut).c_str(), shown(a.dut_pattern).c_str());
      continue;
    }

    rec::Run run;
    run.dut = dut;
    run.station = station;
    run.operator_name = operator_name;
    run.version = TRNCTL_VERSION;
    run.options = options;
    run.device = o.device;
    StationView view(o, console);
    st::Engine engine(engine_settings, view);
    view.attach(&engine);
    st::UnitResult result;
    bind_stop(&engine.stop_flag());
    try {
      result = st::test_unit(engine, run, records.get(), [&](const st::UnitResult &r) {
        if (r.not_recorded.empty()) push.after_run();
      });
    } catch (const rec::StoreError &e) {
      bind_stop(nullptr);
      throw Failure{kBoardFailed, std::string("records: ") + e.what() + ": nothing tested"};
    }
    bind_stop(nullptr);
    show_verdict(run, colour);
    if (o.json || a.json)
      print_json(rec::to_json(run));
    else
      print_line(trn::terminal_text(run.dut) + " " + run.outcome + " " +
                 std::to_string(run.try_number));
    // A run that cannot be kept stops the line: no unit goes unrecorded.
    if (!result.not_recorded.empty())
      throw Failure{kBoardFailed,
                    "records: " + result.not_recorded + ": this run was not recorded"};
    if (run.outcome == rec::kAborted && stop_requested.load()) return kInterrupted;
    if (output_error()) return kDone;  // main reports it and exits 1
  }
}

}  // namespace trnctl
