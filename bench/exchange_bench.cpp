// Exchange round trip against the simulated board on a pseudo-terminal: the
// median time of one command exchange and its ratio to the exchange's fixed
// 100 ms pause, and the CPU time this process spends per exchange.
#include <cstdio>

#include "VXTRN.h"
#include "bench_util.h"
#include "serial.h"

int main(int argc, char **argv) {
  int count = argc > 1 ? atoi(argv[1]) : 50;
  bench::SimProcess sim;
  if (!sim.start()) {
    fprintf(stderr, "could not start the simulated board\n");
    return 1;
  }
  std::vector<double> times;
  double cpu_before, cpu_after;
  {
    bench::QuietStdout quiet;
    if (!OpenTRNService(sim.path.c_str(), port_speed, port_parity, port_databits, port_stopbits))
      return 1;
    cpu_before = bench::process_cpu_ms();
    for (int i = 0; i < count; i++) {
      unsigned char set[16] = "ff";
      double t0 = bench::now_ms();
      int ok = VolumeValue(set);
      times.push_back(bench::now_ms() - t0);
      if (!ok) fprintf(stderr, "exchange %d failed\n", i);
    }
    cpu_after = bench::process_cpu_ms();
    CloseTRNService();
  }
  double median = bench::percentile(times, 50);
  printf("exchange round trip: %d exchanges, median %.1f ms (%.3f x the 100 ms floor), "
         "p99 %.1f ms, CPU %.3f ms per exchange\n",
         count, median, median / 100.0, bench::percentile(times, 99),
         (cpu_after - cpu_before) / count);
  return 0;
}
