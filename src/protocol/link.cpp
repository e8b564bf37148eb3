// Reply-waiting exchange: write a command, then collect bytes until a whole
// reply frame has arrived, under a deadline counted from the write.
#include "link.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "VXTRN.h"
#include "settings.h"

namespace trn {

CollectResult collect_frame(Line &line, unsigned char out[7], Clock::time_point deadline,
                            const Judge &judge, FrameTrace *trace,
                            const std::atomic<bool> *stop, const MetFrames &met) {
  CollectResult result;
  bool accepted = false;
  const LineSink sink{
      [&](const unsigned char *f) {
        if (trace) trace->frame(false, f, FRAME_LEN);
        if (!accepted) {
          const Verdict v = judge ? judge(f) : Verdict::Accept;
          if (v == Verdict::Accept) {
            memcpy(out, f, FRAME_LEN);
            accepted = true;
            return true;
          }
          if (v == Verdict::Reject) result.rejected = true;
        }
        if (met) met(f);  // not the reply: a status frame, a stale reply
        return accepted;
      },
      [trace](const unsigned char *bytes, int n) {
        if (trace) trace->frame(false, bytes, n);
      }};
  const LineResult r = line.read_until(deadline, sink, stop);
  switch (r.end) {
    case LineEnd::Done:
      result.what = Collected::Frame;
      result.have = FRAME_LEN;
      return result;
    case LineEnd::Interrupted:
      result.what = Collected::Interrupted;
      break;
    case LineEnd::HungUp:
    case LineEnd::Failed:
      result.what = Collected::Closed;
      result.err = r.err;
      break;
    default:
      result.what = Collected::Timeout;
      break;
  }
  // Whatever arrived of an unfinished frame goes back to the caller; the
  // piece itself stays in the line for the next reader.
  result.have = line.piece_size();
  memcpy(out, line.piece(), static_cast<size_t>(result.have));
  return result;
}

Verdict judge_reply(const unsigned char *command, const unsigned char *frame) {
  if (!isOkCMD(frame)) return Verdict::Reject;
  const bool same = frame[2] == command[2] &&
                    (frame[3] == command[3] || !reply_carries_rw(command));
  return same ? Verdict::Accept : Verdict::Skip;
}

bool is_status_frame(const unsigned char *frame) {
  return isOkCMD(frame) && frame[2] == TYPE_BUTTON_STATUS;
}

int settle_quiet_ms(int timeout_ms) { return std::max(timeout_ms, Line::STALE_PIECE_MS); }

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

namespace {

// Takes what arrives until the line has been quiet for quiet, or until
// SETTLE_LIMIT_QUIETS quiet times have passed; then drops a stale piece.
// Drained, or how the line ended the wait (hung up, failed, interrupted).
LineEnd settle(Line &line, const LineSink &sink, std::chrono::milliseconds quiet,
               const std::atomic<bool> *stop) {
  const auto start = Clock::now();
  const auto limit = start + SETTLE_LIMIT_QUIETS * quiet;
  for (;;) {
    const auto quiet_until = std::min(std::max(start, line.last_read()) + quiet, limit);
    const LineResult r = line.read_until(quiet_until, sink, stop);
    if (r.end != LineEnd::Deadline) return r.end;
    if (r.got == 0 || Clock::now() >= limit) break;
  }
  line.drop_if_stale(sink);
  return LineEnd::Drained;
}

}  // namespace

Outcome exchange(Line &line, const unsigned char command[7], unsigned char reply[7],
                 const ExchangeOptions &options, int *tries_used) {
  Outcome outcome = Outcome::NoReply;
  const int tries = 1 + (options.retries > 0 ? options.retries : 0);
  auto traced = [&options](const unsigned char *bytes, int n) {
    if (options.trace) options.trace->frame(false, bytes, n);
  };
  // Status frames are handed on; any other frame that is not the reply is
  // the late reply of some request, and is only traced.
  const MetFrames status = [&options](const unsigned char *f) {
    if (options.met && is_status_frame(f)) options.met(f);
  };
  // What came before the command (a late reply, a status frame) and what
  // arrives after a try timed out is never the reply.
  const LineSink before{[&](const unsigned char *f) {
                          traced(f, FRAME_LEN);
                          status(f);
                          return false;
                        },
                        traced};
  const std::chrono::milliseconds quiet(settle_quiet_ms(options.timeout_ms));
  bool timed_out = false;  // a try timed out: its reply may still come
  int t = 0;
  while (t < tries) {
    ++t;
    const LineResult pending = line.drain(before);
    line.drop_if_stale(before);
    if (pending.end == LineEnd::HungUp || pending.end == LineEnd::Failed) {
      outcome = Outcome::Closed;
      break;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeout_ms);
    const int port = line.port();
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
        line, reply, deadline,
        [command](const unsigned char *f) { return judge_reply(command, f); }, options.trace,
        options.stop, status);
    if (r.what == Collected::Frame) {
      outcome = Outcome::Ok;
      // The reply of an abandoned try, or this try's own, is still to come;
      // an interrupt or a hang-up now is for the next exchange to find.
      if (timed_out) settle(line, before, quiet, options.stop);
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
    timed_out = true;
    const LineEnd settled = settle(line, before, quiet, options.stop);
    if (settled == LineEnd::Interrupted) {
      outcome = Outcome::Interrupted;
      break;
    }
    if (settled == LineEnd::HungUp || settled == LineEnd::Failed) {
      outcome = Outcome::Closed;
      break;
    }
  }
  if (tries_used) *tries_used = t;
  return outcome;
}

}  // namespace trn
