// Start-up, run in-process under a real toolkit: the window, the trace, and
// what happens on the wire with no device, with a board of another model and
// with the expected board (read-back, monitor started and joined again).
//
// The window is never destroyed and Exit is never clicked here: the exit
// handler ends every process of the program's name.  A timeout inspects the
// window and leaves the main loop with gtk_main_quit alone.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "../serial/hang_guard.h"
#include "VXTRN.h"
#include "app.h"
#include "config.h"
#include "driver_speed.h"
#include "gui.h"
#include "panel.h"
#include "serial.h"

namespace {

const char *const kTitle = "Q742 VXTRNDemo (V1.1.1)";

struct WindowSeen {
  bool inspected = false;
  std::string title;
  bool resizable = true;
  guint border = 0;
  bool visible = false;
};

// Polls until the program's main loop runs (start-up exchanges come first),
// then looks at the window and leaves the loop.
gboolean inspect_and_quit(gpointer data) {
  if (gtk_main_level() == 0) return G_SOURCE_CONTINUE;
  auto *seen = static_cast<WindowSeen *>(data);
  if (window) {
    seen->inspected = true;
    const gchar *t = gtk_window_get_title(GTK_WINDOW(window));
    seen->title = t ? t : "";
    seen->resizable = gtk_window_get_resizable(GTK_WINDOW(window));
    seen->border = gtk_container_get_border_width(GTK_CONTAINER(window));
    seen->visible = gtk_widget_get_visible(window);
  }
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}


class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gui_available()) GTEST_SKIP() << "no display";
    const char *v = getenv("TRN_DEVICE");
    if (v) saved_device_ = v;
    memset(port_number, 0, sizeof port_number);
  }
  void TearDown() override {
    if (saved_device_)
      setenv("TRN_DEVICE", saved_device_->c_str(), 1);
    else
      unsetenv("TRN_DEVICE");
    ServiceState = false;
    driver_keeps_speed = 0;
  }

  // Runs the whole program against device; returns its result.
  int run_program(const std::string &device) {
    setenv("TRN_DEVICE", device.c_str(), 1);
    WorkDir dir;
    EXPECT_TRUE(dir.ok());
    char name[] = "trndemo";
    char *argv[] = {name, nullptr};
    int argc = 1;
    g_timeout_add(100, inspect_and_quit, &seen_);
    HangGuard guard("trndemo_main (main loop, monitor join)", 20);
    StdoutCapture out;
    StderrCapture err;
    int result = trn::trndemo_main(argc, argv);
    trace_ = out.text();
    err_ = err.text();
    return result;
  }

  void expect_window() {
    ASSERT_TRUE(seen_.inspected);
    EXPECT_EQ(kTitle, seen_.title);
    EXPECT_FALSE(seen_.resizable);
    EXPECT_EQ(10u, seen_.border);
    EXPECT_TRUE(seen_.visible);
  }

  std::optional<std::string> saved_device_;
  WindowSeen seen_;
  std::string trace_;
  std::string err_;
};

TEST_F(StartupTest, NoDeviceStillShowsTheWindow) {
  const std::string path = "/nonexistent/trn-ttyS";
  EXPECT_EQ(0, run_program(path));
  expect_window();
  // The port line has no line feed: the open's message continues it.
  EXPECT_EQ(1, count_lines(trace_, "The comport now is ==>" + path + "<==Open : Unable to Open " +
                                       path))
      << trace_;
  EXPECT_EQ(1, count_lines(trace_, "Initialize Device Failed !!!")) << trace_;
  EXPECT_EQ(1, count_lines(trace_, "****** Serial Initial File No Detected ! ******"));
  EXPECT_EQ(1, count_lines(trace_, "****** Default [9600-E:8:1] & /dev/ttyS4 ******"));
  EXPECT_FALSE(contains(trace_, "The device is on"));
  EXPECT_FALSE(contains(trace_, "g_thread"));
  EXPECT_FALSE(ServiceState);
}

