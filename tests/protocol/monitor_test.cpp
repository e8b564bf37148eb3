// The button status monitor thread against the simulated board: frames are
// decoded once and whole, the thread keeps off the port during exchanges, it
// never spins, and closing the service ends it.
#include <gtk/gtk.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "VXTRN.h"
#include "gui.h"
#include "panel.h"
#include "serial.h"

namespace {

// CPU time (ms) of this process's thread named name, from /proc.
double thread_cpu_ms(const char *name) {
  char dir[64];
  snprintf(dir, sizeof dir, "/proc/%d/task", getpid());
  GDir *tasks = g_dir_open(dir, 0, nullptr);
  double result = -1;
  while (const char *tid = tasks ? g_dir_read_name(tasks) : nullptr) {
    gchar *path = g_strdup_printf("%s/%s/stat", dir, tid);
    gchar *stat = nullptr;
    if (g_file_get_contents(path, &stat, nullptr, nullptr)) {
      const char *open = strchr(stat, '(');
      const char *close = strrchr(stat, ')');
      if (open && close && std::string(open + 1, close).rfind(name, 0) == 0) {
        unsigned long utime = 0, stime = 0;
        if (sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                   &stime) == 2)
          result = (utime + stime) * 1000.0 / sysconf(_SC_CLK_TCK);
      }
    }
    g_free(stat);
    g_free(path);
  }
  if (tasks) g_dir_close(tasks);
  return result;
}

int count_key_lines(const std::string &trace) {
  int lines = 0;
  for (size_t at = trace.find("key ---> "); at != std::string::npos; at = trace.find("key ---> ", at + 1))
    lines++;
  return lines;
}

bool active(int slot) { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(obj[slot])); }

class MonitorTest : public BoardTest {
 protected:
  void SetUp() override {
    if (!gui_available()) GTEST_SKIP() << "no display";
    BoardTest::SetUp();
    win_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(win_), final_table());
    trn::set_status_handler(trn::show_button_status);
    memset(CRADLE_BUTTON, 0, sizeof CRADLE_BUTTON);
    monitor_ = g_thread_try_new("CradleButtonStatus", CradleButtonStatus, nullptr, nullptr);
    ASSERT_NE(nullptr, monitor_);
    // Until it runs, status frames that exchanges meet are not delivered.
    ASSERT_TRUE(pump_until([] { return trn::status_delivery(); }));
  }

  void TearDown() override {
    if (!win_) return;
    stop_monitor();
    pump_for(50);  // run frames still queued for the GUI thread
    gtk_widget_destroy(win_);
    BoardTest::TearDown();
  }

  // Closing the service must end the monitor; a watchdog turns a hang into a
  // failure instead of a stuck suite.
  void stop_monitor() {
    if (!monitor_) return;
    std::atomic<bool> joined{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 200 && !joined; i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (!joined) {
        fprintf(stderr, "monitor did not end after CloseTRNService\n");
        abort();
      }
    });
    CloseTRNService();
    g_thread_join(monitor_);
    joined = true;
    watchdog.join();
    monitor_ = nullptr;
  }

  GtkWidget *win_ = nullptr;
  GThread *monitor_ = nullptr;
};

TEST_F(MonitorTest, StatusFrameTicksBoxesAndDrivesNurseCallLed) {
  StdoutCapture out;
  board.send_status(0x49, 0x03);
  ASSERT_TRUE(pump_until([&] { return board.received_count() >= 1; }));
  pump_for(150);
  std::string trace = out.text();

  EXPECT_EQ(1, count_lines(trace, "key ---> 1b 42 2 49 3 ab d 0 "));
  EXPECT_EQ(1, count_lines(trace, "****************NURSE_CALL_ON"));
  const unsigned char expected[TOTAL_STATUS] = {0x01, 0x01, 0x02, 0x40, 0, 0, 0, 0, 0x08};
  for (int i = 0; i < TOTAL_STATUS; i++) EXPECT_EQ(expected[i], CRADLE_BUTTON[i]) << "element " << i;
  EXPECT_TRUE(active(BTN_CRADLE));
  EXPECT_TRUE(active(BTN_VOL_DOWN));
  EXPECT_TRUE(active(BTN_VOL_UP));
  EXPECT_TRUE(active(DETECT_JACK));
  EXPECT_TRUE(active(BTN_NUSRE));
  EXPECT_FALSE(active(BTN_CH_DOWN));
  EXPECT_FALSE(active(BTN_CH_UP));
  EXPECT_FALSE(active(BTN_POWER));
  EXPECT_FALSE(active(DETECT_MIC));
  EXPECT_TRUE(active(NURSE_CALL_ON));
  EXPECT_EQ(std::vector<std::string>{"1b 42 0b 01 00 69 0d"}, wire());
}

