// The two names of the application shell (src/app/) that the panel uses:
// the operator's Exit button runs the shell's exit handler, and the error
// dialogs are parented on the shell's top-level window.  Both belong to the
// shell, which creates the window and ends the program; the panel refers to
// them by name only.  These are the only uses of the app by the panel: the
// app defines them, and the panel library does not link the app.
#pragma once

#include <gtk/gtk.h>

// The top-level window, set once by start-up; parent of the panel's dialogs.
extern GtkWidget *window;

// Exit handler: quits the main loop, closes the port, ends every trndemo.
// Connected to the window's "destroy" by start-up and to Exit by the panel.
void destroy(GtkWidget *widget, gpointer data);
