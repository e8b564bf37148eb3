// `trnctl records`: lists the runs in the records database (a station's
// file or the line's database), newest first (text, JSON one run a line, or
// CSV), shows whole runs with their steps, computes the yield per group, and
// pushes a station's waiting runs to the line's database.  Results on
// standard output, messages on standard error; a database that cannot be
// opened or read is exit status 1.
#include "records_cmd.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"
#include "output.h"
#include "server.h"
#include "store.h"
#include "text.h"

namespace trnctl {

namespace {

namespace rec = trn::records;

constexpr int kRecordsFailed = 1;

// rec::conninfo_problem(), which reads the connection string with libpq:
// a libpq that cannot be loaded ends the command with status 1 and says so,
// naming where the string came from.
std::string conninfo_problem(const char *where, const std::string &conninfo) {
  try {
    return rec::conninfo_problem(conninfo);
  } catch (const rec::StoreError &e) {
    throw Failure{kRecordsFailed, std::string(where) + ": " + e.what()};
  }
}

// Rows of cells as lines, each column as wide as its widest cell, two spaces
// between columns; the last column is not padded.
std::vector<std::string> format_table(const std::vector<std::vector<std::string>> &rows,
                                      const std::vector<bool> &right_aligned) {
  std::vector<size_t> width;
  for (const auto &row : rows)
    for (size_t c = 0; c < row.size(); ++c) {
      if (width.size() <= c) width.push_back(0);
      width[c] = std::max(width[c], row[c].size());
    }
  std::vector<std::string> lines;
  for (const auto &row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      if (c) line += "  ";
      const std::string pad(width[c] - row[c].size(), ' ');
      const bool right = c < right_aligned.size() && right_aligned[c];
      if (right) line += pad;
      line += row[c];
      if (!right && c + 1 < row.size()) line += pad;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

void print_table(const std::vector<std::vector<std::string>> &rows,
                 const std::vector<bool> &right_aligned) {
  for (const std::string &line : format_table(rows, right_aligned)) print_line(line);
}

// "2026-12-08T10:15:02.345Z" to the second: "2026-12-08T10:15:02Z".
std::string to_second(const std::string &t) {
  return t.size() >= 19 ? t.substr(0, 19) + "Z" : t;
}

std::string outcome_text(const rec::Run &r) { return r.outcome.empty() ? "open" : r.outcome; }

void print_csv(const std::vector<rec::Run> &runs) {
  rec::write_csv(runs, [](const std::string &line) { print_line(line); });
}

// Every text of a record may come from a scanner or another station: it
// reaches the terminal escaped.
std::string safe(const std::string &text) { return trn::terminal_text(text); }

void print_list(const std::vector<rec::Run> &runs) {
  std::vector<std::vector<std::string>> rows;
  rows.reserve(runs.size());
  for (const rec::Run &r : runs)
    rows.push_back({safe(to_second(r.started)), safe(r.dut), std::to_string(r.try_number),
                    safe(outcome_text(r)), safe(r.station), safe(r.id)});
  print_table(rows, {false, false, true});
}

std::string compact(const rec::Json &v) { return safe(json_text(v)); }

void print_run(const rec::Run &r) {
  print_line("id        " + safe(r.id));
  print_line("dut       " + safe(r.dut) + " (try " + std::to_string(r.try_number) + ")");
  print_line("outcome   " + safe(outcome_text(r)) + " (" + std::to_string(r.passed) + " of " +
             std::to_string(r.planned) + " steps passed)" +
             (r.reason.empty() ? "" : ": " + safe(r.reason)));
  print_line("station   " + safe(r.station) + ", operator " + safe(r.operator_name));
  print_line("started   " + safe(r.started));
  print_line("ended     " + (r.ended.empty() ? std::string("-") : safe(r.ended)) +
             (r.duration_ms < 0 ? "" : " (" + std::to_string(r.duration_ms) + " ms)"));
  print_line("tool      " + safe(r.tool) + " " + safe(r.version) + ", plan " +
             std::to_string(r.plan));
  print_line("device    " + (r.device.empty() ? std::string("-") : safe(r.device)));
  print_line("board     " + (r.board.empty() ? std::string("-") : safe(r.board)) +
             (r.model.empty() ? "" : ", model " + safe(r.model)) +
             (r.firmware.empty() ? "" : ", firmware " + safe(r.firmware)));
  print_line("options   " + compact(r.options));
  print_line("steps");
  std::vector<std::vector<std::string>> rows;
  for (const rec::Step &st : r.steps)
    rows.push_back({safe(st.outcome), safe(st.name), "+" + std::to_string(st.start_ms) + " ms",
                    std::to_string(st.ms) + " ms",
                    std::to_string(st.tries) + (st.tries == 1 ? " try" : " tries"),
                    safe(st.why)});
  // Each step's line, then what it wrote and read.
  const std::vector<std::string> lines =
      format_table(rows, {false, false, true, true, true, false});
  for (size_t i = 0; i < lines.size(); ++i) {
    print_line("  " + lines[i]);
    const rec::Step &st = r.steps[i];
    if (!st.written.is_null()) print_line("      written " + compact(st.written));
    if (!st.read.is_null()) print_line("      read    " + compact(st.read));
  }
}

std::string percent(double fraction) {
  if (fraction < 0) return "-";
  char text[16];
  snprintf(text, sizeof text, "%.1f%%", fraction * 100);
  return text;
}

void print_yield(const std::vector<rec::YieldGroup> &groups) {
  std::vector<std::vector<std::string>> rows = {
      {"group", "units", "first-pass", "final", "retests", "errors", "aborted", "top failures"}};
  for (const rec::YieldGroup &g : groups) {
    std::string top;
    for (const auto &t : g.top_failures)
      top += (top.empty() ? "" : ", ") + safe(t.first) + " " + std::to_string(t.second);
    rows.push_back({safe(g.group), std::to_string(g.units), percent(g.first_pass_yield()),
                    percent(g.final_yield()), std::to_string(g.retests), std::to_string(g.errors),
                    std::to_string(g.aborted), top.empty() ? "-" : top});
  }
  print_table(rows, {false, true, true, true, true, true, true, false});
}

// --since and --until as the store compares them.
rec::YieldFilter period_of(const RecordsArgs &a) {
  rec::YieldFilter f;
  f.station = a.station;
  const char *const format = " is not a date (YYYY-MM-DD, or YYYY-MM-DDTHH:MM[:SS], UTC)";
  if (!a.since.empty() && !rec::parse_since(a.since, &f.since))
    throw Failure{kUsage, "--since: " + shown(a.since) + format};
  if (!a.until.empty() && !rec::parse_until(a.until, &f.until))
    throw Failure{kUsage, "--until: " + shown(a.until) + format};
  return f;
}

std::string runs_text(long n) { return std::to_string(n) + (n == 1 ? " run" : " runs"); }

// A --db that names the line's database: not with a password in it.
void check_server_db(const std::string &db) {
  if (!rec::is_server_url(db)) return;
  const std::string problem = conninfo_problem("--db", db);
  if (!problem.empty()) throw Failure{kUsage, "--db: " + problem};
}

// The listing's own options are refused with show and push; yield takes
// the period and the station.
void refuse_listing_options(const RecordsArgs &a, const char *command, bool period_too) {
  std::vector<const char *> given;
  if (!a.dut.empty()) given.push_back("--dut");
  if (period_too && !a.station.empty()) given.push_back("--station");
  if (!a.outcome.empty()) given.push_back("--outcome");
  if (a.csv) given.push_back("--csv");
  if (period_too && !a.since.empty()) given.push_back("--since");
  if (period_too && !a.until.empty()) given.push_back("--until");
  if (!given.empty())
    throw Failure{kUsage, std::string("records ") + command + ": " + given.front() +
                              " applies to the listing only"};
}

// records push: everything waiting, as long as the server answers.
int run_push(const RecordsArgs &a, bool json) {
  check_local_db(a.db);
  const std::string url = line_database(a.push_url, a.push->count("--push") > 0);
  if (url.empty())
    throw Failure{kUsage, "records push: no line database: give --push URL or set TRN_RECORDS_URL"};
  rec::PushReport r;
  try {
    auto local = rec::open_store(a.db, rec::OpenMode::Existing);
    r = rec::push_outbox(*local, url, rec::PushLimits::everything());
  } catch (const rec::StoreError &e) {
    throw Failure{kRecordsFailed, std::string("records: ") + e.what()};
  }
  if (json)
    print_json(rec::Json{{"pushed", r.pushed}, {"waiting", r.waiting}});
  else
    print_line(std::to_string(r.pushed) + " pushed, " + std::to_string(r.waiting) + " waiting");
  if (!r.error.empty()) throw Failure{kRecordsFailed, "records push: " + r.error};
  return kDone;
}

}  // namespace

CLI::App *add_records_command(CLI::App &app, RecordsArgs &a) {
  CLI::App *r = app.add_subcommand("records", "List the recorded runs, show them, their yield");
  r->add_option("--db", a.db, "The records database (default: $XDG_DATA_HOME/trnctl/records.db)")
      ->type_name("PATH");
  r->add_option("--dut", a.dut, "Only the runs of this unit")->type_name("ID");
  r->add_option("--station", a.station, "Only the runs of this station")->type_name("NAME");
  r->add_option("--since", a.since, "Only runs started on or after this UTC date or time")
      ->type_name("DATE");
  r->add_option("--until", a.until,
                "Only runs started on or before this UTC date or time (a date to its end)")
      ->type_name("DATE");
  r->add_option("--outcome", a.outcome, "Only runs with this outcome (pass, fail, error, aborted)")
      ->type_name("OUTCOME");
  r->add_flag("--json", a.json, "One JSON record per run and line");
  r->add_flag("--csv", a.csv, "CSV with a header line");
  r->footer("Exit status: 0 done, 1 the database cannot be opened or read (or show found\n"
            "nothing, or push did not reach the line's database), 2 usage.  See trnctl(1).");
  a.records = r;
  a.show = r->add_subcommand("show", "Whole runs with their steps: one run, or every run of a unit");
  // Checked in run_records: the id may also come after "--".
  a.show->add_option("ID", a.key, "A run id or a DUT id")->type_name("");
  a.show->fallthrough();
  a.yield = r->add_subcommand("yield", "Units, first-pass and final yield, retests, errors");
  a.yield->add_option("--by", a.by, "One group per UTC day or per station (default: one group)")
      ->type_name("day|station");
  a.yield->fallthrough();
  a.push = r->add_subcommand("push", "Upload the runs waiting in this station's database to the "
                                     "line's database");
  a.push->add_option("--push", a.push_url,
                     "The line's database (default: TRN_RECORDS_URL); no password in it")
      ->type_name("URL");
  a.push->fallthrough();
  return r;
}

std::string line_database(const std::string &push, bool given) {
  const char *env = getenv("TRN_RECORDS_URL");
  const std::string url = given ? push : env ? env : "";
  const char *where = given ? "--push" : "TRN_RECORDS_URL";
  if (given && url.empty()) throw Failure{kUsage, "--push: the connection string is empty"};
  if (url.empty()) return "";
  const std::string problem = conninfo_problem(where, url);
  if (!problem.empty()) throw Failure{kUsage, std::string(where) + ": " + problem};
  return url;
}

void check_local_db(const std::string &db) {
  if (rec::is_server_url(db))
    throw Failure{kUsage, "--db: runs are recorded in a local file and pushed from there to the "
                          "line's database, given with --push"};
}

std::string push_message(const rec::PushReport &r, bool after_failure) {
  const std::string wait = r.waiting == 0      ? "none waits"
                           : r.waiting == 1    ? "1 run waits"
                                               : std::to_string(r.waiting) + " runs wait";
  // The error may quote the server, and names the database redacted.
  if (!r.error.empty()) return "push: " + trn::terminal_text(r.error) + " (" + wait + ")";
  if (r.out_of_time)
    return "push: " + runs_text(r.pushed) + " pushed, " + wait + " for the next push (its time "
           "is up)";
  if (after_failure) return "push: the line's database answers again: " + runs_text(r.pushed) +
                            " pushed, " + wait;
  return "";
}

int run_records(const RecordsArgs &a, bool json_given) {
  // Results may be long (every run of a line): written in blocks, not a
  // write per line.  Nothing has been printed yet, so the buffer can change.
  setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  const bool json = json_given || a.json;
  if (a.records->count("--db") > 0 && a.db.empty()) throw Failure{kUsage, "--db: the path is empty"};
  const bool showing = a.show->parsed(), yielding = a.yield->parsed(), pushing = a.push->parsed();
  if (showing) refuse_listing_options(a, "show", true);
  if (yielding) refuse_listing_options(a, "yield", false);
  if (pushing) refuse_listing_options(a, "push", true);
  check_server_db(a.db);
  if (json && a.csv) throw Failure{kUsage, "records: --json and --csv exclude each other"};
  if (!a.outcome.empty() && !rec::is_run_outcome(a.outcome))
    throw Failure{kUsage, "--outcome: " + shown(a.outcome) +
                              " is not an outcome (pass, fail, error, aborted)"};
  rec::GroupBy by = rec::GroupBy::All;
  if (a.by == "day") by = rec::GroupBy::Day;
  else if (a.by == "station") by = rec::GroupBy::Station;
  else if (!a.by.empty())
    throw Failure{kUsage, "--by: " + shown(a.by) + " is not a grouping (day, station)"};
  const rec::YieldFilter period = period_of(a);
  if (showing && a.key.empty()) throw Failure{kUsage, "records show: ID is required"};

  if (pushing) return run_push(a, json);

  try {
    auto store = rec::open_reader(a.db);
    if (showing) {
      const std::vector<rec::Run> runs = store->show(a.key);
      if (runs.empty())
        throw Failure{kRecordsFailed, "records show: no run and no unit " + shown(a.key)};
      for (size_t i = 0; i < runs.size(); ++i) {
        if (json) {
          print_json(rec::to_json(runs[i]));
          continue;
        }
        if (i) print_line("");
        print_run(runs[i]);
      }
      return kDone;
    }
    if (yielding) {
      const auto groups = rec::compute_yield(store->yield_input(period), by, period);
      if (json)
        for (const auto &g : groups) print_json(rec::to_json(g));
      else
        print_yield(groups);
      return kDone;
    }
    rec::Filter f{a.dut, a.station, a.outcome, period.since, period.until};
    const std::vector<rec::Run> runs = store->list(f, json);
    if (json)
      for (const rec::Run &r : runs) print_json(rec::to_json(r));
    else if (a.csv)
      print_csv(runs);
    else
      print_list(runs);
    return kDone;
  } catch (const rec::StoreError &e) {
    throw Failure{kRecordsFailed, std::string("records: ") + e.what()};
  }
}

}  // namespace trnctl