TEST_F(MonitorTest, FrameInPiecesIsDecodedOnceAndWhole) {
  const trnsim::Frame frame = trnsim::make_frame(0x02, 0x80, 0x0C);  // Mic-In, Ch Down + Ch Up
  const std::vector<std::vector<size_t>> splits = {{1, 6}, {3, 2, 2}, {2, 1, 4}};
  for (const auto &split : splits) {
    StdoutCapture out;
    size_t at = 0;
    for (size_t len : split) {
      board.send_raw(frame.data() + at, len);
      at += len;
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    ASSERT_TRUE(pump_until([] { return active(DETECT_MIC) && active(BTN_CH_UP); }));
    pump_for(100);
    std::string trace = out.text();
    EXPECT_EQ(1, count_lines(trace, "key ---> 1b 42 2 80 c eb d 0 ")) << trace;
    EXPECT_EQ(0x80, CRADLE_BUTTON[MIC_IN_STATUS]);
    EXPECT_EQ(0x04, CRADLE_BUTTON[CHANNEL_DOWN_STATUS]);
    EXPECT_FALSE(active(BTN_CRADLE));

    // Clear the boxes again for the next split.
    board.send_status(0x00, 0x00);
    ASSERT_TRUE(pump_until([] { return !active(DETECT_MIC); }));
  }
}

// Bytes ahead of a status frame never cost the frame, and they are traced as
// dropped before it: noise is skipped, a cut-off piece left waiting is dropped
// once the line has been quiet, and a leftover lead-in followed at once by the
// frame gives seven bytes without CR holding the frame's lead-in, so the
// collecting restarts there.
TEST_F(MonitorTest, BytesBeforeAFrameDoNotSwallowItAndAreTraced) {
  struct Case {
    const char *name;
    std::vector<uint8_t> before;
    int pause_ms;             // between those bytes and the frame
    const char *dropped;      // the "key ---> " line of the dropped bytes
  };
  const Case cases[] = {
      {"noise", {0x00, 0xFF, 0x1B, 0x00, 0x42, 0x55}, 0, "key ---> 0 ff 1b 0 42 55 0 0 "},
      {"stale piece of a late reply", {0x1B, 0x42, 0x06}, 150, "key ---> 1b 42 6 0 0 0 0 0 "},
      {"leftover lead-in", {0x1B, 0x42}, 0, "key ---> 1b 42 0 0 0 0 0 0 "},
  };
  const std::string frame_line = "key ---> 1b 42 2 2 0 61 d 0 ";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    StdoutCapture out;
    board.send_raw(c.before.data(), c.before.size());
    pump_for(c.pause_ms);
    board.send_status(0x02, 0x00);  // Power
    ASSERT_TRUE(pump_until([] { return active(BTN_POWER); }));
    pump_for(100);
    std::string trace = out.text();
    EXPECT_EQ(0x02, CRADLE_BUTTON[POWER_BUTTON]);
    EXPECT_EQ(1, count_lines(trace, frame_line)) << trace;
    EXPECT_EQ(1, count_lines(trace, c.dropped)) << trace;
    EXPECT_LT(trace.find(c.dropped), trace.find(frame_line)) << trace;
    EXPECT_EQ(2, count_key_lines(trace)) << trace;

    board.send_status(0x00, 0x00);  // release for the next case
    ASSERT_TRUE(pump_until([] { return !active(BTN_POWER); }));
  }
}

// A cut-off piece of a status frame followed at once by a whole one: the
// seven bytes they make together are no frame and are never decoded (their
// byte 3 would be the ESC 0x1B: Cradle, Power and Nurse Call, with a nurse-call
// LED write to the board).  The piece is traced as dropped and the real frame
// is decoded.
TEST_F(MonitorTest, CutOffPieceRunningIntoAFrameIsNotDecoded) {
  const std::pair<std::vector<uint8_t>, const char *> pieces[] = {
      {{0x1B, 0x42, 0x02}, "key ---> 1b 42 2 0 0 0 0 0 "},
      {{0x1B, 0x42, 0x02, 0x08}, "key ---> 1b 42 2 8 0 0 0 0 "},
      {{0x1B, 0x42, 0x02, 0x49, 0x03}, "key ---> 1b 42 2 49 3 0 0 0 "}};
  for (const auto &piece : pieces) {
    SCOPED_TRACE(piece.second);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(obj[BTN_CH_UP]), TRUE);
    memset(CRADLE_BUTTON, 0xA5, sizeof CRADLE_BUTTON);
    StdoutCapture out;
    board.send_raw(piece.first.data(), piece.first.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    board.send_status(0x00, 0x00);
    ASSERT_TRUE(pump_until([] { return !active(BTN_CH_UP); }));
    pump_for(250);  // time for a wrongly sent NurseCallLED exchange
    std::string trace = out.text();
    for (unsigned char element : CRADLE_BUTTON) EXPECT_EQ(0, element);
    EXPECT_TRUE(wire().empty()) << testing::PrintToString(wire());
    EXPECT_FALSE(contains(trace, "NURSE_CALL_ON")) << trace;
    EXPECT_EQ(1, count_lines(trace, "key ---> 1b 42 2 0 0 5f d 0 ")) << trace;
    EXPECT_EQ(1, count_lines(trace, piece.second)) << trace;
    EXPECT_EQ(2, count_key_lines(trace)) << trace;
  }
}

