// What the records benchmarks share: made-up runs of a production line (the
// station's 32 steps each, four stations over 30 days, retests after
// failures, a few error and aborted runs), and trnctl run and timed.
#pragma once

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "record.h"
#include "server.h"

namespace rec = trn::records;

namespace {

// The station's plan: the self-test, the operator's checks, the buttons.
const char *const kSteps[] = {
    "identify", "save", "volume", "brightness", "volume-output", "ring", "ring-volume",
    "ring-freq", "ring-led", "membrane", "gpio", "audio", "nurse-led", "pass-through",
    "pass-delay", "backlight", "membrane-green", "membrane-orange", "nurse-led-on",
    "ring-led-on", "backlight-off", "backlight-on", "restore", "cradle", "vol-down", "vol-up",
    "ch-down", "ch-up", "power", "line-out", "mic-in", "nurse"};
constexpr int kStepCount = sizeof kSteps / sizeof kSteps[0];

// The time of second s of 2026-11-01 onwards, as the records keep it.
std::string time_text(long s, int ms) {
  const long day = s / 86400, rest = s % 86400;
  char text[64];
  snprintf(text, sizeof text, "2026-%02ld-%02ldT%02ld:%02ld:%02ld.%03dZ", 11 + day / 30,
           1 + day % 30, rest / 3600, rest / 60 % 60, rest % 60, ms);
  return text;
}

rec::Run make_run(const std::string &dut, const std::string &station, const std::string &started,
                  const std::string &outcome, std::mt19937 &rng) {
  rec::Run r;
  r.id = rec::new_run_id();
  r.dut = dut;
  r.station = station;
  r.operator_name = "op";
  r.version = "1.1.1";
  r.plan = 1;
  r.started = started;
  r.ended = started;
  r.outcome = outcome;
  if (outcome == rec::kError) r.reason = "the port hung up";
  if (outcome == rec::kAborted) r.reason = "interrupted";
  r.options = rec::Json{{"buttons", true}, {"button_timeout", 10}};
  r.device = "/dev/ttyUSB0";
  r.board = "1b 42 00 07 42 a6 0d";
  r.model = "Q742";
  r.firmware = "11";
  r.duration_ms = 41000;
  r.planned = kStepCount;
  const int bad = outcome == rec::kFail ? static_cast<int>(rng() % kStepCount) : -1;
  // A few steps fail far more often than the rest, as on a real line.
  const int bad2 = outcome == rec::kFail && rng() % 3 == 0 ? 9 : -1;
  for (int i = 0; i < kStepCount; ++i) {
    rec::Step st;
    st.name = kSteps[i];
    st.outcome = i == bad || i == bad2 ? rec::kFail : rec::kPass;
    st.start_ms = i * 2000;
    st.ms = 1900;
    st.written = rec::Json::array({3, 15});
    st.read = rec::Json::array({3, st.outcome == rec::kFail ? 0 : 15});
    st.tries = 2;
    if (st.outcome == rec::kFail) st.why = "wrote 15, read 0";
    r.steps.push_back(st);
  }
  r.passed = kStepCount - (bad >= 0) - (bad2 >= 0 && bad2 != bad);
  return r;
}

// Makes runs runs, in start-time order, and hands each to sink: unit after
// unit, each with its first run and, after a fail (or an error, or an
// abort), a retest, up to three.  The same runs every time.
template <class Sink>
void make_line(long runs, Sink sink) {
  std::mt19937 rng(42);
  long made = 0, unit = 0;
  while (made < runs) {
    const std::string dut = "SN" + std::to_string(100000 + unit++);
    long t = static_cast<long>(made * (30.0 * 86400 / runs));
    for (int attempt = 0; attempt < 4 && made < runs; ++attempt, ++made, t += 600) {
      const unsigned roll = rng() % 1000;
      const char *outcome = roll < 10 ? rec::kError : roll < 13 ? rec::kAborted
                            : roll < (attempt ? 40u : 80u) ? rec::kFail : rec::kPass;
      const std::string station = "line" + std::to_string(1 + rng() % 4);
      const rec::Run r = make_run(dut, station, time_text(t, static_cast<int>(rng() % 1000)),
                                  outcome, rng);
      sink(r);
      if (r.outcome == rec::kPass) {
        ++made;
        break;
      }
    }
  }
}

// The made-up runs uploaded to the line's database in batches, as pushes do.
inline void fill_server(const std::string &url, long runs) {
  auto server = rec::connect_server(url, rec::ServerLimits::reading());
  std::vector<rec::Run> batch;
  const std::string now = rec::utc_now();
  make_line(runs, [&](const rec::Run &r) {
    batch.push_back(r);
    if (batch.size() == 500) {
      server->upload(batch, now);
      batch.clear();
    }
  });
  server->upload(batch, now);
}

// Runs trnctl with args, its output thrown away; milliseconds, or -1 when it
// did not exit 0.
inline double trnctl(const std::vector<std::string> &args) {
  std::string exe = bench::exe_dir() + "/trnctl";
  std::vector<std::string> all = {"trnctl"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : all) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const double t0 = bench::now_ms();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const double ms = bench::now_ms() - t0;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
}

inline void time_command(const char *what, const std::vector<std::string> &args) {
  std::vector<double> ms;
  for (int i = 0; i < 5; ++i) {
    double m = trnctl(args);
    if (m < 0) {
      printf("%s: trnctl failed\n", what);
      return;
    }
    ms.push_back(m);
  }
  printf("%s: median %.0f ms, slowest %.0f ms (5 runs)\n", what, bench::percentile(ms, 50),
         bench::percentile(ms, 100));
}

}  // namespace
