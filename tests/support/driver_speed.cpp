#include "driver_speed.h"

speed_t driver_keeps_speed = 0;

extern "C" int __real_tcgetattr(int, struct termios *);
extern "C" int __wrap_tcgetattr(int f, struct termios *t) {
  const int r = __real_tcgetattr(f, t);
  if (r == 0 && driver_keeps_speed != 0) {
    cfsetispeed(t, driver_keeps_speed);
    cfsetospeed(t, driver_keeps_speed);
  }
  return r;
}
