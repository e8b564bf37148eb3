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
// Pings the first top-level window titled title as a window manager does
// (_NET_WM_PING) and waits for its answer: the milliseconds it took, or -1
// when no such window exists or it did not answer within timeout_ms.  A
// toolkit answers from its main loop, so an answer means the loop runs.
long ping_window(const char *title, int timeout_ms);

// Keeps one connection to the X server open for the life of the process.  An
// X server resets when its last client disconnects, and a panel that connects
// during that reset cannot open the display; the tests start and end panels
// back to back, so they keep the server from ever seeing its last client go.
void hold_display();
