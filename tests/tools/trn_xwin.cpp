// trn_xwin: the window manager's part for scripts that run the panel under a
// virtual X server without one (scripts/real-drivers.sh runs it in a guest).
//
//   trn_xwin wait  TITLE SECONDS   exit 0 once a window titled TITLE exists
//   trn_xwin ping  TITLE SECONDS   exit 0 when it answers a ping; prints the ms
//   trn_xwin close TITLE           ask it to close; exit 0 when there was one
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "x11_windows.h"

int main(int argc, char **argv) {
  const bool timed = argc == 4 && (strcmp(argv[1], "wait") == 0 || strcmp(argv[1], "ping") == 0);
  const bool close = argc == 3 && strcmp(argv[1], "close") == 0;
  if (!timed && !close) {
    fputs("usage: trn_xwin wait|ping TITLE SECONDS | close TITLE\n", stderr);
    return 2;
  }
  const char *title = argv[2];
  if (close) return close_windows(title, 1) == 1 ? 0 : 1;
  const int ms = static_cast<int>(atof(argv[3]) * 1000);
  if (strcmp(argv[1], "wait") == 0) return wait_window(title, ms) ? 0 : 1;
  const long took = ping_window(title, ms);
  if (took < 0) return 1;
  printf("%ld\n", took);
  return 0;
}
