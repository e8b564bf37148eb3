// Exchange round trip against the simulated board (trnsim as its own
// process), on a bare pseudo-terminal and on a line paced at 9600 baud, with
// the fixed 100 ms pause and with the fast exchange (TRN_FAST_EXCHANGE=1):
// the median time of one command exchange as a ratio to its floor, and the
// CPU time this process spends per exchange.
//
// Floors: the fixed exchange cannot end before its 100 ms pause; the fast one
// not before the board's reply latency, plus, on a 9600-baud line, the
// 8.02 ms each 7-byte frame takes to cross it in each direction.
#include <cstdio>
#include <cstdlib>

#include "VXTRN.h"
#include "bench_util.h"
#include "serial.h"

namespace {

constexpr double kLatencyMs = 10.0;         // trnsim's default reply latency
constexpr double kFrameMs9600 = 7 * 11 * 1000.0 / 9600;  // 8.02 ms

void run(int count, bool paced, bool fast) {
  bench::SimProcess sim;
  if (!sim.start(paced ? std::vector<std::string>{"--line-rate", "9600"}
                       : std::vector<std::string>{})) {
    fprintf(stderr, "could not start the simulated board\n");
    exit(1);
  }
  trn::set_fast_exchange(fast);
  std::vector<double> times;
  double cpu_before, cpu_after;
  int failed = 0;
  {
    bench::QuietStdout quiet;
    if (!OpenTRNService(sim.path.c_str(), port_speed, port_parity, port_databits, port_stopbits))
      exit(1);
    cpu_before = bench::process_cpu_ms();
    for (int i = 0; i < count; i++) {
      unsigned char set[16] = "ff";
      double t0 = bench::now_ms();
      if (!VolumeValue(set)) failed++;
      times.push_back(bench::now_ms() - t0);
    }
    cpu_after = bench::process_cpu_ms();
    CloseTRNService();
  }
  trn::set_fast_exchange(false);
  const double floor =
      fast ? kLatencyMs + (paced ? 2 * kFrameMs9600 : 0.0) : 100.0;
  const double median = bench::percentile(times, 50);
  printf("exchange round trip, %s, %s: %d exchanges, median %.1f ms (%.3f x the %.2f ms floor), "
         "p99 %.1f ms, CPU %.3f ms per exchange, %d failed\n",
         fast ? "fast" : "fixed", paced ? "9600 baud" : "pty", count, median, median / floor,
         floor, bench::percentile(times, 99), (cpu_after - cpu_before) / count, failed);
}

}  // namespace

int main(int argc, char **argv) {
  int count = argc > 1 ? atoi(argv[1]) : 50;
  trn::set_trace_hook(trn::stdio_trace);  // the panel's trace, as it runs
  for (bool paced : {false, true})
    for (bool fast : {false, true}) run(count, paced, fast);
  return 0;
}
