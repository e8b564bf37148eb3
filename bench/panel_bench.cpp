// Panel figures against the in-process simulated board (needs an X display):
// read_all against the 13 x 100 ms floor, status frame to check box latency
// at a low rate and at line rate, and the monitor thread's CPU use while idle
// and during command exchanges.
#include <gtk/gtk.h>

#include <atomic>
#include <thread>

#include "VXTRN.h"
#include "bench_util.h"
#include "board.h"
#include "panel.h"
#include "serial.h"

namespace {
std::vector<double> toggled_at;

void on_toggled(GtkToggleButton *, gpointer) { toggled_at.push_back(bench::now_ms()); }

void pump_until(const std::function<bool()> &done, double timeout_ms) {
  double end = bench::now_ms() + timeout_ms;
  while (!done() && bench::now_ms() < end) {
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(200);
  }
}

// Sends `frames` status frames `gap_ms` apart, toggling Vol Up each time, and
// returns the latencies from the last byte written to the box's "toggled".
std::vector<double> latencies(trnsim::Board &board, int frames, int gap_ms) {
  toggled_at.clear();
  std::vector<double> sent_at(frames);
  std::atomic<int> sent{0};
  std::thread sender([&] {
    for (int i = 0; i < frames; i++) {
      board.send_status(0x00, (i % 2 == 0) ? 0x02 : 0x00);
      sent_at[i] = bench::now_ms();
      sent = i + 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
    }
  });
  pump_until([&] { return static_cast<int>(toggled_at.size()) >= frames; },
             frames * gap_ms + 5000.0);
  sender.join();
  std::vector<double> result;
  for (size_t i = 0; i < toggled_at.size() && i < sent_at.size(); i++)
    result.push_back(toggled_at[i] - sent_at[i]);
  return result;
}
}  // namespace

int main(int argc, char **argv) {
  if (!gtk_init_check(&argc, &argv)) {
    fprintf(stderr, "panel_bench needs an X display (run it under xvfb-run -a)\n");
    return 1;
  }
  trnsim::Board board;
  if (!board.start()) return 1;
  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_container_add(GTK_CONTAINER(window), final_table());
  gtk_widget_show_all(window);

  double read_all_ms = 0, idle_cpu = 0, busy_cpu = 0;
  std::vector<double> slow, fast;
  const int exchanges = 100;
  {
    bench::QuietStdout quiet;
    OpenTRNService(board.slave_path().c_str(), port_speed, port_parity, port_databits,
                   port_stopbits);
    update_version();
    read_all();  // the first one also writes back what differs from the window
    double t0 = bench::now_ms();
    read_all();
    read_all_ms = bench::now_ms() - t0;

    set_status_handler(show_button_status);
    GThread *monitor = g_thread_try_new("CradleButtonStatus", CradleButtonStatus, nullptr, nullptr);
    g_signal_connect(obj[BTN_VOL_UP], "toggled", G_CALLBACK(on_toggled), nullptr);

    slow = latencies(board, 200, 50);
    fast = latencies(board, 200, 8);

    double c0 = bench::thread_cpu_ms("CradleButtonSta");
    if (c0 < 0) fprintf(stderr, "monitor thread not found\n");
    pump_until([] { return false; }, 3000);
    double c1 = bench::thread_cpu_ms("CradleButtonSta");
    for (int i = 0; i < exchanges; i++) {
      unsigned char set[16] = "ff";
      VolumeValue(set);
    }
    double c2 = bench::thread_cpu_ms("CradleButtonSta");
    idle_cpu = c1 - c0;
    busy_cpu = c2 - c1;

    CloseTRNService();
    if (monitor) g_thread_join(monitor);
  }
  board.stop();

  printf("read_all: %.0f ms (%.3f x the 13 x 100 ms floor)\n", read_all_ms, read_all_ms / 1300.0);
  printf("status -> check box, 1 frame / 50 ms: %zu frames, median %.2f ms, p99 %.2f ms\n",
         slow.size(), bench::percentile(slow, 50), bench::percentile(slow, 99));
  printf("status -> check box, 1 frame / 8 ms (line rate): %zu frames, median %.2f ms, p99 %.2f ms\n",
         fast.size(), bench::percentile(fast, 50), bench::percentile(fast, 99));
  printf("monitor CPU: idle %.0f ms over 3 s; during %d exchanges %.0f ms\n", idle_cpu, exchanges,
         busy_cpu);
  return 0;
}
