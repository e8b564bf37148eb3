// `trnctl selftest`: one run of the self-test engine, shown on the terminal
// (each step's PASS or FAIL as it ends), with its summary line, its JSON
// report (written whole or not at all) and, with --db or a line database,
// its row in the records database; then the waiting runs are pushed to the
// line's database.
//
// A SIGINT or SIGTERM, or standard output that cannot be written, stops the
// engine: the run ends after the step under way, and the board gets its
// saved settings back before trnctl goes on.
#include "selftest.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "output.h"
#include "push.h"
#include "records_cmd.h"
#include "store.h"
#include "text.h"
#include "unit.h"

namespace trnctl {

namespace rec = trn::records;
namespace st = trn::station;

void TerminalView::step_finished(size_t, const rec::Step &step) {
  const std::string line = step.outcome == rec::kPass ? "PASS " + step.name
                                                      : "FAIL " + step.name + ": " + step.why;
  if (!steps_on_stdout_) {
    fprintf(stderr, "%s\n", trn::terminal_text(line).c_str());
    fflush(stderr);
    return;
  }
  if (!o_.json) print_line(trn::terminal_text(line));
  // Nobody sees the steps any more: stop as after an interrupt.
  if (output_error() && engine_) engine_->abort(output_failed_text());
}

void TerminalView::prompt(const st::Prompt &p) {
  if (p.kind != st::Prompt::Kind::Button) return;
  fprintf(stderr, "%s%s\n", p.text.c_str(), operator_present_ ? " (Enter if you can't)" : "");
  fflush(stderr);
}

void TerminalView::notice(st::Notice n, const std::string &text) {
  switch (n) {
    case st::Notice::HungUp:
      fprintf(stderr, "trnctl: %s: the port hung up\n", text.c_str());
      break;
    case st::Notice::Restoring:
      fprintf(stderr, "trnctl: %s: restoring the saved settings\n",
              trn::terminal_text(text).c_str());
      break;
    case st::Notice::NotRestored:
      fprintf(stderr, "trnctl: %s: the port hung up: settings not restored\n", text.c_str());
      break;
    case st::Notice::Earlier:
      fprintf(stderr, "%s\n", trn::terminal_text(text).c_str());
      break;
  }
  fflush(stderr);
}

st::EngineOptions engine_options(const Options &o) {
  st::EngineOptions e;
  e.port = port_settings(o);
  return e;
}

std::string output_failed_text() {
  return std::string("standard output: ") + std::strerror(output_error());
}

namespace {

// The report's folder, for a new file beside it.
std::string folder_of(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A new file in FILE's folder, made as mkstemp makes it: a name nobody had
// (never an existing file, never through a symlink).  It gets the mode a
// new file gets, 0644 less the umask.  -1 with errno set when it cannot be
// made.
int create_beside(const std::string &report, std::string *tmp) {
  std::string name = report + ".XXXXXX";
  int fd = mkostemp(&name[0], O_CLOEXEC);
  if (fd < 0) return -1;
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, 0644 & ~mask) != 0) {
    const int err = errno;
    close(fd);
    unlink(name.c_str());
    errno = err;
    return -1;
  }
  *tmp = name;
  return fd;
}

// A report that cannot be written is found out before the board is touched,
// and an earlier record under the name goes: from here on the file is this
// run's record or absent, never a stale one that looks current.
void prepare_report(const std::string &report) {
  struct stat st;
  if (stat(report.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw Failure{kUsage, "--report " + shown(report) + ": not a regular file"};
  std::string tmp;
  const int fd = create_beside(report, &tmp);
  if (fd < 0)
    throw Failure{kUsage, "--report " + shown(report) + ": cannot create a file in " +
                              shown(folder_of(report)) + ": " + std::strerror(errno)};
  close(fd);
  unlink(tmp.c_str());
  if (unlink(report.c_str()) != 0 && errno != ENOENT)
    throw Failure{kUsage, "--report " + shown(report) + ": cannot remove the earlier record: " +
                              std::strerror(errno)};
}

// A new file first, then renamed over FILE: a reader never sees half a
// record.
bool write_report(const std::string &report, const Json &rec) {
  if (report.empty()) return true;
  const std::string text = json_text(rec, 2) + "\n";
  std::string tmp;
  const int fd = create_beside(report, &tmp);
  bool ok = fd >= 0;
  const char *failed = "cannot write";
  if (ok) {
    size_t done = 0;
    while (ok && done < text.size()) {
      const ssize_t n = write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok) {
      failed = "cannot rename";
      ok = rename(tmp.c_str(), report.c_str()) == 0;
    }
  } else {
    failed = "cannot create a file in";
    tmp = folder_of(report);
  }
  if (!ok) {
    const int err = errno;
    fprintf(stderr, "trnctl: --report %s: %s %s: %s\n", shown(report).c_str(), failed,
            shown(tmp).c_str(), std::strerror(err));
    if (fd >= 0) unlink(tmp.c_str());
  }
  return ok;
}

// selftest's view: the steps, then at the end the report and the summary.
class SelftestView : public TerminalView {
 public:
  SelftestView(const Options &o, const SelftestOptions &so) : TerminalView(o, true, false), so_(so) {}

  void run_finished(const rec::Run &run) override {
    reported = write_report(so_.report, rec::to_json(run));
    reported_outcome = run.outcome;
    const size_t failed = static_cast<size_t>(run.planned - run.passed);
    std::string reason = run.reason;
    if (!reported && reason.empty()) reason = "the report was not written";
    if (o_.json) {
      print_json(rec::to_json(run));
    } else if (st::port_unusable(run)) {
      return;  // main says why
    } else if (failed == 0 && reason.empty()) {
      print_line("selftest: PASS (" + std::to_string(run.planned) + " steps)");
    } else {
      print_line("selftest: FAIL (" + std::to_string(failed) + " of " +
                 std::to_string(run.planned) + " steps)" +
                 (reason.empty() ? "" : ": " + trn::terminal_text(reason)));
    }
    // The summary or the record could not be printed: the run is aborted
    // all the same, though nothing was left to stop.
    if (output_error() && engine_) engine_->abort(output_failed_text());
  }

  bool reported = true;
  std::string reported_outcome;  // the outcome in the report

 private:
  const SelftestOptions &so_;
};

}  // namespace

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
  st::EngineOptions options = engine_options(o);
  options.plan.buttons = so.buttons;
  options.button_timeout_s = so.button_timeout_s;

  rec::Run run;
  run.dut = so.dut;
  run.station = so.station.empty() ? default_station() : so.station;
  run.operator_name = so.operator_name.empty() ? default_operator() : so.operator_name;
  run.version = TRNCTL_VERSION;
  run.options = Json{{"timeout_ms", o.timeout_ms}, {"retries", o.retries},
                     {"buttons", so.buttons}, {"button_timeout_s", so.button_timeout_s}};
  run.device = o.device;
  std::unique_ptr<st::Records> records;
  SelftestView view(o, so);
  st::Engine engine(options, view);
  view.attach(&engine);
  // Whatever the push does, the run is kept: it waits for the next one.
  auto push = [&](const st::UnitResult &r) {
    if (!r.not_recorded.empty()) fprintf(stderr, "trnctl: records: %s\n", r.not_recorded.c_str());
    if (so.push.empty()) return;
    rec::PushLimits limits = rec::PushLimits::after_run();
    limits.stop = &stop_requested;
    const std::string said =
        push_message(rec::push_outbox(records->store(), so.push, limits), false);
    if (!said.empty()) fprintf(stderr, "trnctl: %s\n", said.c_str());
  };
  st::UnitResult result;
  try {
    if (so.record) {
      records = std::make_unique<st::Records>(so.db, run.station);
      records->restore_from_record = !so.no_restore_from_record;
    }
    bind_stop(&engine.stop_flag());
    result = st::test_unit(engine, run, records.get(), push);
    bind_stop(nullptr);
  } catch (const rec::StoreError &e) {
    bind_stop(nullptr);
    throw Failure{kBoardFailed, std::string("records: ") + e.what()};
  }
  // An abort that came as the summary was printed: the report says so too.
  if (run.outcome != view.reported_outcome)
    view.reported = write_report(so.report, rec::to_json(run));
  if (st::port_unusable(run)) throw Failure{kPortFailed, run.reason};
  if (run.outcome == rec::kAborted && stop_requested.load()) return kInterrupted;
  if (run.outcome == rec::kAborted) return kBoardFailed;
  if (st::wrong_model(run)) return kNotQ742;
  return run.planned == run.passed && view.reported && result.not_recorded.empty() ? kDone
                                                                                  : kBoardFailed;
}

}  // namespace trnctl
