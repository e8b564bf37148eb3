// Button status monitor: the background thread that waits on the port for
// the board's unsolicited status frames and hands each one to the GUI thread.
//
// The thread never reads while a command exchange owns the port: it holds the
// exchange lock from its test of isLOCK until its read returns, and when an
// exchange is in progress it sleeps until the flag drops and then waits on
// the port again (the bytes that woke it were the exchange's reply).
#include <glib.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <utility>

#include "VXTRN.h"
#include "serial.h"

unsigned char CRADLE_BUTTON[TOTAL_STATUS] = {};
ReceiveBuffer u = {};

namespace {
std::atomic<StatusHandler> status_handler{nullptr};

std::mutex pending_mutex;
std::deque<std::pair<unsigned char, unsigned char>> pending;

// One idle callback per frame; each takes the oldest pending frame, so the
// GUI thread sees the frames in the order they arrived.
gboolean deliver_status(gpointer) {
  std::pair<unsigned char, unsigned char> status;
  {
    std::lock_guard<std::mutex> lock(pending_mutex);
    if (pending.empty()) return G_SOURCE_REMOVE;
    status = pending.front();
    pending.pop_front();
  }
  decode_status(status.first, status.second);
  if (StatusHandler handler = status_handler.load()) handler(status.first, status.second);
  return G_SOURCE_REMOVE;
}

void post_status(unsigned char a, unsigned char b) {
  {
    std::lock_guard<std::mutex> lock(pending_mutex);
    pending.emplace_back(a, b);
  }
  g_idle_add(deliver_status, nullptr);
}

// One trace line of the monitor: "key ---> " and eight values.
void trace_key(const unsigned char *c) {
  printf("key ---> %x %x %x %x %x %x %x %x \n", c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
}

// Traces a whole frame and hands a status frame on; anything else (a late
// command reply, a frame of noise) is traced and dropped.
void handle_frame(const unsigned char *frame) {
  memcpy(u.c, frame, FRAME_LEN);
  trace_key(u.c);
  if (u.c[0] != FRAME_ESC || u.c[1] != FRAME_B || u.c[2] != TYPE_BUTTON_STATUS) return;
  post_status(u.c[3], u.c[4]);
}

// Bytes that belong to no frame (noise, a cut-off or stale piece) are traced
// in the same format as a frame: up to seven of them, then 0s.
void trace_dropped(const unsigned char *bytes, int count) {
  unsigned char line[FRAME_LEN + 1] = {};
  memcpy(line, bytes, count);
  trace_key(line);
}

constexpr ssize_t NOTHING_WAITING = -2;
// The bytes of one frame follow each other closely (about 1 ms apart at 9600
// baud).  When the line stays quiet this long after a piece of a frame, the
// piece is the tail of something else (a late reply cut short, noise) and
// must not swallow the start of the next frame.
constexpr int STALE_PIECE_MS = 50;

// Reads what is waiting without ever blocking in the read's own timeout while
// the exchange lock is held.  A hung-up port is read all the same, so that
// its error is seen.
ssize_t read_waiting(int port, unsigned char *buf, size_t size) {
  int available = 0;
  if (ioctl(port, FIONREAD, &available) == 0 && available == 0) {
    struct pollfd p = {port, POLLIN, 0};
    if (poll(&p, 1, 0) >= 0 && !(p.revents & (POLLHUP | POLLERR | POLLNVAL)))
      return NOTHING_WAITING;
  }
  return read(port, buf, size);
}

// Without a wake-up descriptor (the process ran out of descriptors when the
// monitor started), the waits are bounded so that a closed service is still
// noticed within this time.
constexpr int NO_WAKE_POLL_MS = 200;

// Sleeps up to ms milliseconds, or until the service is closed.  poll skips
// a negative descriptor, so a missing wake-up makes this a plain sleep.
void pause_unless_closed(int wake, int ms) {
  struct pollfd p = {wake, POLLIN, 0};
  poll(&p, 1, ms);
}
}  // namespace

void set_status_handler(StatusHandler handler) { status_handler = handler; }

void decode_status(unsigned char a, unsigned char b) {
  CRADLE_BUTTON[CRADLE_STATUS] = a & 0x01;
  CRADLE_BUTTON[VOLUME_DOWN_STATUS] = b & 0x01;
  CRADLE_BUTTON[VOLUME_UP_STATUS] = b & 0x02;
  CRADLE_BUTTON[CHANNEL_DOWN_STATUS] = b & 0x04;
  CRADLE_BUTTON[CHANNEL_UP_STATUS] = b & 0x08;
  CRADLE_BUTTON[POWER_BUTTON] = a & 0x02;
  CRADLE_BUTTON[LINE_OUT_STATUS] = a & 0x40;
  CRADLE_BUTTON[MIC_IN_STATUS] = a & 0x80;
  CRADLE_BUTTON[NURSE_STATUS] = a & 0x08;
}


void *CradleButtonStatus(void *) {
  // Named, so that ps, top and gdb show which thread is the monitor (the
  // kernel keeps 15 characters).
  pthread_setname_np(pthread_self(), "CradleButtonSta");
  int port;
  {
    std::lock_guard<std::mutex> lock(exchange_mutex);
    port = fd;
  }
  const int wake = service_wake_fd();
  const int wait_ms = wake < 0 ? NO_WAKE_POLL_MS : -1;

  FrameAssembler assembler;
  unsigned exchanges_seen = exchange_count;
  int backoff_ms = 100;  // pause after a failed or empty read, doubled up to 1 s
  while (!service_closed()) {
    // With a piece of a frame waiting, the wait is bounded: its end with
    // nothing arrived means the line was quiet for STALE_PIECE_MS.  Bytes
    // that arrive within it continue the piece however late this thread
    // gets to read them, so a busy machine alone never splits a frame.
    const bool piece = assembler.have > 0;
    struct pollfd watched[2] = {{port, POLLIN, 0}, {wake, POLLIN, 0}};
    int ready = poll(watched, 2, piece ? STALE_PIECE_MS : wait_ms);
    if (service_closed()) break;
    if (ready < 0) {
      if (errno != EINTR) {
        assembler.drop_piece(trace_dropped);
        pause_unless_closed(wake, backoff_ms);
      }
      continue;
    }
    if (ready == 0) {
      assembler.drop_piece(trace_dropped);  // stale
      continue;
    }
    // Readable, hung up or failed: the read below tells which.
    if (!(watched[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) continue;

    unsigned char chunk[FRAME_LEN];
    ssize_t n = 0;
    bool exchange = false;
    bool missed_exchange = false;
    {
      std::unique_lock<std::mutex> lock(exchange_mutex, std::try_to_lock);
      if (!lock.owns_lock() || isLOCK) {
        exchange = true;
      } else {
        if (service_closed()) break;
        n = read_waiting(port, chunk, sizeof chunk);
        // An exchange ran since the last read without this thread seeing
        // it (it was held up elsewhere): that exchange discarded the rest
        // of any waiting piece.
        missed_exchange = exchange_count != exchanges_seen;
        exchanges_seen = exchange_count;
      }
    }
    if (missed_exchange) assembler.drop_piece(trace_dropped);
    if (exchange) {
      // An exchange owns the port and discards its input, the rest of a
      // waiting piece included: the piece is dropped.  Sleep until the
      // exchange has read its reply, then wait on the port afresh.
      assembler.drop_piece(trace_dropped);
      std::unique_lock<std::mutex> lock(exchange_mutex);
      exchange_done.wait(lock, [] { return isLOCK == 0 || service_closed(); });
      continue;
    }
    if (n == NOTHING_WAITING) {
      // Readable, yet the bytes are gone: an exchange consumed them just
      // before we took the lock (and with them the rest of a waiting piece).
      // A short pause keeps an odd device that keeps reporting this from
      // turning the loop into a spin.
      assembler.drop_piece(trace_dropped);
      pause_unless_closed(wake, 10);
      continue;
    }
    if (n <= 0) {
      // An error, or the end of file of a port whose other end hung up (the
      // board unplugged): report it, decode nothing, and never retry at once.
      assembler.drop_piece(trace_dropped);
      puts("Receive Error!!");
      pause_unless_closed(wake, backoff_ms);
      if (backoff_ms < 1000) backoff_ms *= 2;
      continue;
    }
    backoff_ms = 100;
    assembler.feed(chunk, static_cast<int>(n), handle_frame, trace_dropped);
  }
  // What is left of an unfinished frame is read and will never be decoded.
  assembler.drop_piece(trace_dropped);
  return nullptr;
}
