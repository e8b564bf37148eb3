// Reply-waiting exchange: instead of pausing a fixed time and reading once,
// collect the bytes of the reply until a whole frame has arrived, under a
// deadline counted from the write.  Used by trnctl; the panel keeps its own
// fixed-pause exchange (VXTRN.h) and may use collect_frame for its fast one.
//
// Nothing here prints: every frame sent or received goes to an optional trace
// hook, so callers choose where (or whether) frames are shown.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace trn {

using Clock = std::chrono::steady_clock;

// Called for every frame written (sent true) and for every whole frame or
// run of left-over bytes received (n is 7 for a whole frame).
struct FrameTrace {
  virtual ~FrameTrace() = default;
  virtual void frame(bool sent, const unsigned char *bytes, int n) = 0;
};

// What a caller makes of one whole frame that arrived.
enum class Verdict {
  Accept,  // this is the reply: stop collecting
  Skip,    // not the reply (a status frame, a stale reply): keep collecting
  Reject,  // a broken reply: remember it, keep collecting
};

// Outcome of one collect_frame call.
enum class Collected {
  Frame,     // out holds the accepted frame
  Timeout,   // the deadline passed; out holds the unfinished frame's bytes
  Closed,    // the port hung up (end of file, err 0) or failed (err is errno)
  Interrupted,  // *stop became true while waiting
};

struct CollectResult {
  Collected what = Collected::Timeout;
  int have = 0;           // bytes in out: 7 for a frame, else the partial frame
  bool rejected = false;  // a whole frame was seen and rejected
  int err = 0;            // for Closed: errno of a failed read, 0 at end of file
};

// Reads port until judge accepts a whole frame, the deadline passes, the port
// fails, or *stop (when given) turns true; a signal that
// sets it interrupts the wait.  Bytes before an ESC 'B' lead-in
// are dropped; seven bytes that do not end in CR and hold a fresh lead-in are
// not a frame: collection restarts at that lead-in.  judge may be null
// (accept the first whole frame).  Never spins: it sleeps in poll.
using Judge = std::function<Verdict(const unsigned char *frame)>;
CollectResult collect_frame(int port, unsigned char out[7], Clock::time_point deadline,
                            const Judge &judge, FrameTrace *trace = nullptr,
                            const std::atomic<bool> *stop = nullptr);

// The judge trnctl uses: a reply counts when its checksum and CR hold and its
// type matches the command's; a valid frame of another type is skipped.
Verdict judge_reply(const unsigned char *command, const unsigned char *frame);

// Result of exchange().
enum class Outcome { Ok, NoReply, ShortReply, BadReply, Closed, Interrupted };
const char *outcome_text(Outcome o);  // "no reply", "short reply", ...

struct ExchangeOptions {
  int timeout_ms = 100;  // per try, counted from the write
  int retries = 2;       // further tries after a missing or invalid reply
  FrameTrace *trace = nullptr;
  const std::atomic<bool> *stop = nullptr;  // interrupt request (signal handler)
};

// Writes the command, collects its reply (judge_reply), and tries again up to
// retries times when the reply was missing or invalid.  Input waiting before
// each try is discarded.  reply receives the accepted frame.
Outcome exchange(int port, const unsigned char command[7], unsigned char reply[7],
                 const ExchangeOptions &options, int *tries_used = nullptr);

}  // namespace trn
