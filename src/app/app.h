// Application shell: configuration file, start-up order and exit path.
#pragma once

#include <gtk/gtk.h>

extern char port_number[6];
extern const char *const init_serial[1];
extern const char *const VERSION_TEXT;  // "1.1.1"

void str_strip(char *buf);
char *sub_string(char *buf, int len);
void parser_helper(char *result, const char *ch, const char *compare);

// Reads "./trn.ini" into port_number (steps 1-3 of the reader).
void read_config();
// Chooses the device path from port_number (or TRN_DEVICE when set and
// non-empty) into ttyS_now, which holds size bytes.
void choose_device(char *ttyS_now, size_t size);

// Exit handler: quits the main loop, closes the port, ends every trndemo.
void destroy(GtkWidget *widget, gpointer data);

// The whole program; main() only calls this.
int trndemo_main(int argc, char **argv);
