// trnctl against the in-process simulated board, on a bare pseudo-terminal
// and on a line paced at 9600 baud: `get` of all 13 settings and `selftest`
// (without buttons) as ratios to their floors, trnctl's start-up time
// (`trnctl --version`) and its peak resident memory during `selftest`.
//
// Floor of one exchange: the board's reply latency, plus, at 9600 baud, the
// 8.02 ms each 7-byte frame takes to cross the line in each direction.
// selftest's floor is its number of exchanges (counted at the board) times
// that.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "board.h"

namespace {

constexpr double kLatencyMs = 10.0;
constexpr double kFrameMs9600 = 7 * 11 * 1000.0 / 9600;

struct Run {
  double ms = 0;
  int status = -1;
  long maxrss_kb = 0;
};

// Runs trnctl with args, its output thrown away.
Run trnctl(const std::vector<std::string> &args) {
  std::string exe = bench::exe_dir() + "/trnctl";
  std::vector<std::string> all = {"trnctl"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : all) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  Run r;
  double t0 = bench::now_ms();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  r.ms = bench::now_ms() - t0;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.maxrss_kb = ru.ru_maxrss;
  return r;
}

}  // namespace

int main(int argc, char **argv) {
  const int runs = argc > 1 ? atoi(argv[1]) : 5;
  trnsim::Board board;
  if (!board.start()) return 1;
  const std::string dev = board.slave_path();
  long peak_kb = 0;
  for (bool paced : {false, true}) {
    board.set_line_rate(paced ? 9600 : 0);
    const double floor = kLatencyMs + (paced ? 2 * kFrameMs9600 : 0.0);
    const char *line = paced ? "9600 baud" : "pty";
    std::vector<double> get, self;
    int failures = 0;
    for (int i = 0; i < runs; i++) {
      Run r = trnctl({"-d", dev, "get"});
      get.push_back(r.ms);
      failures += r.status != 0;
    }
    board.clear_received();
    for (int i = 0; i < runs; i++) {
      Run r = trnctl({"-d", dev, "selftest"});
      self.push_back(r.ms);
      failures += r.status != 0;
      if (r.maxrss_kb > peak_kb) peak_kb = r.maxrss_kb;
    }
    const double exchanges = static_cast<double>(board.received_count()) / runs;
    const double g = bench::percentile(get, 50), s = bench::percentile(self, 50);
    printf("trnctl get (13 reads), %s: median %.0f ms (%.3f x the 13 x %.2f ms floor), "
           "%d runs\n", line, g, g / (13 * floor), floor, runs);
    printf("trnctl selftest, %s: median %.0f ms for %.0f exchanges (%.3f x their floor), "
           "%d runs, %d failed\n", line, s, exchanges, s / (exchanges * floor), runs, failures);
  }
  board.stop();

  std::vector<double> start;
  for (int i = 0; i < 50; i++) start.push_back(trnctl({"--version"}).ms);
  printf("trnctl --version: median %.2f ms, p90 %.2f ms (50 runs)\n", bench::percentile(start, 50),
         bench::percentile(start, 90));
  printf("trnctl peak resident memory during selftest: %.1f MiB (%ld kB)\n", peak_kb / 1024.0,
         peak_kb);
  return 0;
}
