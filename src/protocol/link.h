// Reply-waiting exchange: instead of pausing a fixed time and reading once,
// collect the bytes of the reply until a whole frame has arrived, under a
// deadline counted from the write.  Used by trnctl; the panel has its own
// exchange (VXTRN.h).  Both read through the port's one Line (line.h), so
// a frame that is not the reply (a status frame) is handed on, not lost.
//
// Nothing here prints: every frame sent or received goes to an optional trace
// hook, so callers choose where (or whether) frames are shown.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "line.h"

namespace trn {

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

// Called for every whole frame read that is not taken as the reply (skipped,
// rejected, or read after the reply), in the order the frames arrived.
using MetFrames = std::function<void(const unsigned char *frame)>;

// Reads through line until judge accepts a whole frame, the deadline passes,
// the port fails, or *stop (when given) turns true; a signal that sets it
// interrupts the wait.  The line's assembly rule cuts the frames (line.h).
// judge may be null (accept the first whole frame).  An unfinished frame
// stays in the line; its bytes are copied to out.  Never spins: it sleeps
// in poll.
using Judge = std::function<Verdict(const unsigned char *frame)>;
CollectResult collect_frame(Line &line, unsigned char out[7], Clock::time_point deadline,
                            const Judge &judge, FrameTrace *trace = nullptr,
                            const std::atomic<bool> *stop = nullptr,
                            const MetFrames &met = nullptr);

// The judge trnctl uses: a reply counts when its checksum and CR hold, its
// type is the command's and, for a command whose reply carries byte 3 back
// (reply_carries_rw, settings.h), so is its byte 3.  Another valid frame (a
// status frame, the late reply of another request) is skipped; an invalid
// one is rejected.  Values are not compared: a board may clamp a value.
Verdict judge_reply(const unsigned char *command, const unsigned char *frame);

// A valid button status frame: checksum and CR hold, type 0x02.
bool is_status_frame(const unsigned char *frame);

// Result of exchange().
enum class Outcome { Ok, NoReply, ShortReply, BadReply, Closed, Interrupted };
const char *outcome_text(Outcome o);  // "no reply", "short reply", ...

struct ExchangeOptions {
  int timeout_ms = 100;  // per try, counted from the write
  int retries = 2;       // further tries after a missing or invalid reply
  FrameTrace *trace = nullptr;
  const std::atomic<bool> *stop = nullptr;  // interrupt request (signal handler)
  MetFrames met;  // the status frames met (is_status_frame), in arrival order
};

// After a try that timed out, the line must be quiet this long before the
// next request: the try's timeout, and at least the time after which a
// waiting piece of a frame is stale.
int settle_quiet_ms(int timeout_ms);
// A line that is never quiet that long ends the settling after this many
// quiet times.
constexpr int SETTLE_LIMIT_QUIETS = 4;

// Writes the command, collects its reply (judge_reply), and tries again up to
// retries times when the reply was missing or invalid.  Input waiting before
// each try is taken first and is never the reply.  After a try that timed
// out, what still arrives is taken until the line has been quiet for
// settle_quiet_ms (at most SETTLE_LIMIT_QUIETS times that), before the next
// try, before returning a failure, and before returning a reply that a
// later try received: a late reply of an abandoned try then answers no later
// request.  Of all frames taken besides the reply, status frames go to
// options.met; the rest (late replies) are traced and dropped, and so is a
// piece of a frame left by a quiet line.  reply receives the accepted frame.
Outcome exchange(Line &line, const unsigned char command[7], unsigned char reply[7],
                 const ExchangeOptions &options, int *tries_used = nullptr);

}  // namespace trn
