// What the records' tests share: trnctl run as a child, runs made up and
// recorded, and a known set of runs with its yield figures.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "store.h"

namespace rec = trn::records;
using rec::Json;

namespace {

struct Result {
  int status = -1;
  std::string out, err;
  std::vector<std::string> lines;  // of out
};

// Runs trnctl with args and waits for it (bounded by an alarm in the child).
// in_child, when given, runs in the child before trnctl; false ends the
// child with status 77.
Result trnctl(const std::vector<std::string> &args, bool (*in_child)() = nullptr) {
  Result r;
  FILE *out = tmpfile(), *err = tmpfile();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    alarm(60);
    if (in_child && !in_child()) _exit(77);
    std::vector<char *> argv{const_cast<char *>(TRNCTL_PATH)};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(TRNCTL_PATH, argv.data());
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  for (auto f : {std::make_pair(out, &r.out), std::make_pair(err, &r.err)}) {
    rewind(f.first);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f.first)) > 0;) f.second->append(buf, n);
    fclose(f.first);
  }
  for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
    r.lines.push_back(r.out.substr(at, nl - at));
  return r;
}

rec::Run make_run(const std::string &dut, const std::string &station, const std::string &started,
                  const std::string &outcome, const std::vector<std::string> &failed = {}) {
  rec::Run r;
  r.id = rec::new_run_id();
  r.dut = dut;
  r.station = station;
  r.operator_name = "ann";
  r.version = "1.1.1";
  r.plan = 1;
  r.started = started;
  r.ended = started;
  r.outcome = outcome;
  for (const char *name : {"identify", "membrane", "ring"}) {
    rec::Step st;
    st.name = name;
    st.outcome = rec::kPass;
    for (const auto &f : failed)
      if (f == name) st.outcome = rec::kFail, st.why = "wrong read-back";
    r.steps.push_back(st);
  }
  return r;
}

// Begins and completes a run; its try.
int record(rec::LocalStore &store, rec::Run run) {
  store.begin(run);
  store.finish(run);
  return run.try_number;
}

// A unit failed then passed on another station (B), a unit whose first run
// was an error and whose retests straddle two days (C), a unit with only
// error and aborted runs (D, not a unit for yield), and an error run with a
// failed step, which counts for no top failure.
struct KnownRun {
  const char *dut, *station, *started, *outcome;
  std::vector<std::string> failed;
};
const std::vector<KnownRun> kKnownRuns = {
    {"A", "s1", "2026-12-01T08:00:00.000Z", "pass", {}},
    {"B", "s1", "2026-12-01T09:00:00.000Z", "fail", {"membrane", "ring"}},
    {"B", "s2", "2026-12-01T10:00:00.000Z", "pass", {}},
    {"C", "s2", "2026-12-01T11:00:00.000Z", "error", {"identify"}},
    {"C", "s2", "2026-12-02T08:00:00.000Z", "fail", {"membrane"}},
    {"C", "s1", "2026-12-02T09:00:00.000Z", "fail", {"membrane"}},
    {"D", "s1", "2026-12-02T10:00:00.000Z", "aborted", {}},
    {"D", "s2", "2026-12-02T11:00:00.000Z", "error", {}},
    {"E", "s2", "2026-12-02T12:00:00.000Z", "pass", {}},
    {"C", "s2", "2026-12-03T08:00:00.000Z", "pass", {}},
};

// What `records yield --json` prints for the known runs, with these
// arguments: one JSON object per group and line.
struct YieldCase {
  std::vector<std::string> args;
  std::vector<const char *> groups;
};
const std::vector<YieldCase> kKnownYield = {
    {{},
     {R"({"group":"all","units":4,"first_pass_yield":0.5,"final_yield":1,"retests":3,
          "errors":2,"aborted":1,"top_failures":[{"step":"membrane","count":3},
          {"step":"ring","count":1}]})"}},
    {{"--by", "day"},
     {R"({"group":"2026-12-01","units":2,"first_pass_yield":0.5,"final_yield":1,"retests":1,
          "errors":1,"aborted":0,"top_failures":[{"step":"membrane","count":1},
          {"step":"ring","count":1}]})",
      R"({"group":"2026-12-02","units":2,"first_pass_yield":0.5,"final_yield":1,"retests":2,
          "errors":1,"aborted":1,"top_failures":[{"step":"membrane","count":2}]})"}},
    {{"--by", "station"},
     {R"({"group":"s1","units":2,"first_pass_yield":0.5,"final_yield":1,"retests":1,
          "errors":0,"aborted":1,"top_failures":[{"step":"membrane","count":1},
          {"step":"ring","count":1}]})",
      R"({"group":"s2","units":2,"first_pass_yield":0.5,"final_yield":1,"retests":2,
          "errors":2,"aborted":0,"top_failures":[{"step":"membrane","count":2}]})"}},
    {{"--since", "2026-12-02"},
     {R"({"group":"all","units":2,"first_pass_yield":0.5,"final_yield":1,"retests":2,
          "errors":1,"aborted":1,"top_failures":[{"step":"membrane","count":2}]})"}},
    {{"--since", "2026-12-04", "--by", "station"}, {}},
    // Runs after --until ignored, the first-run rule then applied: C's last
    // run by then failed, and a date counts through its last millisecond.
    {{"--until", "2026-12-02T09:00"},
     {R"({"group":"all","units":3,"first_pass_yield":0.3333333333333333,
          "final_yield":0.6666666666666666,"retests":2,"errors":1,"aborted":0,
          "top_failures":[{"step":"membrane","count":3},{"step":"ring","count":1}]})"}},
    {{"--until", "2026-12-01", "--by", "day"},
     {R"({"group":"2026-12-01","units":2,"first_pass_yield":0.5,"final_yield":1,"retests":1,
          "errors":1,"aborted":0,"top_failures":[{"step":"membrane","count":1},
          {"step":"ring","count":1}]})"}},
    // A station: its row of --by station, under any grouping.
    {{"--station", "s1"},
     {R"({"group":"all","units":2,"first_pass_yield":0.5,"final_yield":1,"retests":1,
          "errors":0,"aborted":1,"top_failures":[{"step":"membrane","count":1},
          {"step":"ring","count":1}]})"}},
    {{"--by", "station", "--station", "s2"},
     {R"({"group":"s2","units":2,"first_pass_yield":0.5,"final_yield":1,"retests":2,
          "errors":2,"aborted":0,"top_failures":[{"step":"membrane","count":2}]})"}},
    {{"--station", "s2", "--since", "2026-12-02", "--until", "2026-12-02"},
     {R"({"group":"all","units":2,"first_pass_yield":0.5,"final_yield":0.5,"retests":1,
          "errors":1,"aborted":0,"top_failures":[{"step":"membrane","count":2}]})"}},
};

}  // namespace
