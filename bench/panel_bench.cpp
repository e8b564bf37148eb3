// Panel figures against the in-process simulated board (needs an X display):
// read_all with the fixed and the fast exchange, on a bare pseudo-terminal
// and on a line paced at 9600 baud, each against its floor; status frame to
// check box latency (from the frame's last byte) on both lines, with frames
// lost counted; and the monitor thread's CPU use while idle and during
// command exchanges.
#include <gtk/gtk.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "VXTRN.h"
#include "bench_util.h"
#include "board.h"
#include "panel.h"
#include "serial.h"
#include "shell.h"

namespace {
std::vector<double> toggled_at;

void on_toggled(GtkToggleButton *, gpointer) { toggled_at.push_back(bench::now_ms()); }

void pump_until(const std::function<bool()> &done, double timeout_ms) {
  double end = bench::now_ms() + timeout_ms;
  while (!done() && bench::now_ms() < end) {
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(200);
  }
}

constexpr double kLatencyMs = 10.0;                       // the board's reply latency
constexpr double kFrameMs9600 = 7 * 11 * 1000.0 / 9600;  // 8.02 ms

// Sends `frames` status frames `gap_ms` apart, toggling Vol Up each time, and
// returns the latencies from the last byte written to the box's "toggled".
// On a paced line send_status returns once the last byte has gone out.
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

// The second read_all of a run (the first also writes back what differs
// from the window's initial state), in ms.
double time_read_all(trnsim::Board &board, bool paced, bool fast) {
  board.set_line_rate(paced ? 9600 : 0);
  trn::set_fast_exchange(fast);
  read_all();
  double t0 = bench::now_ms();
  read_all();
  double ms = bench::now_ms() - t0;
  trn::set_fast_exchange(false);
  return ms;
}

void print_latency(const char *what, const std::vector<double> &v, int frames) {
  printf("status -> check box, %s: %zu of %d frames, median %.2f ms, p99 %.2f ms\n", what,
         v.size(), frames, bench::percentile(v, 50), bench::percentile(v, 99));
}
}  // namespace

int main(int argc, char **argv) {
  if (!gtk_init_check(&argc, &argv)) {
    fprintf(stderr, "panel_bench needs an X display (run it under xvfb-run -a)\n");
    return 1;
  }
  trn::set_trace_hook(trn::stdio_trace);  // the panel's trace, as it runs
  trnsim::Board board;
  if (!board.start()) return 1;
  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_container_add(GTK_CONTAINER(window), final_table());
  gtk_widget_show_all(window);

  struct ReadAll {
    bool paced, fast;
    double ms;
  } read_alls[] = {{false, false, 0}, {false, true, 0}, {true, false, 0}, {true, true, 0}};
  double idle_cpu = 0, busy_cpu = 0;
  const int frames = 200;
  std::vector<double> pty_slow, pty_fast, line_slow, line_full;
  const int exchanges = 100;
  {
    bench::QuietStdout quiet;
    OpenTRNService(board.slave_path().c_str(), port_speed, port_parity, port_databits,
                   port_stopbits);
    update_version();
    for (ReadAll &r : read_alls) r.ms = time_read_all(board, r.paced, r.fast);

    trn::set_status_handler(trn::show_button_status);
    GThread *monitor = g_thread_try_new("CradleButtonStatus", CradleButtonStatus, nullptr, nullptr);
    g_signal_connect(obj[BTN_VOL_UP], "toggled", G_CALLBACK(on_toggled), nullptr);

    board.set_line_rate(0);
    pty_slow = latencies(board, frames, 50);
    pty_fast = latencies(board, frames, 8);
    board.set_line_rate(9600);
    line_slow = latencies(board, frames, 50);
    line_full = latencies(board, frames, 0);  // back to back: the line's 125 frames/s
    board.set_line_rate(0);

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

  for (const ReadAll &r : read_alls) {
    const double floor =
        13 * (r.fast ? kLatencyMs + (r.paced ? 2 * kFrameMs9600 : 0.0) : 100.0);
    printf("read_all, %s, %s: %.0f ms (%.3f x the %.0f ms floor)\n", r.fast ? "fast" : "fixed",
           r.paced ? "9600 baud" : "pty", r.ms, r.ms / floor, floor);
  }
  print_latency("pty, 1 frame / 50 ms", pty_slow, frames);
  print_latency("pty, 1 frame / 8 ms", pty_fast, frames);
  print_latency("9600 baud, 1 frame / 50 ms", line_slow, frames);
  print_latency("9600 baud, back to back (125 frames/s)", line_full, frames);
  printf("monitor CPU: idle %.0f ms over 3 s; during %d exchanges %.0f ms\n", idle_cpu, exchanges,
         busy_cpu);
  return 0;
}
