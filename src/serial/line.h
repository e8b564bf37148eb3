// The one reader of a serial line.  A Line owns the reads of one open port:
// its waits and deadlines, the input it takes without waiting, its flushes,
// and the cutting of the byte stream into 7-byte frames (ESC 'B' ... CR).
// Every part of a program that reads the port reads through the same Line,
// so a frame begun under one reader is finished under the next and no byte
// is read twice or lost between them.
//
// A Line is used by one thread at a time; the panel guards its line with the
// exchange lock (serial.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>

#include "frame_format.h"

namespace trn {

using Clock = std::chrono::steady_clock;

// Collects bytes into whole frames, resynchronising on ESC 'B', and reports
// every byte that belongs to no frame, so that each byte fed comes out once:
// in a frame, in a run of dropped bytes, or (still waiting) in buf.
//
// Seven collected bytes that end in CR are a frame.  Seven that do not, and
// that hold a possible fresh lead-in (ESC 'B' starting at byte 1 to 5, or an
// ESC as the last byte), are a cut-off piece that ran into the next frame:
// the bytes before that ESC are dropped and collecting goes on from it.
// Seven without CR and without such a lead-in are handed on as a frame.
struct FrameAssembler {
  unsigned char buf[FRAME_LEN] = {};
  int have = 0;  // bytes of an unfinished frame waiting in buf

  // Feeds n bytes.  Calls on_frame(frame) for each whole frame and
  // on_drop(bytes, count) for the dropped bytes, in the order of the stream:
  // dropped bytes are reported in runs of at most FRAME_LEN, before the
  // frame that follows them and at the latest when this call ends.
  template <class F, class D>
  void feed(const unsigned char *data, int n, F on_frame, D on_drop) {
    unsigned char dropped[2 * FRAME_LEN];  // at most 6 held + 6 from one push
    int held = 0;
    for (int i = 0; i < n; ++i) {
      held += push(data[i], dropped + held);
      if (held >= FRAME_LEN) {
        on_drop(static_cast<const unsigned char *>(dropped), FRAME_LEN);
        held -= FRAME_LEN;
        memmove(dropped, dropped + FRAME_LEN, held);
      }
      if (have == FRAME_LEN) {
        if (held > 0) on_drop(static_cast<const unsigned char *>(dropped), held);
        held = 0;
        have = 0;
        on_frame(static_cast<const unsigned char *>(buf));
      }
    }
    if (held > 0) on_drop(static_cast<const unsigned char *>(dropped), held);
  }

  // Drops the unfinished frame, if any, reporting its bytes.
  template <class D>
  void drop_piece(D on_drop) {
    const int n = have;
    have = 0;
    if (n > 0) on_drop(static_cast<const unsigned char *>(buf), n);
  }

  // Takes one byte.  Bytes it drops (at most FRAME_LEN - 1) are copied to
  // dropped and their number returned.  have reaches FRAME_LEN when buf
  // holds a frame to hand on.
  int push(unsigned char byte, unsigned char *dropped);
};

// Where a Line hands what it reads, in the order of the stream.
struct LineSink {
  // A whole frame (FRAME_LEN bytes).  True when the reader has what it
  // waited for: the read ends after the bytes already read, whose frames
  // still come here (nothing read is held back).
  std::function<bool(const unsigned char *frame)> frame;
  // A run of 1 to FRAME_LEN bytes that belong to no frame.
  std::function<void(const unsigned char *bytes, int n)> dropped;
};

enum class LineEnd {
  Done,         // the sink had what it waited for
  Deadline,     // the deadline passed (read_until)
  Drained,      // nothing more is pending (drain)
  HungUp,       // end of file: the far end hung up
  Failed,       // a wait or read failed; err holds errno
  Interrupted,  // the interrupt flag turned true
};

struct LineResult {
  LineEnd end = LineEnd::Drained;
  int err = 0;    // errno for Failed
  long got = 0;   // bytes read by this call
};

class Line {
 public:
  // A piece of a frame is stale once the line has been quiet this long
  // after it: the bytes of one frame follow each other closely (about 1 ms
  // apart at 9600 baud, 16 ms at most behind a USB adapter's timer).
  static constexpr int STALE_PIECE_MS = 50;

  // A wait with an interrupt flag looks at it at least this often, so that
  // another thread's request ends the wait in time.
  static constexpr int INTERRUPT_SLICE_MS = 50;

  Line() = default;
  explicit Line(int port) : port_(port) {}
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;

  // Reads port from now on; an unfinished piece of the old one is forgotten.
  void attach(int port);
  int port() const { return port_; }

  // Reads until the sink has what it waited for, the deadline passes, the
  // port hangs up or fails, or *interrupt (when given) turns true; a signal
  // that sets it ends the wait, another thread's within INTERRUPT_SLICE_MS.
  // Sleeps in poll, never spins.  A waiting piece is never dropped here: at
  // the deadline it is still in piece().
  LineResult read_until(Clock::time_point deadline, const LineSink &sink,
                        const std::atomic<bool> *interrupt = nullptr);
  // Takes what is pending now, without waiting: Drained once nothing more
  // is, Done when the sink had what it waited for, HungUp or Failed when the
  // port has (a hung-up port is read all the same so that this is seen).
  LineResult drain(const LineSink &sink);

  // When bytes were last read (the clock's epoch before any).
  Clock::time_point last_read() const { return last_read_; }

  // The unfinished frame waiting for its next bytes.
  int piece_size() const { return assembler_.have; }
  const unsigned char *piece() const { return assembler_.buf; }
  // Milliseconds until a waiting piece turns stale if nothing arrives
  // (0: stale already); -1 without a piece.
  int stale_in_ms() const;
  // Drops the waiting piece as dropped bytes when it is stale: nothing is
  // pending now and nothing has been read for STALE_PIECE_MS.  The clock is
  // read before the port is asked, so a reader that runs late can only find
  // the line quiet for longer than it was, never for less.  True if dropped.
  bool drop_if_stale(const LineSink &sink);
  // Drops the waiting piece, if any, as dropped bytes.
  void drop_piece(const LineSink &sink);
  // Throws away what the port has received and not yet given, and the
  // waiting piece, reporting nothing.
  void discard();

 private:
  // Feeds n bytes; true when the sink had what it waited for.
  bool feed(const unsigned char *bytes, long n, const LineSink &sink);
  // Reads at most want bytes and feeds them.  True when that ends the call,
  // with *r saying how (the sink had its frame, the port hung up or failed).
  bool read_and_feed(size_t want, const LineSink &sink, LineResult *r);

  int port_ = -1;
  FrameAssembler assembler_;
  Clock::time_point last_read_{};  // when bytes were last read
};

}  // namespace trn
