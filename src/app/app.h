// Application shell: start-up order and exit path.
#pragma once

#include <gtk/gtk.h>

extern const char *const VERSION_TEXT;  // "1.1.1"

// Exit handler: quits the main loop, closes the port, ends every trndemo.
void destroy(GtkWidget *widget, gpointer data);

// The whole program; main() only calls this.
int trndemo_main(int argc, char **argv);
