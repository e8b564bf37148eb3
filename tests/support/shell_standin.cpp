// The application shell's two names (src/panel/shell.h) for the tests that
// build the panel without the app.  The window is the one a test builds;
// Exit here ends nothing (the real handler ends every trndemo on the
// machine), it only counts its clicks.
#include "shell.h"

GtkWidget *window = nullptr;

int exit_clicks = 0;

void destroy(GtkWidget *, gpointer) { ++exit_clicks; }
