// Live button status: mirrors the last decoded status frame in the nine
// status boxes and makes the nurse-call LED selection follow the nurse-call
// button.  Runs on the GUI thread, right after decode_status.
#include <cstdio>

#include "VXTRN.h"
#include "panel.h"
#include "panel_tables.h"
#include "settings.h"

using trn::panel_tables::toggle;

namespace {

// The check box that shows each element of CRADLE_BUTTON.
constexpr int status_box[TOTAL_STATUS] = {
    BTN_CRADLE,    // CRADLE_STATUS
    BTN_VOL_DOWN,  // VOLUME_DOWN_STATUS
    BTN_VOL_UP,    // VOLUME_UP_STATUS
    DETECT_JACK,   // LINE_OUT_STATUS
    BTN_CH_DOWN,   // CHANNEL_DOWN_STATUS
    BTN_CH_UP,     // CHANNEL_UP_STATUS
    BTN_POWER,     // POWER_BUTTON
    DETECT_MIC,    // MIC_IN_STATUS
    BTN_NUSRE,     // NURSE_STATUS
};

}  // namespace

void trn::show_button_status(unsigned char /*a*/, unsigned char /*b*/) {
  // In the order of the decode (settings.h).
  for (const trn::Input &in : trn::inputs())
    gtk_toggle_button_set_active(toggle(status_box[in.element]), CRADLE_BUTTON[in.element] != 0);

  // Switching the selected radio off directly does nothing, so only the
  // second call can change the pair; a change sets off set_nurse_call_onoff,
  // which writes the new LED state to the board.
  if (gtk_toggle_button_get_active(toggle(BTN_NUSRE))) {
    puts("\n****************NURSE_CALL_ON");
    gtk_toggle_button_set_active(toggle(NURSE_CALL_OFF), FALSE);
    gtk_toggle_button_set_active(toggle(NURSE_CALL_ON), TRUE);
  } else {
    puts("\n****************NURSE_CALL_OFF");
    gtk_toggle_button_set_active(toggle(NURSE_CALL_ON), FALSE);
    gtk_toggle_button_set_active(toggle(NURSE_CALL_OFF), TRUE);
  }
}
