// Window-manager actions on the virtual X server, kept apart from the tests
// because Xlib's macros clash with C++ names.
#pragma once

// Asks every top-level window titled title to close, as a window manager does
// when the operator clicks its close button; the number of windows asked.
int close_windows(const char *title);
// Waits until a window titled title exists; false on timeout.
bool wait_window(const char *title, int timeout_ms);
