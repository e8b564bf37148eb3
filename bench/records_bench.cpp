// The records database at production size: a file of 100,000 runs (the
// station's 32 steps each, four stations over 30 days, retests after failures, a few error and
// aborted runs), then
// - `trnctl records yield` over it, the program as it is run, with each
//   grouping (median of 5, and the slowest);
// - `trnctl records` listing every run, and `records --dut` and `records
//   show` of one unit;
// - recording a run as a station does: the insert when it starts plus the
//   completion with its 32 steps when it ends (median, p99 and slowest of 200),
//   on the full file, each commit synced to the disk.
// Usage: records_bench [RUNS] [FOLDER]; the file is made in a fresh folder
// under FOLDER (default: the current one, so on the disk rather than in a
// memory file system) and removed afterwards.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "records_fill.h"
#include "records_util.h"
#include "sql.h"
#include "store.h"

namespace rec = trn::records;

int main(int argc, char **argv) {
  const long runs = argc > 1 ? std::atol(argv[1]) : 100000;
  std::string folder = std::string(argc > 2 ? argv[2] : ".") + "/records-bench-XXXXXX";
  if (runs < 1 || !mkdtemp(&folder[0])) {
    fprintf(stderr, "usage: records_bench [RUNS] [FOLDER]\n");
    return 2;
  }
  const std::string db = folder + "/records.db";
  int rc = 0;
  try {
    double t0 = bench::now_ms();
    if (!fill(db, runs)) throw rec::StoreError("filling failed");
    // Filled without syncing: put it on the disk now, so that no measured
    // commit pays for flushing the whole file.
    sync();
    struct stat st {};
    stat(db.c_str(), &st);
    printf("filled %ld runs of %d steps in %.1f s: %.0f MB\n", runs, kStepCount,
           (bench::now_ms() - t0) / 1000, st.st_size / 1e6);

    time_command("trnctl records yield", {"records", "--db", db, "yield"});
    time_command("trnctl records yield --by day", {"records", "--db", db, "yield", "--by", "day"});
    time_command("trnctl records yield --by station",
                 {"records", "--db", db, "yield", "--by", "station"});
    time_command("trnctl records (all runs, text)", {"records", "--db", db});
    time_command("trnctl records --dut (one unit)", {"records", "--db", db, "--dut", "SN100500"});
    time_command("trnctl records show (one unit)", {"records", "--db", db, "show", "SN100500"});

    // Recording, as a station does it: the database opened once, then per
    // run an insert at the start and the completion at the end.
    t0 = bench::now_ms();
    auto store = rec::open_store(db, rec::OpenMode::Create);
    const double open_ms = bench::now_ms() - t0;
    std::mt19937 rng(7);
    std::vector<double> ms;
    for (int i = 0; i < 200; ++i) {
      rec::Run r = make_run("SN9" + std::to_string(i % 10), "line1", rec::utc_now(),
                            i % 5 ? rec::kPass : rec::kFail, rng);
      const double start = bench::now_ms();
      store->begin(r);
      r.ended = rec::utc_now();
      store->finish(r);
      ms.push_back(bench::now_ms() - start);
    }
    printf("opening the database: %.1f ms\n", open_ms);
    printf("recording a run (%d steps): median %.2f ms, p99 %.2f ms, slowest %.2f ms (200 runs)\n",
           kStepCount, bench::percentile(ms, 50), bench::percentile(ms, 99),
           bench::percentile(ms, 100));
  } catch (const rec::StoreError &e) {
    fprintf(stderr, "records_bench: %s\n", e.what());
    rc = 1;
  }
  for (const char *suffix : {"", "-wal", "-shm"}) unlink((db + suffix).c_str());
  rmdir(folder.c_str());
  return rc;
}
