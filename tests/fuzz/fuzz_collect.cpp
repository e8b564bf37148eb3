// Fuzz target for reply collection: any byte stream as it might come off the
// serial line, read by trn::collect_frame through a Line on a pipe that
// closes after it.
//
// The whole input is the stream.  Checked, once with a judge that skips every
// frame and once with one that accepts the first:
//   - every frame shown to the judge starts with ESC 'B', and one that does
//     not end in CR holds no fresh lead-in (ESC 'B' from byte 1 to 5, or ESC
//     as byte 6);
//   - the frames shown are exactly those a plain scan of the stream finds, in
//     order, and the bytes left over are the scan's unfinished frame;
//   - the trace hook sees every byte of the stream once, in order (the
//     unfinished frame, which stays in the line, once it is dropped);
//   - every frame shown but not accepted is handed on to the met hook, and
//     so is every frame after the accepted one;
//   - skipping everything, collection ends with Closed at the end of the
//     stream (never Timeout: the deadline is seconds away); accepting, it
//     returns the scan's first frame, or Closed when there is none.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "link.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

using Bytes = std::vector<uint8_t>;

// Where a fresh lead-in starts in a 7-byte window, or 0 when it has none.
int lead_in_at(const uint8_t *w) {
  for (int at = 1; at < 7; at++)
    if (w[at] == 0x1B && (at == 6 || w[at + 1] == 0x42)) return at;
  return 0;
}

// The frames a plain scan of the stream finds: from each ESC 'B', the 7
// bytes there are a frame when they end in CR or hold no fresh lead-in;
// otherwise the scan goes on from the first fresh ESC in them.  Every other
// byte is dropped.  partial receives the unfinished frame at the end.
std::vector<Bytes> reference_frames(const uint8_t *s, size_t n, Bytes &partial) {
  std::vector<Bytes> frames;
  size_t i = 0;
  while (i < n) {
    if (s[i] != 0x1B || (i + 1 < n && s[i + 1] != 0x42)) {
      i++;
      continue;
    }
    if (n - i < 7) break;
    const uint8_t *w = s + i;
    if (w[6] != 0x0D && lead_in_at(w)) {
      i += lead_in_at(w);
      continue;
    }
    frames.emplace_back(w, w + 7);
    i += 7;
  }
  partial.assign(s + i, s + n);
  return frames;
}

struct Recorder : trn::FrameTrace {
  Bytes received;
  void frame(bool sent, const unsigned char *bytes, int n) override {
    check(!sent && n >= 1 && n <= 7);
    received.insert(received.end(), bytes, bytes + n);
  }
};

struct Run {
  trn::CollectResult result;
  unsigned char out[7] = {};
  std::vector<Bytes> shown;
  std::vector<Bytes> met;
  Bytes traced;
};

// The stream through a pipe whose write end is closed before collecting.
Run collect(const uint8_t *data, size_t size, trn::Verdict verdict) {
  Run run;
  int fds[2];
  check(pipe(fds) == 0);
  size_t done = 0;
  while (done < size) {
    ssize_t w = write(fds[1], data + done, size - done);
    check(w > 0);
    done += static_cast<size_t>(w);
  }
  close(fds[1]);
  Recorder trace;
  auto judge = [&run, verdict](const unsigned char *frame) {
    check(frame[0] == 0x1B && frame[1] == 0x42);
    check(frame[6] == 0x0D || lead_in_at(frame) == 0);
    run.shown.emplace_back(frame, frame + 7);
    return verdict;
  };
  auto met = [&run](const unsigned char *frame) { run.met.emplace_back(frame, frame + 7); };
  trn::Line line(fds[0]);
  run.result = trn::collect_frame(line, run.out, trn::Clock::now() + std::chrono::seconds(5),
                                  judge, &trace, nullptr, met);
  if (run.result.what != trn::Collected::Frame) check(line.piece_size() == run.result.have);
  line.drop_piece({nullptr, [&trace](const unsigned char *bytes, int n) {
                     trace.frame(false, bytes, n);
                   }});
  close(fds[0]);
  run.traced = std::move(trace.received);
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 16384) size = 16384;  // well inside a pipe's buffer
  Bytes partial;
  const std::vector<Bytes> expected = reference_frames(data, size, partial);

  const Run skip = collect(data, size, trn::Verdict::Skip);
  check(skip.result.what == trn::Collected::Closed && skip.result.err == 0);
  check(skip.shown == expected);
  check(skip.result.have == static_cast<int>(partial.size()));
  check(Bytes(skip.out, skip.out + skip.result.have) == partial);
  check(skip.traced == Bytes(data, data + size));
  check(skip.met == expected);

  const Run accept = collect(data, size, trn::Verdict::Accept);
  if (expected.empty()) {
    check(accept.result.what == trn::Collected::Closed && accept.shown.empty());
  } else {
    check(accept.result.what == trn::Collected::Frame && accept.result.have == 7);
    check(accept.shown.size() == 1 && Bytes(accept.out, accept.out + 7) == expected[0]);
    // The frames read after the reply (in the same read) are handed on.
    check(accept.met.size() < expected.size());
    for (size_t i = 0; i < accept.met.size(); i++) check(accept.met[i] == expected[i + 1]);
  }
  return 0;
}
