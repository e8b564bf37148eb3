// Reply-waiting exchange: write a command, then collect bytes until a whole
// reply frame has arrived, under a deadline counted from the write.
#include "link.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "VXTRN.h"

namespace trn {

namespace {

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  // Round up, so the wait never ends a little before the deadline; a far
  // deadline is waited for a minute at a time.
  return static_cast<int>(std::min<long long>(left.count(), 60000)) + 1;
}

}  // namespace

// The monitor's FrameAssembler does the collecting, so replies and status
// frames are cut from the byte stream by one rule.
CollectResult collect_frame(int port, unsigned char out[7], Clock::time_point deadline,
                            const Judge &judge, FrameTrace *trace,
                            const std::atomic<bool> *stop) {
  CollectResult result;
  FrameAssembler assembler;
  bool accepted = false;
  auto dropped = [trace](const unsigned char *bytes, int n) {
    if (trace) trace->frame(false, bytes, n);
  };
  auto frame = [&](const unsigned char *f) {
    if (accepted) return;  // after the reply: discarded with the rest of the input
    if (trace) trace->frame(false, f, FRAME_LEN);
    const Verdict v = judge ? judge(f) : Verdict::Accept;
    if (v == Verdict::Accept) {
      memcpy(out, f, FRAME_LEN);
      accepted = true;
    } else if (v == Verdict::Reject) {
      result.rejected = true;
    }
  };

  for (;;) {
    if (stop && stop->load()) {
      result.what = Collected::Interrupted;
      break;
    }
    const int wait = remaining_ms(deadline);
    if (wait == 0) {
      result.what = Collected::Timeout;
      break;
    }
    struct pollfd p = {port, POLLIN, 0};
    const int r = poll(&p, 1, wait);
    if (r < 0) {
      if (errno == EINTR) continue;  // a signal: look at *stop again
      result.what = Collected::Closed;
      result.err = errno;
      break;
    }
    if (r == 0) continue;
    unsigned char chunk[64];
    const ssize_t n = read(port, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      // End of file (the far end hung up) or a failed read.
      result.what = Collected::Closed;
      result.err = n < 0 ? errno : 0;
      break;
    }
    assembler.feed(chunk, static_cast<int>(n), frame, dropped);
    if (accepted) {
      result.what = Collected::Frame;
      result.have = FRAME_LEN;
      return result;
    }
  }
  // Whatever arrived of an unfinished frame goes back to the caller.
  result.have = assembler.have;
  memcpy(out, assembler.buf, static_cast<size_t>(assembler.have));
  assembler.drop_piece(dropped);
  return result;
}

Verdict judge_reply(const unsigned char *command, const unsigned char *frame) {
  const bool valid = isOkCMD(frame) != 0;
  if (frame[2] != command[2]) {
    // A status frame, or a valid frame of another command: not the reply.
    // A broken frame of another type is noise that looked like a lead-in.
    return valid ? Verdict::Skip : Verdict::Reject;
  }
  return valid ? Verdict::Accept : Verdict::Reject;
}

const char *outcome_text(Outcome o) {
  switch (o) {
    case Outcome::Ok: return "ok";
    case Outcome::NoReply: return "no reply";
    case Outcome::ShortReply: return "short reply";
    case Outcome::BadReply: return "invalid reply";
    case Outcome::Closed: return "port closed";
    case Outcome::Interrupted: return "interrupted";
  }
  return "?";
}

Outcome exchange(int port, const unsigned char command[7], unsigned char reply[7],
                 const ExchangeOptions &options, int *tries_used) {
  Outcome outcome = Outcome::NoReply;
  const int tries = 1 + (options.retries > 0 ? options.retries : 0);
  int t = 0;
  while (t < tries) {
    ++t;
    // A late reply to an earlier try, or a status frame that came before
    // the command, must not be taken for this reply.
    tcflush(port, TCIFLUSH);
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeout_ms);
    size_t done = 0;
    while (done < FRAME_LEN) {
      ssize_t w = write(port, command + done, FRAME_LEN - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    if (done < FRAME_LEN) {
      outcome = Outcome::Closed;
      break;
    }
    if (options.trace) options.trace->frame(true, command, FRAME_LEN);
    CollectResult r = collect_frame(
        port, reply, deadline,
        [command](const unsigned char *f) { return judge_reply(command, f); }, options.trace,
        options.stop);
    if (r.what == Collected::Frame) {
      outcome = Outcome::Ok;
      break;
    }
    if (r.what == Collected::Closed) {
      outcome = Outcome::Closed;
      break;
    }
    if (r.what == Collected::Interrupted) {
      outcome = Outcome::Interrupted;
      break;
    }
    outcome = r.rejected ? Outcome::BadReply : r.have > 0 ? Outcome::ShortReply : Outcome::NoReply;
  }
  if (tries_used) *tries_used = t;
  return outcome;
}

}  // namespace trn