// A monitor held up between two reads of one frame (here: stuck at its trace
// of a noise byte) keeps the piece it holds: the rest arrived in time, and only
// a line that stays quiet while the monitor waits makes a piece stale.
TEST_F(MonitorTest, DelayedMonitorKeepsAPieceWhoseRestArrivedInTime) {
  const trnsim::Frame frame = trnsim::make_frame(0x02, 0x01, 0x00);  // Cradle
  const uint8_t head[] = {0x00, frame[0], frame[1], frame[2]};
  StdoutCapture out;
  flockfile(stdout);
  board.send_raw(head, sizeof head);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  board.send_raw(frame.data() + 3, 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  funlockfile(stdout);
  EXPECT_TRUE(pump_until([] { return active(BTN_CRADLE); }));
  pump_for(50);
  std::string trace = out.text();
  EXPECT_EQ(1, count_lines(trace, "key ---> 0 0 0 0 0 0 0 0 ")) << trace;
  EXPECT_EQ(1, count_lines(trace, "key ---> 1b 42 2 1 0 60 d 0 ")) << trace;
}

TEST_F(MonitorTest, ReplyTypeFrameIsTracedOnly) {
  board.send_status(0x01, 0x00);
  ASSERT_TRUE(pump_until([] { return active(BTN_CRADLE); }));
  StdoutCapture out;
  board.send_raw(trnsim::make_frame(0x06, 0x00, 0x07));
  pump_for(300);
  std::string trace = out.text();
  EXPECT_EQ(1, count_lines(trace, "key ---> 1b 42 6 0 7 6a d 0 ")) << trace;
  EXPECT_TRUE(active(BTN_CRADLE));
  EXPECT_EQ(0x01, CRADLE_BUTTON[CRADLE_STATUS]);
}

// A status frame that reaches the port during an exchange, before the reply
// (the board holds its reply back) or after it (the board answered early,
// the fixed exchange reads 100 ms after the write), is never taken for the
// reply: the exchange reads it, traces it after its result and hands it to
// the monitor's path, which decodes it once.
TEST_F(MonitorTest, StatusFrameDuringExchangeIsDecodedOnceAfterIt) {
  struct Row {
    const char *name;
    bool fast;
    int delay_ms;  // the board's reply held back this long
    int send_ms;   // the status frame sent this long after the command
  } rows[] = {{"before the reply", false, 60, 20},
              {"after the reply", false, 0, 50},
              {"before the reply, fast exchange", true, 60, 20}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    trn::set_fast_exchange(row.fast);
    board.set_fault(trnsim::Fault::Delay, row.delay_ms);
    StdoutCapture out;
    std::thread sender([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(row.send_ms));
      board.send_status(0x01, 0x00);  // Cradle
    });
    unsigned char set[16] = "ff";
    EXPECT_EQ(1, VolumeValue(set));
    EXPECT_EQ(board.settings().volume, set[0]);
    sender.join();
    EXPECT_TRUE(pump_until([] { return active(BTN_CRADLE); }));
    pump_for(100);
    std::string trace = out.text();
    trn::set_fast_exchange(false);
    EXPECT_EQ(0x01, CRADLE_BUTTON[CRADLE_STATUS]);
    const std::string key = "key ---> 1b 42 2 1 0 60 d 0 ";
    EXPECT_EQ(1, count_lines(trace, key)) << trace;
    EXPECT_LT(trace.find("Get Result = 1b 42 6 0"), trace.find(key)) << trace;

    board.set_fault(trnsim::Fault::None);
    board.send_status(0x00, 0x00);
    ASSERT_TRUE(pump_until([] { return !active(BTN_CRADLE); }));
  }
}

