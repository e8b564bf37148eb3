// The simulated board's faults: how it misbehaves on purpose.  A fault
// spoils only the answer: the command itself is still obeyed (except
// HangUp, which closes the line instead).  Frames written by press,
// release, send_status and send_raw are never affected.
#pragma once

#include "model.h"

namespace trnsim {

enum class Fault {
  None,         // answer normally
  Silent,       // answer nothing
  BadChecksum,  // reply with checksum + 1
  Short,        // reply with only the first `param` bytes (default 4)
  Delay,        // reply `param` ms late
  Noise,        // send `param` noise bytes (default 3) before each reply
  HangUp,       // close the master side on the next command (one-shot)
};

// What goes out for one answer under a fault, after the reply latency.
struct Answer {
  bool send = true;  // false: nothing at all
  int delay_ms = 0;  // a further wait before anything goes out
  Frame noise;       // bytes sent before the reply
  Frame reply;       // the reply as the fault leaves it
};

// The answer to a command whose reply is `reply` (not empty) under fault f
// with its parameter.  HangUp is the line's to carry out, not an answer.
Answer spoil(Fault f, int param, Frame reply);

}  // namespace trnsim
