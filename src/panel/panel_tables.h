// Tables shared by the selection handlers and the read-back: the same boxes
// and the same colours serve both writing and reading, so they are kept in
// one place; the bits themselves are the settings table's (settings.h).
// Internal to the panel module.
#pragma once

#include <cstdio>

#include "panel.h"
#include "settings.h"  // the switch banks' bits

namespace trn::panel_tables {

// One check box and the bit of the switch byte it stands for.
struct BitBox {
  unsigned char bit;
  int slot;
};

// Remote GPIO outputs (switch bank 1), in the window's order: 2, 1, 0.
inline constexpr BitBox gpio_bits[] = {
    {GPIO_BITS[2].value, REMOTE_GPIO_2},
    {GPIO_BITS[1].value, REMOTE_GPIO_1},
    {GPIO_BITS[0].value, REMOTE_GPIO_0},
};

// Audio routing switches (switch bank 2), box for box in the bank's order.
inline constexpr BitBox audio_bits[] = {
    {AUDIO_BITS[0].value, AUDIO_CTRL_LINE_OUT}, {AUDIO_BITS[1].value, JACK_LINE_OUT},
    {AUDIO_BITS[2].value, HANDSET_LINE_OUT},    {AUDIO_BITS[3].value, REMOTE_LINE_OUT},
    {AUDIO_BITS[4].value, INT_MIC_IN},          {AUDIO_BITS[5].value, JACK_MIC_IN},
    {AUDIO_BITS[6].value, HANDSET_MIC_IN},      {AUDIO_BITS[7].value, REMOTE_MIC_IN},
};

// Membrane LED states, indexed by the number the board uses for them.
struct MembraneState {
  const char *label;   // the radio's label, which is also its handler data
  int slot;            // the radio
  const char *color1;  // COLOR_BTN_1
  const char *color2;  // COLOR_BTN_2
  const char *value;   // value text sent to MembraneLed
  const char *trace;   // line printed when the operator selects it
};

inline constexpr MembraneState membrane_states[] = {
    {"ALL OFF", MEMBRANE_OFF, "#cccccc", "#ffffff", "0", "<><><><><> Now is All Off"},
    {"Green", MEMBRANE_GREEN, "#00ff00", "#cccccc", "1", "<><><><><> Now is Green"},
    {"Orange", MEMBRANE_ORANGE, "#ff6600", "#cccccc", "2", "<><><><><> Now is Orange"},
    {"ALL ON", MEMBRANE_ON, "#cccccc", "#ff9900", "3", "<><><><><> Now is All ON"},
};

template <class T, int N>
constexpr int count(const T (&)[N]) {
  return N;
}

// Parses the two colour texts into color1 and color2 and shows them on the
// two colour buttons.  Defined with the selection handlers.
void apply_membrane_colors(const char *first, const char *second);

// A reply byte as the panel reads it: printed with "%x" and converted with
// hex_to_int, so bytes 0..15 give their value and larger ones the decimal
// reading of their hexadecimal digits.
inline int reply_number(unsigned char byte) {
  char text[4];
  snprintf(text, sizeof text, "%x", byte);
  return hex_to_int(text);
}

inline GtkToggleButton *toggle(int slot) { return GTK_TOGGLE_BUTTON(obj[slot]); }

}  // namespace trn::panel_tables
