#include "x11_windows.h"

#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {
// Finds top-level windows titled title below root.
void find_windows(Display *d, Window w, const char *title, std::vector<Window> *found) {
  char *name = nullptr;
  if (XFetchName(d, w, &name) && name) {
    if (strcmp(name, title) == 0) found->push_back(w);
    XFree(name);
  }
  Window root, parent, *children = nullptr;
  unsigned n = 0;
  if (XQueryTree(d, w, &root, &parent, &children, &n)) {
    for (unsigned i = 0; i < n; i++) find_windows(d, children[i], title, found);
    if (children) XFree(children);
  }
}

}  // namespace

int close_windows(const char *title, int limit) {
  Display *d = XOpenDisplay(nullptr);
  if (!d) return 0;
  std::vector<Window> windows;
  find_windows(d, DefaultRootWindow(d), title, &windows);
  if (limit >= 0 && windows.size() > static_cast<size_t>(limit)) windows.resize(limit);
  Atom protocols = XInternAtom(d, "WM_PROTOCOLS", False);
  Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
  for (Window w : windows) {
    XEvent e = {};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = protocols;
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(del);
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &e);
  }
  XFlush(d);
  XCloseDisplay(d);
  return static_cast<int>(windows.size());
}

bool wait_windows(const char *title, int count, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    Display *d = XOpenDisplay(nullptr);
    if (d) {
      std::vector<Window> windows;
      find_windows(d, DefaultRootWindow(d), title, &windows);
      XCloseDisplay(d);
      if (static_cast<int>(windows.size()) >= count) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

long ping_window(const char *title, int timeout_ms) {
  Display *d = XOpenDisplay(nullptr);
  if (!d) return -1;
  const Window root = DefaultRootWindow(d);
  std::vector<Window> windows;
  find_windows(d, root, title, &windows);
  if (windows.empty()) {
    XCloseDisplay(d);
    return -1;
  }
  // The client sends the ping back to the root window, to whoever listens
  // for its substructure events.
  XSelectInput(d, root, SubstructureNotifyMask);
  const Atom protocols = XInternAtom(d, "WM_PROTOCOLS", False);
  const Atom ping = XInternAtom(d, "_NET_WM_PING", False);
  const long stamp = static_cast<long>(getpid()) & 0x7fffffff;  // tells our ping from others
  XEvent e = {};
  e.xclient.type = ClientMessage;
  e.xclient.window = windows[0];
  e.xclient.message_type = protocols;
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(ping);
  e.xclient.data.l[1] = stamp;
  e.xclient.data.l[2] = static_cast<long>(windows[0]);
  const auto start = std::chrono::steady_clock::now();
  XSendEvent(d, windows[0], False, NoEventMask, &e);
  XFlush(d);
  long answered = -1;
  for (;;) {
    while (answered < 0 && XPending(d) > 0) {
      XEvent got;
      XNextEvent(d, &got);
      if (got.type == ClientMessage && got.xclient.message_type == protocols &&
          static_cast<Atom>(got.xclient.data.l[0]) == ping && got.xclient.data.l[1] == stamp)
        answered = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start)
                                         .count());
    }
    if (answered >= 0) break;
    const auto left = timeout_ms - std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - start)
                                       .count();
    if (left <= 0) break;
    pollfd p = {ConnectionNumber(d), POLLIN, 0};
    poll(&p, 1, static_cast<int>(left));
  }
  XCloseDisplay(d);
  return answered;
}

void hold_display() {
  static Display *held = XOpenDisplay(nullptr);
  (void)held;
}
