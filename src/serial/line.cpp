// The one reader of a serial line: waits, reads, deadlines and the cutting
// of the byte stream into frames.
#include "line.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace trn {

namespace {

constexpr size_t CHUNK = 64;

// Milliseconds to wait for a deadline, rounded up so that a wait never ends
// a little before it; a far deadline is waited for a minute at a time.
int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<long long>(left.count(), 60000));
}

}  // namespace

int FrameAssembler::push(unsigned char byte, unsigned char *dropped) {
  if (have == 0) {
    if (byte == FRAME_ESC) {
      buf[have++] = byte;
      return 0;
    }
    dropped[0] = byte;
    return 1;
  }
  if (have == 1 && byte != FRAME_B) {
    // Not a lead-in after all; this byte may start the next one.
    dropped[0] = buf[0];
    if (byte == FRAME_ESC) return 1;
    dropped[1] = byte;
    have = 0;
    return 2;
  }
  buf[have++] = byte;
  if (have < FRAME_LEN || buf[FRAME_LEN - 1] == FRAME_CR) return 0;
  // Seven bytes without CR: a fresh lead-in inside them means a cut-off
  // piece ran into the next frame.
  for (int at = 1; at < FRAME_LEN; ++at) {
    const bool lead_in =
        at == FRAME_LEN - 1 ? buf[at] == FRAME_ESC : buf[at] == FRAME_ESC && buf[at + 1] == FRAME_B;
    if (!lead_in) continue;
    memcpy(dropped, buf, at);
    have = FRAME_LEN - at;
    memmove(buf, buf + at, have);
    return at;
  }
  return 0;  // no lead-in: handed on as a frame
}

void Line::attach(int port) {
  port_ = port;
  assembler_.have = 0;
  last_read_ = Clock::time_point{};
}

bool Line::feed(const unsigned char *bytes, long n, const LineSink &sink) {
  last_read_ = Clock::now();
  bool done = false;
  assembler_.feed(
      bytes, static_cast<int>(n),
      [&](const unsigned char *frame) {
        if (sink.frame && sink.frame(frame)) done = true;
      },
      [&](const unsigned char *run, int count) {
        if (sink.dropped) sink.dropped(run, count);
      });
  return done;
}

bool Line::read_and_feed(size_t want, const LineSink &sink, LineResult *r) {
  unsigned char chunk[CHUNK];
  const ssize_t got = read(port_, chunk, std::min(want, CHUNK));
  if (got < 0 && errno == EINTR) return false;  // a signal: the caller looks again
  if (got <= 0) {
    // End of file (the far end hung up) or a failed read.
    r->end = got < 0 ? LineEnd::Failed : LineEnd::HungUp;
    r->err = got < 0 ? errno : 0;
    return true;
  }
  r->got += got;
  if (feed(chunk, got, sink)) {
    r->end = LineEnd::Done;
    return true;
  }
  return false;
}

LineResult Line::read_until(Clock::time_point deadline, const LineSink &sink,
                            const std::atomic<bool> *interrupt) {
  LineResult r;
  if (port_ < 0) {
    r.end = LineEnd::Failed;
    r.err = EBADF;
    return r;
  }
  for (;;) {
    if (interrupt && interrupt->load()) {
      r.end = LineEnd::Interrupted;
      return r;
    }
    int wait = remaining_ms(deadline);
    if (wait == 0) {
      r.end = LineEnd::Deadline;
      return r;
    }
    // A flag set by another thread interrupts no poll: it is looked at
    // between slices of a wait.
    if (interrupt && wait > INTERRUPT_SLICE_MS) wait = INTERRUPT_SLICE_MS;
    struct pollfd p = {port_, POLLIN, 0};
    const int ready = poll(&p, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;  // a signal: look at the flag again
      r.end = LineEnd::Failed;
      r.err = errno;
      return r;
    }
    if (ready == 0) continue;
    if (read_and_feed(CHUNK, sink, &r)) return r;
  }
}

LineResult Line::drain(const LineSink &sink) {
  LineResult r;
  for (;;) {
    int pending = 0;
    if (ioctl(port_, FIONREAD, &pending) != 0) {
      r.end = LineEnd::Failed;
      r.err = errno;
      return r;
    }
    if (pending <= 0) {
      // Nothing to read, unless the port hung up or failed: then the read
      // below reports it.
      struct pollfd p = {port_, POLLIN, 0};
      if (poll(&p, 1, 0) < 0 || !(p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        r.end = LineEnd::Drained;
        return r;
      }
    }
    const size_t want = pending > 0 ? std::min(CHUNK, static_cast<size_t>(pending)) : CHUNK;
    if (read_and_feed(want, sink, &r)) return r;
  }
}

int Line::stale_in_ms() const {
  if (assembler_.have == 0) return -1;
  const auto quiet = Clock::now() - last_read_;
  const auto left = std::chrono::milliseconds(STALE_PIECE_MS) - quiet;
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

bool Line::drop_if_stale(const LineSink &sink) {
  if (assembler_.have == 0) return false;
  const auto now = Clock::now();
  int pending = 0;
  if (ioctl(port_, FIONREAD, &pending) != 0 || pending > 0) return false;
  if (now - last_read_ < std::chrono::milliseconds(STALE_PIECE_MS)) return false;
  drop_piece(sink);
  return true;
}

void Line::drop_piece(const LineSink &sink) {
  assembler_.drop_piece([&](const unsigned char *run, int count) {
    if (sink.dropped) sink.dropped(run, count);
  });
}

void Line::discard() {
  if (port_ >= 0) tcflush(port_, TCIFLUSH);
  assembler_.have = 0;
}

}  // namespace trn
