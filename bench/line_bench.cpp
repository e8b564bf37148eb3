// The line's database at production size, on a PostgreSQL server of its own
// (scripts/pg-test-server.sh in a temporary folder, stopped at the end):
// - 100,000 runs of the station's 32 steps (four stations, 30 days, retests,
//   some error and aborted runs) filled through the upload a push uses;
// - `trnctl records --db URL yield` over them, the program as it is run, with
//   each grouping, and `records --dut` and `records show` of one unit
//   (median of 5, and the slowest);
// - pushing as a station does after each run, against the full database: the
//   run recorded in the station's file, then connect, upload, mark (median,
//   p99 and slowest of 200);
// - an outbox of 1,000 runs drained at once, as by `trnctl records push`.
// Usage: line_bench [RUNS]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/records/pg_server.h"
#include "bench_util.h"
#include "push.h"
#include "records_util.h"
#include "server.h"
#include "store.h"

namespace {

// A station's file with these many runs recorded and waiting.
void record_runs(rec::LocalStore &local, int n, int from, std::mt19937 &rng) {
  for (int i = from; i < from + n; ++i) {
    rec::Run r = make_run("SN9" + std::to_string(i), "line1", rec::utc_now(),
                          i % 5 ? rec::kPass : rec::kFail, rng);
    local.begin(r);
    r.ended = rec::utc_now();
    local.finish(r);
  }
}

}  // namespace

int main(int argc, char **argv) {
  const long runs = argc > 1 ? std::atol(argv[1]) : 100000;
  if (runs < 1) {
    fprintf(stderr, "usage: line_bench [RUNS]\n");
    return 2;
  }
  PgServer server;
  if (!server.start()) {
    fprintf(stderr, "line_bench: %s\n", server.missing() ? "no PostgreSQL server programs"
                                                         : "the server did not start");
    return server.missing() ? 77 : 1;
  }
  const std::string url = server.url("line");
  char folder[] = "/tmp/line-bench-XXXXXX";
  if (!server.exec("CREATE DATABASE line").empty() || !mkdtemp(folder)) {
    fprintf(stderr, "line_bench: no database or no folder\n");
    return 1;
  }
  const std::string station_db = std::string(folder) + "/station.db";
  int rc = 0;
  try {
    double t0 = bench::now_ms();
    fill_server(url, runs);
    const double fill_s = (bench::now_ms() - t0) / 1000;
    // What the server's autovacuum does in its own time: statistics for the
    // planner, pages marked all-visible for index-only scans.
    if (!server.exec("VACUUM ANALYZE", "line").empty()) throw rec::StoreError("VACUUM failed");
    const std::vector<std::string> size = server.column(
        "SELECT COUNT(*) || ' runs, ' || (SELECT COUNT(*) FROM steps) || ' steps, ' || "
        "pg_size_pretty(pg_database_size('line')) FROM runs", "line");
    printf("filled %ld runs in %.1f s (%.0f runs/s): %s\n", runs, fill_s, runs / fill_s,
           size.empty() ? "?" : size[0].c_str());

    time_command("trnctl records --db URL yield", {"records", "--db", url, "yield"});
    time_command("trnctl records --db URL yield --by day",
                 {"records", "--db", url, "yield", "--by", "day"});
    time_command("trnctl records --db URL yield --by station",
                 {"records", "--db", url, "yield", "--by", "station"});
    time_command("trnctl records --db URL --dut (one unit)",
                 {"records", "--db", url, "--dut", "SN100500"});
    time_command("trnctl records --db URL show (one unit)",
                 {"records", "--db", url, "show", "SN100500"});

    // A push after each run: what a station's pusher does.
    auto local = rec::open_store(station_db, rec::OpenMode::Create);
    std::mt19937 rng(7);
    std::vector<double> ms;
    for (int i = 0; i < 200; ++i) {
      record_runs(*local, 1, i, rng);
      const double start = bench::now_ms();
      const rec::PushReport r = rec::push_outbox(*local, url, rec::PushLimits::after_run());
      ms.push_back(bench::now_ms() - start);
      if (!r.error.empty() || r.pushed != 1) throw rec::StoreError("push: " + r.error);
    }
    printf("pushing a run after it (32 steps; connect, upload, mark): median %.2f ms, "
           "p99 %.2f ms, slowest %.2f ms (200 runs)\n",
           bench::percentile(ms, 50), bench::percentile(ms, 99), bench::percentile(ms, 100));

    // An outbox that filled while the server was away.
    record_runs(*local, 1000, 1000, rng);
    t0 = bench::now_ms();
    const rec::PushReport r = rec::push_outbox(*local, url, rec::PushLimits::everything());
    const double drain_ms = bench::now_ms() - t0;
    if (!r.error.empty() || r.pushed != 1000) throw rec::StoreError("push: " + r.error);
    printf("draining an outbox of 1000 runs: %.0f ms (%.2f ms per run)\n", drain_ms,
           drain_ms / 1000);
  } catch (const rec::StoreError &e) {
    fprintf(stderr, "line_bench: %s\n", e.what());
    rc = 1;
  }
  for (const char *suffix : {"", "-wal", "-shm"}) unlink((station_db + suffix).c_str());
  rmdir(folder);
  return rc;
}
