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

// A fresh lead-in inside a window that does not end in CR: an ESC followed
// by 'B' at positions 1 to 5, or an ESC in the last position.  Returns its
// position, or 0 when there is none.
int fresh_lead_in(const unsigned char *w) {
  for (int i = 1; i < FRAME_LEN - 1; ++i)
    if (w[i] == FRAME_ESC && w[i + 1] == FRAME_B) return i;
  return w[FRAME_LEN - 1] == FRAME_ESC ? FRAME_LEN - 1 : 0;
}

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  // Round up, so the wait never ends a little before the deadline; a far
  // deadline is waited for a minute at a time.
  return static_cast<int>(std::min<long long>(left.count(), 60000)) + 1;
}

}  // namespace

CollectResult collect_frame(int port, unsigned char out[7], Clock::time_point deadline,
                            const Judge &judge, FrameTrace *trace,
                            const std::atomic<bool> *stop) {
  CollectResult result;
  unsigned char buf[FRAME_LEN];
  int have = 0;
  // Bytes read but not yet placed: a window that held a fresh lead-in
  // hands its tail back here.
  // Room for one read and the six bytes a restart hands back.
  constexpr int kRead = 64;
  unsigned char pending[kRead + FRAME_LEN];
  int pending_n = 0, pending_at = 0;

  auto dropped = [&](const unsigned char *bytes, int n) {
    if (trace && n > 0) trace->frame(false, bytes, n);
  };

  for (;;) {
    if (pending_at == pending_n) {
      pending_at = pending_n = 0;
      if (stop && stop->load()) {
        result.what = Collected::Interrupted;
        break;
      }
      int wait = remaining_ms(deadline);
      if (wait == 0) {
        result.what = Collected::Timeout;
        break;
      }
      struct pollfd p = {port, POLLIN, 0};
      int r = poll(&p, 1, wait);
      if (r < 0) {
        if (errno == EINTR) continue;  // a signal: look at *stop again
        result.what = Collected::Closed;
        result.err = errno;
        break;
      }
      if (r == 0) continue;
      ssize_t n = read(port, pending, kRead);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        // End of file (the far end hung up) or a failed read.
        result.what = Collected::Closed;
        result.err = n < 0 ? errno : 0;
        break;
      }
      pending_n = static_cast<int>(n);
    }

    const unsigned char byte = pending[pending_at++];
    if (have == 0) {
      if (byte == FRAME_ESC) buf[have++] = byte;
      else dropped(&byte, 1);
      continue;
    }
    if (have == 1 && byte != FRAME_B) {
      dropped(buf, 1);
      have = 0;
      if (byte == FRAME_ESC) buf[have++] = byte;
      else dropped(&byte, 1);
      continue;
    }
    buf[have++] = byte;
    if (have < FRAME_LEN) continue;

    have = 0;
    if (buf[FRAME_LEN - 1] != FRAME_CR) {
      if (int at = fresh_lead_in(buf)) {
        // Not a frame: a cut-off piece ran into the next lead-in.  Start
        // again there with the bytes from the lead-in on.
        dropped(buf, at);
        int tail = FRAME_LEN - at;
        memmove(pending + tail, pending + pending_at, static_cast<size_t>(pending_n - pending_at));
        memcpy(pending, buf + at, static_cast<size_t>(tail));
        pending_n = tail + pending_n - pending_at;
        pending_at = 0;
        continue;
      }
    }
    if (trace) trace->frame(false, buf, FRAME_LEN);
    Verdict v = judge ? judge(buf) : Verdict::Accept;
    if (v == Verdict::Accept) {
      memcpy(out, buf, FRAME_LEN);
      result.what = Collected::Frame;
      result.have = FRAME_LEN;
      return result;
    }
    if (v == Verdict::Reject) result.rejected = true;
  }
  // Whatever remains of an unfinished frame goes back to the caller.
  if (have > 0) memcpy(out, buf, static_cast<size_t>(have));
  result.have = have;
  dropped(buf, have);
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
