// The application shell's two names (src/panel/shell.h) for the tests that
// build the panel without the app.  The window is the one a test builds.
// Exit ends nothing here: the real handler ends every trndemo on the
// machine, so the tests only look at its connection.
#include "shell.h"

GtkWidget *window = nullptr;

void destroy(GtkWidget *, gpointer) {}
