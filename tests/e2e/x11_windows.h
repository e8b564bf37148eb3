// Window-manager actions on the virtual X server, kept apart from the tests
// because Xlib's macros clash with C++ names.
#pragma once

// Asks the top-level windows titled title to close (at most limit of them,
// all when limit is negative), as a window manager does when the operator
// clicks a close button; the number of windows asked.
int close_windows(const char *title, int limit = -1);
// Waits until at least count windows titled title exist; false on timeout.
bool wait_windows(const char *title, int count, int timeout_ms);
inline bool wait_window(const char *title, int timeout_ms) { return wait_windows(title, 1, timeout_ms); }