// Bytes around a reply that form no frame are no longer thrown away: noise
// before it is traced after the exchange's result (and the reply behind it
// is found), and the piece of a reply cut short stays in the line until the
// monitor finds the line quiet and drops it.  Either way a status frame
// that follows is decoded.
TEST_F(MonitorTest, BytesAroundTheReplyAreTracedAfterIt) {
  struct Row {
    const char *name;
    trnsim::Fault fault;
    int param;
    int result;
    const char *dropped;
  } rows[] = {{"noise before the reply", trnsim::Fault::Noise, 3, 1, "key ---> 0 ff 55 0 0 0 0 0 "},
              {"reply cut short", trnsim::Fault::Short, 4, 0, "key ---> 1b 42 6 0 0 0 0 0 "}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    board.set_fault(row.fault, row.param);
    StdoutCapture out;
    unsigned char set[16] = "ff";
    const int result = VolumeValue(set);
    board.set_fault(trnsim::Fault::None);
    pump_for(150);
    board.send_status(0x02, 0x00);  // Power
    const bool decoded = pump_until([] { return active(BTN_POWER); });
    std::string trace = out.text();
    EXPECT_EQ(row.result, result);
    EXPECT_TRUE(decoded);
    EXPECT_EQ(1, count_lines(trace, row.dropped)) << trace;
    EXPECT_LT(trace.find("Get Result = "), trace.find(row.dropped)) << trace;
    EXPECT_LT(trace.find(row.dropped), trace.find("key ---> 1b 42 2 2 0 61 d 0 ")) << trace;

    board.send_status(0x00, 0x00);
    ASSERT_TRUE(pump_until([] { return !active(BTN_POWER); }));
  }
}

TEST_F(MonitorTest, StaysIdleDuringExchanges) {
  // The thread names itself once it runs.
  ASSERT_TRUE(pump_until([] { return thread_cpu_ms("CradleButtonSta") >= 0; }));
  double before = thread_cpu_ms("CradleButtonSta");
  {
    StdoutCapture quiet;
    for (int i = 0; i < 50; i++) {
      unsigned char set[16] = "ff";
      VolumeValue(set);
    }
  }
  double used = thread_cpu_ms("CradleButtonSta") - before;
  // 50 exchanges take more than 5 s; a monitor that polled through them would
  // use most of that.  A sleeping one uses a few clock ticks at most.
  EXPECT_LT(used, 500.0);
}

TEST_F(MonitorTest, HangUpReportsAtBoundedRateAndCloseEndsMonitor) {
  board.send_status(0x08, 0x00);
  ASSERT_TRUE(pump_until([] { return active(BTN_NUSRE); }));
  ASSERT_TRUE(pump_until([&] { return board.received_count() >= 1; }));
  board.clear_received();

  StdoutCapture out;
  board.hang_up();
  pump_for(2000);  // the main loop stays responsive meanwhile
  std::string trace = out.text();
  int errors = count_lines(trace, "Receive Error!!");
  EXPECT_GE(errors, 1);
  EXPECT_LE(errors, 40) << "the monitor retries without pausing";
  EXPECT_FALSE(contains(trace, "key --->"));
  EXPECT_TRUE(active(BTN_NUSRE));  // nothing decoded, nothing undone
  stop_monitor();
}

// With every descriptor in use when the monitor starts, it has no wake-up
// eventfd.  It must still decode frames and must still end once the service
// is closed (its waits are then bounded instead of endless).  Runs in a child
// process so that exhausting the descriptors and any hang stay there.
void run_monitor_without_wake_up() {
  alarm(20);  // a hang ends the child with SIGALRM: the test fails, not stalls
  trnsim::Board board;
  if (!board.start()) _exit(2);
  {
    StdoutCapture quiet;
    if (OpenTRNService(board.slave_path().c_str(), port_speed, port_parity, port_databits,
                       port_stopbits) != 1)
      _exit(3);
  }
  g_main_context_default();  // the main context needs a descriptor of its own

  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_cur < 256 ? limit.rlim_cur : 256;
  setrlimit(RLIMIT_NOFILE, &limit);
  while (dup(0) >= 0) {
  }
  if (trn::service_wake_fd() >= 0) _exit(4);  // the descriptors were not used up

  memset(CRADLE_BUTTON, 0, sizeof CRADLE_BUTTON);
  GThread *monitor = g_thread_try_new("CradleButtonStatus", CradleButtonStatus, nullptr, nullptr);
  if (!monitor) _exit(5);
  board.send_status(0x08, 0x00);
  for (int i = 0; i < 500 && !CRADLE_BUTTON[NURSE_STATUS]; i++) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_usleep(10000);
  }
  if (!CRADLE_BUTTON[NURSE_STATUS]) _exit(6);  // the frame was never decoded
  CloseTRNService();
  g_thread_join(monitor);
  _exit(0);
}

TEST(MonitorWithoutWakeUp, DecodesAndEndsWhenTheServiceCloses) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_monitor_without_wake_up(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
