// A driver that keeps a speed of its own, faked for the test binaries linked
// with -Wl,--wrap=tcgetattr and driver_speed.cpp: while driver_keeps_speed
// is not 0, every tcgetattr reads that speed back, both ways.
#pragma once

#include <termios.h>

extern speed_t driver_keeps_speed;  // 0: tcgetattr as it is