TEST_F(StartupTest, OtherBoardModelIsNotReadBack) {
  trnsim::Board board;
  trnsim::Settings s;
  s.major = 0x07;
  s.minor = 0x43;
  board.set_settings(s);
  ASSERT_TRUE(board.start());

  EXPECT_EQ(0, run_program(board.slave_path()));
  expect_window();
  EXPECT_EQ(1, count_lines(trace_, "The comport now is ==>" + board.slave_path() +
                                       "<==\tThe device is on !!!"))
      << trace_;
  EXPECT_EQ(1, count_lines(trace_, "Initialize Device Failed !!!")) << trace_;
  EXPECT_FALSE(contains(trace_, "g_thread"));
  EXPECT_EQ(0, identifierOK);

  std::vector<std::string> sent;
  for (const auto &f : board.received()) sent.push_back(trnsim::hex(f));
  EXPECT_EQ((std::vector<std::string>{"1b 42 00 00 00 5d 0d", "1b 42 01 00 00 5e 0d"}), sent);
  board.stop();
}

TEST_F(StartupTest, ExpectedBoardIsReadBackAndMonitored) {
  trnsim::Board board;
  ASSERT_TRUE(board.start());

  EXPECT_EQ(0, run_program(board.slave_path()));
  expect_window();
  EXPECT_EQ(1, count_lines(trace_, "The comport now is ==>" + board.slave_path() +
                                       "<==\tThe device is on !!!"))
      << trace_;
  EXPECT_EQ(0, count_lines(trace_, "Initialize Device Failed !!!"));
  EXPECT_EQ(1, identifierOK);
  // GLib's thread system is always up before main nowadays.
  EXPECT_EQ(1, count_lines(trace_, "g_thread NOT supported")) << trace_;
  EXPECT_EQ(0, count_lines(trace_, "g_thread supported"));
  EXPECT_FALSE(contains(trace_, "Thread create failed"));
  // A pty drops the parity it is given; that is not told.
  EXPECT_FALSE(contains(err_, "Settings")) << err_;

  std::vector<std::string> sent;
  for (const auto &f : board.received()) sent.push_back(trnsim::hex(f));
  ASSERT_GT(sent.size(), 2u);
  EXPECT_EQ("1b 42 00 00 00 5d 0d", sent[0]);
  EXPECT_EQ("1b 42 01 00 00 5e 0d", sent[1]);
  // Among the read-back: the volume, brightness and pass-through delay reads.
  for (const char *read : {"1b 42 06 00 00 63 0d", "1b 42 07 00 00 64 0d",
                           "1b 42 0d 00 00 6a 0d", "1b 42 0a 00 00 67 0d"}) {
    EXPECT_NE(sent.end(), std::find(sent.begin(), sent.end(), read)) << read;
  }
  board.stop();
}

// A port whose driver did not apply the speed: the finding goes to standard
// error, the trace is that of any port, and the board is used as it is.
TEST_F(StartupTest, SettingsNotAppliedAreToldAndThePortIsUsed) {
  trnsim::Board board;
  ASSERT_TRUE(board.start());
  driver_keeps_speed = B4800;

  EXPECT_EQ(0, run_program(board.slave_path()));
  EXPECT_EQ(1, count_lines(err_, "Settings not applied by the driver: speed 9600 (read back: "
                                 "4800 in, 4800 out)"))
      << err_;
  EXPECT_FALSE(contains(trace_, "Settings")) << trace_;
  EXPECT_EQ(1, count_lines(trace_, "The comport now is ==>" + board.slave_path() +
                                       "<==\tThe device is on !!!"))
      << trace_;
  EXPECT_EQ(1, identifierOK);
  EXPECT_EQ(1, count_lines(trace_, "g_thread NOT supported")) << trace_;
  board.stop();
}

}  // namespace
