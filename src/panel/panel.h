// Operator panel: the window's widgets, the registry that names them, and
// the handlers that turn clicks into board commands.
#pragma once

#include <gtk/gtk.h>

// ---- Widget registry ----------------------------------------------------
enum {
  AUDIO_CTRL_LINE_OUT = 0,
  JACK_LINE_OUT,
  HANDSET_LINE_OUT,
  REMOTE_LINE_OUT,
  INT_MIC_IN,
  JACK_MIC_IN,
  HANDSET_MIC_IN,
  REMOTE_MIC_IN,
  BTN_VOL_DOWN,
  BTN_VOL_UP,
  BTN_CH_DOWN,
  BTN_CH_UP,
  BTN_POWER,
  BTN_CRADLE,
  BTN_NUSRE,
  MEMBRANE_GREEN,
  MEMBRANE_ORANGE,
  MEMBRANE_OFF,
  MEMBRANE_ON,
  VOLUME_SET_VALUE,
  BRIGHT_SET_VALUE,
  RING_TURN_ON,
  RING_TURN_OFF,
  RING_VOL_LOW,
  RING_VOL_HIGH,
  RING_FREQ_1,
  RING_FREQ_2,
  RING_FREQ_3,
  RING_FREQ_4,
  RING_FREQ_5,
  RING_FREQ_6,
  REMOTE_GPIO_2,
  REMOTE_GPIO_1,
  REMOTE_GPIO_0,
  COLOR_BTN_1,
  COLOR_BTN_2,
  VOL_SET_INT,
  VOL_SET_JACK,
  VOL_SET_HANDSET,
  VOL_SET_REMOTE,
  VOL_SET_ALL,
  BACKLIGTH_OFF,
  MAIN_FW_VER,
  DEVICE_VER,
  RINGTONE_LED,
  DETECT_JACK,
  DETECT_MIC,
  NURSE_CALL_OFF,
  NURSE_CALL_ON,
  PW_BTN_OFF,
  PW_BTN_ON,
  PW_BTN_DELAY_SET,
  TOTAL_BTNS
};

extern GtkWidget *obj[TOTAL_BTNS];

// Label tables of the repeated controls.
extern const char *const audio_label[8];
extern const char *const button_status_label[7];
extern const char *const led_label[4];
extern const char *const ringtone_label[2];
extern const char *const nurse_call_label[2];
extern const char *const ringtone_volume_label[2];
extern const char *const ring_frequency_label[6];
extern const char *const other_label[3];
extern const char *const volume_set_label[5];
extern const char *const audio_jack_status_label[2];
extern const char *const pw_btn_label[2];

// Colours of the two membrane LED indicator buttons.
extern GdkColor color1;
extern GdkColor color2;

// Builds every panel and fills obj; returns the 2 x 6 table.
GtkWidget *final_table();

// ---- Numeric value controls ------------------------------------------------
int hex_to_int(const char *in);
const char *get_hex(int num);
int not_valid(const char *val);
void message_dialog_clicked(GtkWidget *widget, gpointer data);

void set_volume(GtkWidget *widget, gpointer data);
void set_brightness(GtkWidget *widget, gpointer data);
void volume_updown(GtkWidget *widget, gpointer data);
void brightness_updown(GtkWidget *widget, gpointer data);
void pass_through_dely(GtkWidget *widget, gpointer data);
void turn_off(GtkWidget *widget, gpointer data);
gboolean turn_on(gpointer data);

// ---- Selection controls ------------------------------------------------------
extern int color_ok;
extern int ringonoff_ok;
extern int ringlowhight_ok;
extern int ringfreq_ok;
extern int volumeoption_ok;
extern int nurse_onoff;
extern int pass_onoff;

void test_print(GtkWidget *widget, gpointer data);
void change_color(GtkWidget *widget, gpointer data);
void set_ringtone_onoff(GtkWidget *widget, gpointer data);
void set_ringtone_lowhigh(GtkWidget *widget, gpointer data);
void set_ring_freq(GtkWidget *widget, gpointer data);
void set_ringtone_led(GtkWidget *widget, gpointer data);
void set_volume_option(GtkWidget *widget, gpointer data);
void set_gpio(GtkWidget *widget, gpointer data);
void set_audio_control(GtkWidget *widget, gpointer data);
void set_nurse_call_onoff(GtkWidget *widget, gpointer data);
void set_pass_through_onoff(GtkWidget *widget, gpointer data);

// ---- Read-back and identification ----------------------------------------------
extern int identifierOK;

void update_version();
void read_all();
void read_volume_brightness(int module);
void read_volume_option();
void read_ringtone_volume(int module);
void read_ring_freq();
void read_ringtone_led();
void read_membrane_led();
void read_switch1_gpio();
void read_switch2_audio();
void read_nursecall_led();
void read_pass_through();

// ---- Live button status -------------------------------------------------------
namespace trn {
// Ticks the nine status boxes from CRADLE_BUTTON and makes the nurse-call
// LED selection follow the nurse-call button.  Runs on the GUI thread.
void show_button_status(unsigned char a, unsigned char b);
}  // namespace trn
