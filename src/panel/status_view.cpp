// Live button status: mirrors the last decoded status frame in the nine
// status boxes and makes the nurse-call LED selection follow the nurse-call
// button.  Runs on the GUI thread, right after decode_status.
#include <cstdio>

#include "VXTRN.h"
#include "panel.h"
#include "panel_tables.h"

using trn::panel_tables::toggle;

namespace {

struct StatusBox {
  int element;  // index into CRADLE_BUTTON
  int slot;     // check box showing it
};

// The order in which the boxes are set.
constexpr StatusBox status_boxes[] = {
    {CRADLE_STATUS, BTN_CRADLE},      {VOLUME_DOWN_STATUS, BTN_VOL_DOWN},
    {VOLUME_UP_STATUS, BTN_VOL_UP},   {CHANNEL_DOWN_STATUS, BTN_CH_DOWN},
    {CHANNEL_UP_STATUS, BTN_CH_UP},   {POWER_BUTTON, BTN_POWER},
    {LINE_OUT_STATUS, DETECT_JACK},   {MIC_IN_STATUS, DETECT_MIC},
    {NURSE_STATUS, BTN_NUSRE},
};

}  // namespace

void trn::show_button_status(unsigned char /*a*/, unsigned char /*b*/) {
  for (const StatusBox &s : status_boxes)
    gtk_toggle_button_set_active(toggle(s.slot), CRADLE_BUTTON[s.element] != 0);

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
