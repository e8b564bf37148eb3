// The simulated board's faults, applied to an answer.
#include "faults.h"

#include <algorithm>
#include <utility>

namespace trnsim {

Answer spoil(Fault f, int param, Frame reply) {
  Answer a;
  switch (f) {
    case Fault::Silent:
      a.send = false;
      break;
    case Fault::BadChecksum:
      reply[5] = static_cast<uint8_t>(reply[5] + 1);
      break;
    case Fault::Short:
      reply.resize(param > 0 ? std::min<size_t>(static_cast<size_t>(param), kFrameLen) : 4);
      break;
    case Fault::Delay:
      a.delay_ms = param > 0 ? param : 0;
      break;
    case Fault::Noise: {
      // 00 ff 55 repeated: no ESC in it, so never a false lead-in.
      static const uint8_t pattern[] = {0x00, 0xFF, 0x55};
      a.noise.resize(param > 0 ? static_cast<size_t>(param) : 3);
      for (size_t i = 0; i < a.noise.size(); ++i) a.noise[i] = pattern[i % 3];
      break;
    }
    default:
      break;
  }
  a.reply = std::move(reply);
  return a;
}

}  // namespace trnsim
