// Button events while the panel talks to the board, on a line paced at 9600
// baud with the monitor running, in both exchange modes: a quick tap of the
// nurse-call button whose release arrives during the LED write it set off, a
// second event right behind the first, and a status frame that arrives just
// before a read-back's reply.  None is lost and none is read as a reply.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "VXTRN.h"
#include "gui.h"
#include "panel.h"
#include "panel_test_util.h"
#include "serial.h"

namespace {

using Frames = std::vector<std::string>;
using trnsim::Input;

bool on(int slot) { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(obj[slot])); }

const std::string kLedOn = panel_test::frame_hex(trn::TYPE_NURSE_LED, 0x01, 0x00);
const std::string kLedOff = panel_test::frame_hex(trn::TYPE_NURSE_LED, 0x00, 0x00);

class LiveStatusTest : public panel_test::PanelTest {
 protected:
  void SetUp() override {
    PanelTest::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    board.set_line_rate(9600);
    nurse_onoff = 0;
    trn::set_status_handler(trn::show_button_status);
    monitor_ = g_thread_try_new("CradleButtonStatus", CradleButtonStatus, nullptr, nullptr);
    ASSERT_NE(nullptr, monitor_);
    ASSERT_TRUE(pump_until([] { return trn::status_delivery(); }));
  }
  void TearDown() override {
    board.set_logger(nullptr);
    trn::set_fast_exchange(false);
    if (monitor_) {
      CloseTRNService();
      g_thread_join(monitor_);
      pump_for(50);  // frames still queued for the GUI thread
    }
    PanelTest::TearDown();
  }
  // Does act(), then runs the main loop until done() holds (generously
  // bounded) and a while longer: a write that should not come would come
  // then.  The trace is kept out of the test's output.
  bool settle(const std::function<void()> &act, const std::function<bool()> &done) {
    StdoutCapture quiet;
    act();
    const bool ok = pump_until(done, 10000);
    pump_for(300);
    return ok;
  }
  GThread *monitor_ = nullptr;
};

// The press sets off the LED write; the release, arriving before, during or
// after that write, switches the LED off again.
TEST_F(LiveStatusTest, QuickTapsEndWithTheNurseLedOff) {
  for (bool fast : {false, true}) {
    for (int tap_ms : {5, 30, 60, 120}) {
      SCOPED_TRACE(std::string(fast ? "fast" : "fixed") + " exchange, tap of " +
                   std::to_string(tap_ms) + " ms");
      trn::set_fast_exchange(fast);
      board.clear_received();
      std::thread finger;
      EXPECT_TRUE(settle(
          [&] {
            finger = std::thread([&] {
              board.press(Input::NurseCall);
              std::this_thread::sleep_for(std::chrono::milliseconds(tap_ms));
              board.release(Input::NurseCall);
            });
          },
          [&] { return board.received_count() >= 2 && board.settings().nurse_led == 0; }));
      finger.join();
      EXPECT_EQ((Frames{kLedOn, kLedOff}), wire());
      EXPECT_EQ(0, board.settings().nurse_led);
      EXPECT_FALSE(on(BTN_NUSRE));
      EXPECT_TRUE(on(NURSE_CALL_OFF));
    }
  }
}

// A line-out plug 10 or 50 ms after the nurse-call press: both are shown.
TEST_F(LiveStatusTest, SecondEventRightBehindTheFirstIsShown) {
  for (bool fast : {false, true}) {
    for (int gap_ms : {10, 50}) {
      SCOPED_TRACE(std::string(fast ? "fast" : "fixed") + " exchange, " + std::to_string(gap_ms) +
                   " ms apart");
      trn::set_fast_exchange(fast);
      board.clear_received();
      std::thread hands;
      EXPECT_TRUE(settle(
          [&] {
            hands = std::thread([&] {
              board.press(Input::NurseCall);
              std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
              board.press(Input::LineOut);
            });
          },
          [&] { return on(DETECT_JACK) && board.settings().nurse_led == 1; }));
      hands.join();
      EXPECT_TRUE(on(DETECT_JACK));
      EXPECT_TRUE(on(BTN_NUSRE));
      EXPECT_TRUE(on(NURSE_CALL_ON));
      EXPECT_EQ((Frames{kLedOn}), wire());

      ASSERT_TRUE(settle(
          [&] {
            board.release(Input::LineOut);
            board.release(Input::NurseCall);
          },
          [&] { return board.settings().nurse_led == 0 && !on(DETECT_JACK); }));
    }
  }
}

// The board sends a status frame just before it answers one read of the
// top-right Read: the value read is the board's, the box is ticked, and the
// read-back writes nothing to the board.
TEST_F(LiveStatusTest, StatusFrameBeforeAReadBacksReplyIsNotTakenForIt) {
  trnsim::Settings s = board.settings();
  s.volume = 9;
  board.set_settings(s);
  GtkWidget *exit = panel_test::find_button(window, "Exit");
  ASSERT_NE(nullptr, exit);
  GtkWidget *read = panel_test::find_button(gtk_widget_get_parent(exit), "Read");
  ASSERT_NE(nullptr, read);
  auto click_read = [read] { gtk_button_clicked(GTK_BUTTON(read)); };
  // The first read-back also writes back what the new window shows
  // differently; the second only reads.
  settle(click_read, [] { return true; });
  board.clear_received();
  settle(click_read, [] { return true; });
  const Frames reads = wire();
  ASSERT_EQ(13u, reads.size());

  struct Row {
    const char *name;
    std::string before;  // the read answered just after the status frame
    unsigned char a, b;
    int box;
  } rows[] = {
      {"Cradle before the volume", panel_test::frame_hex(trn::TYPE_VOLUME, 0x00, 0x00), 0x01, 0x00,
       BTN_CRADLE},
      {"Vol Up before the membrane", panel_test::frame_hex(trn::TYPE_MEMBRANE_LED, 0x04, 0x00),
       0x00, 0x02, BTN_VOL_UP},
  };
  for (bool fast : {false, true}) {
    for (const Row &row : rows) {
      SCOPED_TRACE(std::string(row.name) + (fast ? ", fast exchange" : ", fixed exchange"));
      trn::set_fast_exchange(fast);
      std::atomic<bool> sent{false};
      board.set_logger([&](const trnsim::LogEntry &e) {
        if (e.received && trnsim::hex(e.bytes) == row.before && !sent.exchange(true))
          board.send_status(row.a, row.b);
      });
      board.clear_received();
      EXPECT_TRUE(settle(click_read, [&] { return on(row.box); }));
      board.set_logger(nullptr);
      EXPECT_TRUE(sent);
      EXPECT_EQ(reads, wire());
      EXPECT_EQ("9", panel_test::entry_text(VOLUME_SET_VALUE));
      EXPECT_TRUE(on(MEMBRANE_GREEN));
      EXPECT_TRUE(on(row.box));

      ASSERT_TRUE(settle([&] { board.send_status(0x00, 0x00); }, [&] { return !on(row.box); }));
    }
  }
}

}  // namespace
