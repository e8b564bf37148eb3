// The GUI side of the live button status: the nine status boxes and the
// nurse-call LED that follows the nurse-call button.  Each status is decoded
// and shown on this (the GUI) thread, as the monitor's hand-over does.
#include <string>
#include <vector>

#include "VXTRN.h"
#include "gui.h"
#include "panel.h"
#include "panel_test_util.h"

namespace {

using Frames = std::vector<std::string>;

std::string F(uint8_t type, uint8_t rw, uint8_t value) {
  return trnsim::hex(trnsim::make_frame(type, rw, value));
}

// The nine status boxes, in the order they are set.
const int kStatusBoxes[] = {BTN_CRADLE, BTN_VOL_DOWN, BTN_VOL_UP,  BTN_CH_DOWN, BTN_CH_UP,
                            BTN_POWER,  DETECT_JACK,  DETECT_MIC, BTN_NUSRE};

bool on(int slot) { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(obj[slot])); }

// The slots of the ticked status boxes.
std::vector<int> ticked() {
  std::vector<int> out;
  for (int slot : kStatusBoxes)
    if (on(slot)) out.push_back(slot);
  return out;
}

const char kNurseOn[] = "\n****************NURSE_CALL_ON\n";
const char kNurseOff[] = "\n****************NURSE_CALL_OFF\n";

class StatusViewTest : public BoardTest {
 protected:
  void SetUp() override {
    if (!gui_available()) GTEST_SKIP() << "no display";
    BoardTest::SetUp();
    if (HasFatalFailure()) return;
    started_ = true;
    nurse_onoff = 0;
    panel_test::build_panel_window();
  }
  void TearDown() override {
    if (!started_) return;
    panel_test::destroy_panel_window();
    BoardTest::TearDown();
  }
  // One status frame as the GUI thread handles it; returns the trace.
  std::string status(unsigned char a, unsigned char b) {
    board.clear_received();
    StdoutCapture out;
    trn::decode_status(a, b);
    trn::show_button_status(a, b);
    return out.text();
  }
  bool started_ = false;
};

TEST_F(StatusViewTest, NurseCallFrameTicksBoxesAndSwitchesTheLedOn) {
  std::string text = status(0x49, 0x03);
  const unsigned char want[TOTAL_STATUS] = {0x01, 0x01, 0x02, 0x40, 0, 0, 0, 0, 0x08};
  for (int i = 0; i < TOTAL_STATUS; ++i) EXPECT_EQ(want[i], CRADLE_BUTTON[i]) << i;
  EXPECT_EQ((std::vector<int>{BTN_CRADLE, BTN_VOL_DOWN, BTN_VOL_UP, DETECT_JACK, BTN_NUSRE}),
            ticked());
  // Only the Button Status "Cradle" box is the monitor's.
  GtkWidget *handset_cradle = panel_test::find_button_in(window, "Handset Control", "Cradle");
  ASSERT_NE(nullptr, handset_cradle);
  EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(handset_cradle)));

  EXPECT_EQ(0u, text.find(kNurseOn));
  EXPECT_EQ(1, count_lines(text, "======== Set Nurse Call LED ON ======= 1 ====="));
  EXPECT_EQ((Frames{"1b 42 0b 01 00 69 0d"}), wire());
  EXPECT_TRUE(on(NURSE_CALL_ON));
  EXPECT_EQ(1, board.settings().nurse_led);
  EXPECT_EQ(0, nurse_onoff);

  // The same frame again: the LED already follows, nothing is sent.
  EXPECT_EQ(kNurseOn, status(0x49, 0x03));
  EXPECT_TRUE(wire().empty());

  // Only the nurse-call bit: every other box clears, the LED stays on.
  EXPECT_EQ(kNurseOn, status(0x08, 0x00));
  EXPECT_EQ(std::vector<int>{BTN_NUSRE}, ticked());
  EXPECT_TRUE(wire().empty());
}

// Bits outside the table clear every box, as a zero byte does; with the LED
// on, the nurse-call follow-up switches it off with one write.
TEST_F(StatusViewTest, IgnoredBitsClearAllBoxes) {
  const unsigned char frames[][2] = {{0x04, 0x00}, {0x10, 0x00}, {0x20, 0x00},
                                     {0x00, 0xF0}, {0x34, 0xF0}, {0x00, 0x00}};
  for (const auto &f : frames) {
    SCOPED_TRACE(testing::Message() << std::hex << int(f[0]) << " " << int(f[1]));
    status(0xCB, 0x0F);  // every box ticked, LED on
    ASSERT_EQ(9u, ticked().size());
    std::string text = status(f[0], f[1]);
    EXPECT_TRUE(ticked().empty());
    EXPECT_EQ(0u, text.find(kNurseOff));
    EXPECT_EQ((Frames{F(0x0B, 0x00, 0x00)}), wire());
    EXPECT_TRUE(on(NURSE_CALL_OFF));
  }
}

TEST_F(StatusViewTest, NextFrameUndoesTheOperatorsNurseCallChoice) {
  GtkWidget *led_on = panel_test::find_button_in(window, "Nurse Call", "Nurse Call LED ON");
  ASSERT_NE(nullptr, led_on);
  gtk_button_clicked(GTK_BUTTON(led_on));
  EXPECT_EQ(1, board.settings().nurse_led);

  std::string text = status(0x00, 0x00);
  EXPECT_EQ(0u, text.find(kNurseOff));
  EXPECT_EQ(1, count_lines(text, "======== Set Nurse Call LED OFF ======= 0 ====="));
  EXPECT_EQ((Frames{F(0x0B, 0x00, 0x00)}), wire());
  EXPECT_TRUE(on(NURSE_CALL_OFF));
  EXPECT_EQ(0, board.settings().nurse_led);
}

}  // namespace
